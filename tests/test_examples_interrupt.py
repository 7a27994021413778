"""Ctrl-C in the demo cell: the machine and the stations stop at once, the
program exits with status 130 (run in a child process, as a user would)."""
import os
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_ctrl_c_stops_the_demo_cell_with_status_130(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONUNBUFFERED="1")
    cell = subprocess.Popen([sys.executable, os.path.join(ROOT, "examples", "cell", "cell.py"), "--parts", "200",
                             "--out", str(tmp_path)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        assert cell.stdout.readline().startswith("cell: 200 parts")
        time.sleep(1.0)                       # stations busy, some of them waiting on sensors
        pressed = time.monotonic()
        cell.send_signal(signal.SIGINT)
        out, err = cell.communicate(timeout=30)
        took = time.monotonic() - pressed
    finally:
        if cell.poll() is None:
            cell.kill()
            cell.communicate()
    assert cell.returncode == 130, err
    assert "interrupted; machine and stations stopped, outputs off" in out
    assert "Traceback" not in err
    assert took < 5, took                     # within a second on a quiet machine
