"""The kit's optional parts: a tool whose extra is missing says so in one line that
names the extra, and exits 1; the demo cell runs without its diagrams. Each case
runs in a child process with the extra's modules hidden (None in sys.modules)."""
import os
import subprocess
import sys
try:
    import tomllib
except ModuleNotFoundError:  # before 3.11: the project's own dependency
    import tomli as tomllib
from pathlib import Path

import pytest

from kvo_kit import trace
from kvo_kit.extras import EXTRAS, MissingExtra, needs

ROOT = Path(__file__).resolve().parent.parent
CELL = str(ROOT / "examples" / "cell" / "cell.py")

pytestmark = pytest.mark.skipif(os.environ.get("KVO_SANITIZER_RUN") == "1", reason="packaging test")

HIDING = """
import runpy, sys
for name in sys.argv[1].split(","):
    sys.modules[name] = None
script, sys.argv = sys.argv[2], sys.argv[2:]
if script == "-m":
    sys.argv[0] = "kvo_kit"
    runpy.run_module("kvo_kit", run_name="__main__", alter_sys=True)
else:
    sys.path.insert(0, str(__import__("pathlib").Path(script).parent))
    runpy.run_path(script, run_name="__main__")
"""


def run_hiding(hidden, *argv, cwd):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", HIDING, ",".join(hidden), *argv], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


@pytest.fixture
def saved_trace(tmp_path):
    path = tmp_path / "trace.csv"
    trace.save_csv([(0.0, "X0", True, 1), (0.1, "X0", False, 1)], str(path))
    return str(path)


@pytest.mark.parametrize("hidden, argv, extra, what", [
    (["flask"], ["plant", "--broker", "mqtt://127.0.0.1:1", "--port", "0"], "plant", "kvo_kit plant"),
    (["paho"], ["plant", "--broker", "mqtt://127.0.0.1:1", "--port", "0"], "plant", "kvo_kit plant"),
    (["rich"], ["watch", "sim://cell", "--once"], "watch", "kvo_kit watch"),
    (["vcd"], ["trace", "{csv}", "--vcd", "out.vcd"], "trace", "kvo_kit trace"),
    (["matplotlib"], ["trace", "{csv}", "--png", "out.png"], "trace", "kvo_kit trace"),
])
def test_a_command_without_its_extra_says_which_in_one_line(hidden, argv, extra, what, saved_trace, tmp_path):
    done = run_hiding(hidden, "-m", *[a.format(csv=saved_trace) for a in argv], cwd=tmp_path)
    assert (done.returncode, done.stderr) == (1, f"{what} needs the {extra} extra: pip install 'kvo_fa[{extra}]'\n")
    assert not list(tmp_path.glob("out.*"))


def test_the_demo_runs_its_cell_without_the_demo_extra(tmp_path):
    done = run_hiding(["matplotlib", "vcd"], CELL, "--fast", "--parts", "1", "--out", str(tmp_path), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "parts            1 good, 0 scrapped" in done.stdout
    assert "timing diagram   not drawn: the timing diagram needs the demo extra: pip install 'kvo_fa[demo]'" \
        in done.stdout
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cell_trace.csv"]


def test_the_demo_refuses_plant_without_the_plant_extra(tmp_path):
    done = run_hiding(["paho"], CELL, "--fast", "--plant", "mqtt://127.0.0.1:1", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (1, "the demo's --plant needs the plant extra: "
                                                 "pip install 'kvo_fa[plant]'\n")


def test_other_import_errors_pass_unchanged():
    with pytest.raises(ModuleNotFoundError) as caught:
        with needs("plant", "kvo_kit plant"):
            import kvo_no_such_module  # noqa: F401
    assert not isinstance(caught.value, MissingExtra)
    with pytest.raises(MissingExtra, match=r"^x needs the watch extra: pip install 'kvo_fa\[watch\]'$"):
        with needs("watch", "x"):
            raise ModuleNotFoundError("No module named 'rich.table'", name="rich.table")


def test_the_extras_and_the_test_tools_pin_the_same_versions():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    extras = project["optional-dependencies"]
    pins = {line.strip() for line in (ROOT / "requirements-test.txt").read_text().splitlines()}
    assert set(extras) == set(EXTRAS) | {"all"}
    assert set(extras["all"]) == {pin for name in EXTRAS for pin in extras[name]}
    assert set(extras["all"]) <= pins
    assert project["scripts"] == {"kvo-kit": "kvo_kit.__main__:main"}
