"""tools/lib/steps.sh, which tools/test and CI run on: a command failing in the middle of a step
fails that step and the whole script, and the clean-up hooks and the step-time report still run."""

import subprocess
from pathlib import Path

import pytest

STEPS = Path(__file__).resolve().parents[1] / "tools" / "lib" / "steps.sh"

SCRIPT = """
set -euo pipefail
source "$1"
steps_traps
cleanup() { echo "hook ran"; }
exit_hooks+=(cleanup)
middle() { echo "before"; eval "$1"; echo "went on"; }
step "first" true
step "second" middle "$2"
step "third" echo "third ran"
"""


@pytest.mark.parametrize(
    "command, status",
    [("true", 0), ("false", 1), ("false | cat", 1), ("(exit 7)", 7), ("exit 0", 1)],
)
def test_a_failing_command_inside_a_step_ends_the_script(command, status):
    done = subprocess.run(
        ["bash", "-c", SCRIPT, "bash", str(STEPS), command], capture_output=True, text=True, timeout=30
    )
    out = done.stdout + done.stderr
    assert done.returncode == status, out
    assert "before" in out and "hook ran" in out and "step times" in out
    ran_on = status == 0
    assert ("went on" in out, "third ran" in out) == (ran_on, ran_on), out
    assert (f"second: FAILED (exit {status})" in out) == (not ran_on), out
