"""The press-fit example's own station tests (examples/press_fit/test_press_fit.py),
run as a machine builder runs them: pytest with kvo_kit's plugin."""
import os
import subprocess
import sys
import time
from importlib.metadata import entry_points

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def test_press_fit_station_tests_pass_on_virtual_time():
    plugin = [] if any(ep.name == "kvo_kit" for ep in entry_points(group="pytest11")) else ["-p", "kvo_kit.pytest_plugin"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    began = time.monotonic()
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *plugin,
                           os.path.join("examples", "press_fit")], cwd=ROOT, env=env, capture_output=True,
                          text=True, timeout=110)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "4 passed" in done.stdout
    # three cycles with 7 s time-outs (two of them running out) in far less than their 15 s
    assert time.monotonic() - began < 60
