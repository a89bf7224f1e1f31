# The per-interpreter work of tools/test: a venv under .venvs/, talvo built into it with the
# test-only host module, and the suite. Sourced by tools/test on this machine and, for the
# CPythons of the forky chroot, inside that chroot (the work tree is mounted at the same path).
# Needs `repo` set to the work tree.

venv_of() { echo "$repo/.venvs/cp${1/./}"; }

# ensure_venv VERSION BASE: made once from the base interpreter; made again when that interpreter
# has gone.
ensure_venv() {
  local venv
  venv=$(venv_of "$1")
  "$venv/bin/python" -c '' 2>/dev/null && return
  rm -rf "$venv"
  "$2" -m venv "$venv"
  # Older pips (Debian bookworm's 23.0) predate options the install below relies on.
  "$venv/bin/python" -m pip install --quiet --upgrade pip
}

# The test-only module goes only into this venv, built in a build directory of its own: a later
# plain `pip install .` never meets a CMake cache that has it switched on.
install_talvo() {
  "$(venv_of "$1")/bin/python" -m pip install --quiet "$repo[test]" \
    --config-settings=cmake.define.TALVO_HOST_TESTING=ON \
    --config-settings=build-dir="$repo/build/testing/{wheel_tag}"
}

run_suite() {
  local python
  python=$(venv_of "$1")/bin/python
  shift
  (cd "$repo" && "$python" -X dev -m pytest "$@")
}
