"""GUI-type edge handlers with a real wx.App, in a child process under Xvfb.

wxPython comes from Debian (python3-wxgtk4.0) for Debian's /usr/bin/python3,
which imports the modules built here."""
import json
import os
import shutil
import subprocess
import sys

import pytest

import kvo_fa

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SYSTEM_PYTHON = "/usr/bin/python3"


def gui_env():
    if shutil.which("xvfb-run") is None:
        pytest.skip("xvfb-run is missing (apt-get install xvfb)")
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import wx"], capture_output=True) \
        if os.path.exists(SYSTEM_PYTHON) else None
    if probe is None or probe.returncode != 0:
        pytest.skip("/usr/bin/python3 cannot import wx (apt-get install python3-wxgtk4.0)")
    version = subprocess.run([SYSTEM_PYTHON, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                             capture_output=True, text=True).stdout.strip()
    if version != "%d.%d" % sys.version_info[:2]:
        pytest.skip("the modules are built for Python %d.%d, Debian's /usr/bin/python3 (which has wx) is %s"
                    % (*sys.version_info[:2], version))
    modules = os.path.dirname(os.path.abspath(kvo_fa.__file__))
    return dict(os.environ, PYTHONPATH=modules)


# Without -noreset the X server resets whenever its last client disconnects,
# and a toolkit connection made during that reset is dropped (wx.App then
# fails to start about every other time).
XVFB = ["xvfb-run", "-a", "-s", "-screen 0 1024x768x24 -noreset"]


def run_gui(*args):
    return subprocess.run([*XVFB, SYSTEM_PYTHON, *args], env=gui_env(), capture_output=True, text=True,
                          timeout=90)


def test_gui_handler_runs_on_the_gui_thread_with_its_cycles_snapshot():
    done = run_gui(os.path.join(HERE, "wx_edge_child.py"))
    assert done.returncode == 0, done.stdout + done.stderr
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result["direct"] == [{"main": False, "word": 8}, {"main": False, "word": 0}]
    first, second = result["gui"]
    assert first == {"main": True, "rising": True, "falling": False, "word": 8, "live": 0}
    assert second == {"main": True, "rising": False, "falling": True, "word": 0, "live": 0}


def test_wx_inputs_example_runs_and_closes():
    done = run_gui(os.path.join(ROOT, "examples", "wx_inputs.py"), "--seconds", "1")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "closed" in done.stdout
