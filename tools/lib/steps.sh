# Shared by the scripts in tools/: timed steps and finding the supported interpreters.
# Source it; it defines functions and the variables below, and runs nothing.
#
# A script using `step` runs under `set -euo pipefail`, calls `step` as a plain command (never
# after `if`, `!`, `&&` or `||`, where bash ignores errexit inside the whole call), and calls
# `steps_traps` first; clean-up it needs goes into `exit_hooks` and runs before the report.

supported_pythons=(3.11 3.12 3.13 3.14 3.15)
step_times=()
exit_hooks=()
step_name=""
step_start=0

# step NAME COMMAND...: run one step and record its time. The step's commands run with errexit in
# force, so any command in it that fails ends the script at once: the EXIT trap (steps_finish)
# then marks this step FAILED with the status. There is no `|| rc=$?` here on purpose: that would
# switch errexit off for every command inside the step and let a step fail in its middle unseen.
step() {
  [[ $- == *e* ]] || { echo "step: the calling script must run under set -e" >&2; exit 2; }
  step_name=$1
  step_start=$SECONDS
  shift
  echo "==> $step_name"
  "$@"
  step_times+=("$(printf '%-24s %5d' "$step_name" $((SECONDS - step_start)))")
  echo "==> $step_name: ok in $((SECONDS - step_start)) s"
  step_name=""
}

# The traps: on exit, and on Ctrl-C or SIGTERM (which would otherwise end bash without its EXIT
# trap, leaving a chroot's mounts behind).
steps_traps() {
  trap steps_finish EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# The EXIT trap: names the step that failed, runs the exit hooks, prints every step's time.
steps_finish() {
  local rc=$? hook t forced=false
  if [ -n "$step_name" ]; then
    if [ "$rc" = 0 ]; then # `exit 0` from inside a step is no success of the step (nor the script)
      rc=1
      forced=true
    fi
    step_times+=("$(printf '%-24s %5d  FAILED (exit %d)' "$step_name" $((SECONDS - step_start)) "$rc")")
    echo "==> $step_name: FAILED (exit $rc) after $((SECONDS - step_start)) s" >&2
    step_name=""
  fi
  for hook in "${exit_hooks[@]}"; do "$hook" || true; done
  echo "==> step times (s)"
  for t in "${step_times[@]}"; do echo "    $t"; done
  # Otherwise the script ends with the status that fired the trap: calling `exit` here, still
  # inside the failed step's function, makes bash complain about its function context.
  if $forced; then exit "$rc"; fi
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
