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


DEB822 = """Types: deb
URIs: http://security.example/debian-security
Suites: bookworm-security

Types: deb-src
URIs: http://sources.example/debian
Suites: bookworm

# URIs: http://commented.example/debian
Types: deb
URIs: http://archive.example/debian
Suites: bookworm bookworm-updates
"""
ONE_LINE = "deb [arch=amd64 signed-by=/k.gpg] http://security.example/d bookworm-security main\n" + (
    "deb [arch=amd64] http://archive.example/debian bookworm main\n"
)


@pytest.mark.parametrize(
    "sources, mirror, expected",
    [(DEB822, "", "http://archive.example/debian"), (ONE_LINE, "", "http://archive.example/debian")]
    + [(DEB822, "http://override.example/", "http://override.example/"), ("", "", None)],
)
def test_the_debian_archive_comes_from_apt_sources(tmp_path, sources, mirror, expected):
    """The chroots bootstrap from the archive apt uses here: never its security or source lines."""
    (tmp_path / "list").write_text(sources)
    done = subprocess.run(
        ["bash", "-c", 'source "$1"; debian_archive "$2"', "bash", str(STEPS.with_name("chroot.sh"))]
        + [str(tmp_path / "list")],
        capture_output=True,
        text=True,
        timeout=30,
        env={"PATH": "/usr/bin:/bin", "TALVO_DEBIAN_MIRROR": mirror},
    )
    assert (done.returncode == 0, done.stdout.strip() or None) == (expected is not None, expected)
