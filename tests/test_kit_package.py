"""The kvo_kit package itself: its version, its commands, its plugin, its types."""
import os
import re
import subprocess
import sys
from pathlib import Path

import kvo_mew
import kvo_kit
from kvo_kit.__main__ import COMMANDS

ROOT = Path(__file__).resolve().parent.parent


def test_one_version_from_pyproject():
    version = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M).group(1)
    assert kvo_mew.__version__ == kvo_kit.__version__ == version


def test_every_command_is_listed_in_the_help():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-m", "kvo_kit", "--help"], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    for name in COMMANDS:
        assert name in done.stdout


def test_the_plugin_is_loaded_once(pytestconfig):
    plugins = [p for p in pytestconfig.pluginmanager.get_plugins()
               if getattr(p, "__name__", "") == "kvo_kit.pytest_plugin"]
    assert len(plugins) == 1


def test_the_kit_type_checks_strictly():
    env = dict(os.environ, MYPYPATH=str(ROOT / "stubs"))
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml"),
                           "--cache-dir", os.devnull, str(ROOT / "kit" / "kvo_kit")],
                          cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
