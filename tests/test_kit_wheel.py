"""The binary wheel (scripts/wheel.sh): libmodbus bundled by auditwheel; it stands
alone. Installed with its extras into a fresh virtual environment without the
system's site-packages (pip brings the extras' pinned packages), it runs the demo,
the pytest plugin's station test (examples/press_fit) and the plant page, with
Debian's libmodbus hidden from the loader; installed bare, the framework runs and
each tool names the extra it lacks.

One wheel build for the module: in CI it reuses the compile of scripts/install.sh
(build/wheel/). The sanitizer run skips it (packaging only)."""
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import urllib.request
import zipfile

import pytest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
SYSTEM_LIBMODBUS = "/usr/lib/x86_64-linux-gnu/libmodbus.so.5"
CELL = os.path.join(ROOT, "examples", "cell", "cell.py")

pytestmark = [
    pytest.mark.skipif(os.environ.get("KVO_SANITIZER_RUN") == "1" or "libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="packaging test"),
    pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("patchelf") is None,
                       reason="needs Linux and patchelf"),
    pytest.mark.timeout(1800),
]


def clean_env():
    """The environment without the developer build on PYTHONPATH."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH", "LD_PRELOAD")}


def pinned(name):
    """The test tools' pin of `name` (requirements-test.txt)."""
    with open(os.path.join(ROOT, "requirements-test.txt")) as f:
        (pin,) = [line.strip() for line in f if line.startswith(name + "==")]
    return pin


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    dist = tmp_path_factory.mktemp("dist")
    subprocess.run(["bash", os.path.join(ROOT, "scripts", "wheel.sh"), str(dist)], check=True, env=clean_env(),
                   stdout=subprocess.DEVNULL, timeout=1700)
    (path,) = glob.glob(str(dist / "kvo_fa-*manylinux*.whl"))
    return path


def make_venv(where, *requirements):
    """A fresh venv without the system's site-packages, with `requirements` installed by pip."""
    subprocess.run([sys.executable, "-m", "venv", str(where)], check=True, timeout=300)
    python = str(where / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
                    "--root-user-action=ignore", *requirements], check=True, env=clean_env(), timeout=900)
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                          check=True, capture_output=True, text=True).stdout.strip()
    return python, site


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    """The wheel with every extra, and pytest for the plugin."""
    return make_venv(tmp_path_factory.mktemp("venv"), wheel + "[all]", pinned("pytest"))


@pytest.fixture(scope="module")
def bare_venv(wheel, tmp_path_factory):
    """The wheel alone: pip may fetch nothing for it."""
    return make_venv(tmp_path_factory.mktemp("bare"), "--no-index", wheel)


