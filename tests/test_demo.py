"""`python -m talvo`: its bad inputs and Ctrl-C end in one line and a status, and the progress
line it draws on a terminal fits the terminal and ends on the summary's figures."""

import fcntl
import json
import os
import re
import select
import signal
import struct
import subprocess
import sys
import termios

import pytest
from talvo.demo.app import progress_line, sheet_indices
from talvo.engine.video_reader import pack_demo_model

DEMO = [sys.executable, "-m", "talvo"]
# The demo with Python's SIGINT handler, which a child started with SIGINT ignored (as a script's background job) lacks.
WITH_SIGINT = "import runpy, signal; signal.signal(signal.SIGINT, signal.default_int_handler); runpy.run_module('talvo', run_name='__main__', alter_sys=True)"


@pytest.mark.parametrize(
    "case",
    "velda not_a_model out_is_a_file out_under_a_file no_audio_file no_model_file no_seconds near_miss".split(),
)
def test_bad_input_is_one_line_and_a_status_before_any_session(tmp_path, case):
    """Status 2 for a wrong command line (argparse's), 1 for input that cannot be used."""
    a_file = tmp_path / "a_file"
    a_file.write_text("")
    velda = tmp_path / "velda.imx"
    pack_demo_model(velda, model_type="velda")
    args, needle, status = {
        "velda": (["--model", str(velda), "--out", str(tmp_path / "out")], "Velda", 1),
        "not_a_model": (["--model", str(a_file), "--out", str(tmp_path)], "a_file", 1),
        "out_is_a_file": (["--out", str(a_file)], "--out", 1),
        "out_under_a_file": (["--out", str(a_file / "sub")], "--out", 1),
        "no_audio_file": (["--audio", "/nonexistent.wav", "--out", str(tmp_path)], "no such file", 1),
        "no_model_file": (["--model", "/nonexistent.imx", "--out", str(tmp_path)], "no such model file", 1),
        "no_seconds": (["--seconds", "0", "--out", str(tmp_path)], "--seconds", 2),
        "near_miss": (["serv"], "did you mean 'python -m talvo serve'?", 2),
    }[case]
    proc = subprocess.run([*DEMO, "--verbose", *args], capture_output=True, text=True, timeout=120)
    assert proc.returncode == status
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("talvo: error: ") and needle in lines[0], proc.stderr
    assert "Frame producer thread started" not in proc.stderr


def test_the_server_too_reports_a_file_that_is_no_model_in_one_line():
    """The runtime logs the error it raises; the command's log leaves that line out."""
    args = [*DEMO, "serve", "--verbose", "--port", "0", "--model", __file__]
    proc = subprocess.run(args, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1 and proc.stderr.count("\n") == 1 and "not an .imx" in proc.stderr, proc.stderr


def test_ctrl_c_ends_with_status_130_no_traceback_and_the_producer_stopped(tmp_path):
    proc = subprocess.Popen(
        [sys.executable, "-c", WITH_SIGINT, "--seconds", "30", "--verbose", "--out", str(tmp_path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    seen = []
    try:
        for line in proc.stderr:  # the session is streaming once the producer runs
            seen.append(line)
            if "Frame producer thread started" in line:
                break
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    err = "".join(seen) + err
    assert proc.returncode == 130, err
    assert "Traceback" not in err and err.strip().splitlines()[-1] == "talvo: interrupted"
    assert "did not exit" not in err
    stopping = err.index("Stop event set, waiting for frame producer thread to finish")
    assert err.index("Frame iterator completed", stopping) > stopping  # it ended inside the wait
    assert not (tmp_path / "summary.json").exists()


def test_progress_line_is_cut_to_the_terminal():
    full = progress_line(12345, 321, 24.96, "3/6", 1.5, 200)
    assert full == "frames 12345  fps  25.0  speech  321  queue 3/6  latency   1.5 ms"
    assert progress_line(12345, 321, 24.96, "3/6", 1.5, 30) == full[:29]


@pytest.mark.parametrize("count", [1, 48, 49, 97, 1000])
def test_the_contact_sheet_spans_every_frame_to_the_last(count):
    shown = sheet_indices(count)
    assert (
        shown == sorted(set(shown))
        and shown[0] == 0
        and shown[-1] == count - 1
        and len(shown) == min(count, 48)
    )


def test_progress_on_a_terminal_fits_it_and_ends_on_the_summary(tmp_path):
    """Also the demo's whole run: its summary and pictures."""
    columns = 52
    primary, secondary = os.openpty()
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    env = {k: v for k, v in os.environ.items() if k not in ("COLUMNS", "LINES")}
    proc = subprocess.Popen(
        [*DEMO, "--seconds", "0.6", "--idle-timeout", "0.3", "--scale", "1", "--out", str(tmp_path)],
        stdout=subprocess.DEVNULL,
        stderr=secondary,
        env=env,
    )
    os.close(secondary)
    shown = b""
    while True:  # drain the terminal while the demo runs, so it never blocks on it
        ready, _, _ = select.select([primary], [], [], 60)
        assert ready, "the demo went quiet"
        try:
            chunk = os.read(primary, 4096)
        except OSError:  # the demo closed its end
            break
        if not chunk:
            break
        shown += chunk
    os.close(primary)
    assert proc.wait(timeout=60) == 0
    states = [s for s in re.split(r"[\r\n]+", shown.decode()) if s.strip()]
    assert states and all(len(s) < columns for s in states), states
    summary = json.loads((tmp_path / "summary.json").read_text())
    last = states[-1]
    assert f"frames {summary['frames']:5d}" in last
    assert f"speech {summary['speech_frames']:4d}" in last
    assert f"fps {summary['fps']:5.1f}" in last
    assert all(float(re.search(r"fps +([\d.]+)", s)[1]) < 30 for s in states), states  # live rate
    assert summary["audio_intact"] and summary["speech_frames"] > 0
    assert summary["returned_to_idle"]
    for name in ("frames.png", "contact_sheet.png"):
        assert (tmp_path / name).read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
