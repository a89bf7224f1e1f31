# Shared by the scripts in tools/: timed steps and finding the supported interpreters.
# Source it; it defines functions and the variables below, and runs nothing.

supported_pythons=(3.11 3.12 3.13)
step_times=()

# step NAME COMMAND...: run one step, print and record its time, end the script on failure.
step() {
  local name=$1 start=$SECONDS rc=0
  shift
  echo "==> $name"
  "$@" || rc=$?
  step_times+=("$(printf '%-24s %5d' "$name" $((SECONDS - start)))$([ "$rc" = 0 ] || echo '  FAILED')")
  if [ "$rc" != 0 ]; then
    echo "==> $name: FAILED (exit $rc) after $((SECONDS - start)) s" >&2
    exit "$rc"
  fi
  echo "==> $name: ok in $((SECONDS - start)) s"
}

# Prints the recorded step times; meant for an EXIT trap.
report_step_times() {
  local t
  echo "==> step times (s)"
  for t in "${step_times[@]}"; do echo "    $t"; done
}

# The base CPython for VERSION ("3.12") as an absolute path, or nothing: from PATH, then pyenv.
# A pyenv shim or a venv's python resolves to the base install it runs on, so a venv made from
# the result never depends on another venv. Free-threaded builds are not supported.
find_python() {
  local version=$1 candidate real
  local candidates=("$(command -v "python$version" || true)")
  candidates+=($(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python 2>/dev/null |
    sort -V -r || true))
  for candidate in "${candidates[@]}"; do
    [ -n "$candidate" ] || continue
    real=$("$candidate" -c '
import sys, sysconfig
if sys.implementation.name == "cpython" and not sysconfig.get_config_var("Py_GIL_DISABLED"):
    print("%d.%d %s" % (*sys.version_info[:2], sys._base_executable))' 2>/dev/null) || continue
    if [ "${real%% *}" = "$version" ]; then
      echo "${real#* }"
      return
    fi
  done
}