def test_wheel_holds_the_modules_the_kit_and_libmodbus(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    for module in ("kvo_fa", "kvo_mew", "kvo_handy"):
        assert any(n.startswith(module + ".cpython") and n.endswith(".so") for n in names), module
    for part in ("kvo_kit/__init__.py", "kvo_kit/py.typed", "kvo_kit/pytest_plugin.py", "kvo_kit/cli/watch.py"):
        assert part in names
    assert any(n.startswith("kvo_fa.libs/libmodbus") for n in names)
    entry_points = next(n for n in names if n.endswith("entry_points.txt"))
    text = zipfile.ZipFile(wheel).read(entry_points).decode()
    assert "kvo_kit = kvo_kit.pytest_plugin" in text and "kvo-kit = kvo_kit.__main__:main" in text
    metadata = zipfile.ZipFile(wheel).read(next(n for n in names if n.endswith("METADATA"))).decode()
    requires = re.findall(r"^Requires-Dist: (.*)$", metadata, re.M)
    assert [r for r in requires if "extra ==" not in r] == ['tomli==2.5.0; python_version < "3.11"']


def test_modules_resolve_libmodbus_from_the_wheels_own_libs(venv):
    python, site = venv
    (module,) = glob.glob(os.path.join(site, "kvo_mew.cpython*.so"))
    ldd = subprocess.run(["ldd", module], check=True, capture_output=True, text=True).stdout
    (line,) = [line for line in ldd.splitlines() if "libmodbus" in line]
    resolved = line.split("=>")[1].split("(")[0].strip()
    assert resolved.startswith(os.path.join(site, "kvo_fa.libs") + os.sep), ldd


def hidden_libmodbus(command, cwd):
    """Run `command` in a mount namespace where Debian's libmodbus is an empty file."""
    script = f"mount --bind /dev/null {SYSTEM_LIBMODBUS} && exec \"$@\""
    return subprocess.run(["unshare", "--mount", "sh", "-c", script, "sh", *command], cwd=cwd, env=clean_env(),
                          capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def can_hide():
    if not os.path.exists(SYSTEM_LIBMODBUS) or shutil.which("unshare") is None:
        pytest.skip("no system libmodbus to hide, or no unshare")
    probe = hidden_libmodbus([sys.executable, "-c", "import ctypes; ctypes.CDLL('libmodbus.so.5')"], ROOT)
    if "Permission" in probe.stderr or "unshare failed" in probe.stderr or "mount:" in probe.stderr:
        pytest.skip("cannot make a mount namespace here: " + probe.stderr.strip())
    assert probe.returncode != 0, "libmodbus is still loadable in the namespace"


SMOKE = """
import kvo_fa, kvo_mew, kvo_kit
assert kvo_mew.SERIAL_TRANSPORT
assert kvo_kit.__version__ == kvo_mew.__version__
print(kvo_mew.__file__)
plc = kvo_mew.simulator("smoke"); plc.map_io(1, 1, 100)
m = kvo_fa.FPMachine(1, 1, 100, "sim://smoke"); m.start()
try:
    plc.set("X1", True); m.wait_for_signal("X1", True, 5, 0.01)
    m.set_y("Y0", True); m.sync_xy_refresher(); assert plc.get("Y0")
finally:
    m.close(); m.native_machine_handle.close()
try:
    kvo_mew.VedUzavur("/dev/kvo-no-such-port", timeout=0.05).get_coil(1, "X0")
except kvo_mew.LineError as e:
    print("serial:", e)
print("smoke ok")
"""


def test_smoke_and_demo_run_from_the_venv_without_system_libmodbus(venv, can_hide, tmp_path):
    python, site = venv
    smoke = hidden_libmodbus([python, "-c", SMOKE], str(tmp_path))
    assert smoke.returncode == 0, smoke.stderr
    assert "smoke ok" in smoke.stdout and smoke.stdout.startswith(site)
    assert "cannot open serial port '/dev/kvo-no-such-port'" in smoke.stdout
    demo = hidden_libmodbus([python, os.path.join(ROOT, "examples", "cell", "cell.py"), "--fast", "--parts", "2",
                             "--out", str(tmp_path)], str(tmp_path))
    assert demo.returncode == 0, demo.stderr
    assert "parts            2 good, 0 scrapped" in demo.stdout
    assert (tmp_path / "cell_timing.png").stat().st_size > 0 and (tmp_path / "cell.vcd").exists()
    watch = hidden_libmodbus([python, "-m", "kvo_kit", "watch", "sim://cell", "--once", "--plant",
                              os.path.join(ROOT, "examples", "cell", "plant.py")], str(tmp_path))
    assert watch.returncode == 0, watch.stderr
    assert "slide_at_pick" in watch.stdout


def test_the_plugin_runs_the_station_test_from_the_venv(venv, tmp_path):
    python, site = venv
    shutil.copytree(os.path.join(ROOT, "examples", "press_fit"), tmp_path / "press_fit")
    done = subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "press_fit"], cwd=tmp_path,
                          env=clean_env(), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.search(r"^\d+ passed", done.stdout.splitlines()[-1]), done.stdout


def test_the_plant_page_starts_from_the_venv(venv):
    python, site = venv
    kvo_kit = os.path.join(os.path.dirname(python), "kvo-kit")
    # No broker needed to start: the page says it is away and keeps trying.
    page = subprocess.Popen([kvo_kit, "plant", "--broker", "mqtt://127.0.0.1:1", "--port", "0"], env=clean_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = page.stdout.readline()
        url = re.match(r"plant page on (http://\S+/) ", first)
        assert url, first or page.communicate(timeout=30)[1]
        direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with direct.open(url.group(1), timeout=30) as answer:
            assert answer.status == 200 and b"<html" in answer.read().lower()
    finally:
        page.send_signal(signal.SIGINT)
        page.communicate(timeout=30)


def test_the_bare_wheel_runs_the_framework_and_names_each_missing_extra(bare_venv, tmp_path):
    python, site = bare_venv
    kvo_kit = os.path.join(os.path.dirname(python), "kvo-kit")

    def run(*command):
        return subprocess.run(command, cwd=tmp_path, env=clean_env(), capture_output=True, text=True, timeout=300)

    csv = tmp_path / "trace.csv"
    csv.write_text("time,relay,value,station,signal\n0.0,X0,1,1,\n")
    for command, extra in [((kvo_kit, "plant", "--broker", "mqtt://127.0.0.1:1"), "plant"),
                           ((kvo_kit, "watch", "sim://cell", "--once"), "watch"),
                           ((python, "-m", "kvo_kit", "trace", str(csv), "--vcd", "out.vcd"), "trace")]:
        done = run(*command)
        # each command is named as its extra
        assert (done.returncode, done.stderr) == (1, f"kvo_kit {extra} needs the {extra} extra: "
                                                     f"pip install 'kvo_fa[{extra}]'\n")
    usage = run(kvo_kit, "--help")
    assert usage.returncode == 0 and usage.stdout.startswith("usage: kvo-kit "), usage.stdout + usage.stderr
    framework = run(python, "-c", "import kvo_fa, kvo_handy, kvo_kit.clock, kvo_kit.iomap; print(kvo_kit.__version__)")
    assert framework.returncode == 0, framework.stderr
    demo = run(python, CELL, "--fast", "--parts", "2", "--out", str(tmp_path / "demo"))
    assert demo.returncode == 0, demo.stderr
    assert "parts            2 good, 0 scrapped" in demo.stdout
    assert "timing diagram   not drawn: the timing diagram needs the demo extra" in demo.stdout
