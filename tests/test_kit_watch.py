"""`python3 -m kvo_kit watch`: the snapshot, the live table in a real terminal
(tmux), and the table's highlighting of changes."""
import os
import shutil
import subprocess
import sys
import time
import uuid

import pytest

from kvo_kit.iomap import IoMap
from kvo_kit.watch import ImageReader, Layout, WatchView, health_text

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), COLUMNS="160")


def kit(*args, cwd=ROOT, timeout=60):
    return subprocess.run([sys.executable, "-m", "kvo_kit", *args], cwd=cwd, env=ENV, capture_output=True,
                          text=True, timeout=timeout)


def test_once_prints_the_demo_cell_with_its_names():
    done = kit("watch", "sim://cell", "--once")
    assert done.returncode == 0, done.stderr
    out = done.stdout
    for name in ("part_at_pick", "lift_is_up", "slide_at_pick", "ejector_back", "belt", "vacuum", "eject"):
        assert name in out
    assert "WX0 D0" in out and "WY0 D100" in out
    # at rest: lift up, slide at pick, ejector back (X1, X3, X7)
    assert "0000 0000 1000 1010" in out and "0x008a" in out
    assert "simulated PLC" in out


def test_once_with_a_toml_map_and_the_fef_layout(tmp_path):
    (tmp_path / "io.toml").write_text('[signals.clamp]\nelement = "Y10"\ndirection = "out"\n'
                                      'comment = "module 2, output 0"\n')
    plant = tmp_path / "plant.py"
    plant.write_text("def build(plc):\n    plc.set('WY0', 1, station=2)\n")
    done = kit("watch", "sim://fef", "--fef", "2", "--plant", str(plant), "--iomap", str(tmp_path / "io.toml"),
               "--once")
    assert done.returncode == 0, done.stderr
    assert "clamp" in done.stdout and "module 2, output 0" in done.stdout and "WY0 @2" in done.stdout


def test_bad_port_reports_the_link_error():
    done = kit("watch", "/dev/kvo-no-such-port", "--once", "--timeout", "0.05")
    assert done.returncode == 1
    assert "/dev/kvo-no-such-port" in done.stdout


def test_changes_are_highlighted_for_a_while():
    from kvo_kit.watch import CHANGED

    view = WatchView(Layout(x_words=1, y_words=1), IoMap({"s": ("X2", "in")}), "sim://t", hold=1.0)
    view.update([0], [0], now=10.0)
    view.update([4], [0], now=10.5)
    assert view.is_new("X", 2, 11.0) and not view.is_new("X", 2, 11.6) and not view.is_new("X", 3, 11.0)
    signal_cell = view.area_table("X", "inputs", now=11.0).columns[1]._cells[0]
    assert signal_cell.plain == "s" and signal_cell.style == CHANGED
    later = view.area_table("X", "inputs", now=12.0).columns[1]._cells[0]
    assert later.style == "bold green"  # on, no longer new
    bits = view.area_table("X", "inputs", now=11.0).columns[1]._cells[1]
    assert bits.plain == "0000 0000 0000 0100" and [s.style for s in bits.spans] == [CHANGED]
    assert view.rate == pytest.approx(2.0)


def test_health_comes_from_the_link_when_it_has_one(plc):
    class Health:
        up, transactions, failed, since_good, last_cause = False, 12, 3, 0.5, "timeout"

    class Link:
        health = Health()

    assert health_text(Link(), ImageReader(None, Layout())) == \
        "DOWN, 12 transactions, 3 failed, last good answer 0.50 s ago, last failure: timeout"
    reader = ImageReader(object(), Layout())
    assert reader.read() is None and reader.failures == 1
    assert "0 reads, 1 failed; simulated PLC: 0 transactions; last error:" in health_text(object(), reader, plc)


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
def test_live_table_in_a_real_terminal():
    socket = f"kvo-watch-{uuid.uuid4().hex[:8]}"
    tmux = ["tmux", "-L", socket]
    command = f"{sys.executable} -m kvo_kit watch sim://cell --interval 0.05"
    subprocess.run(tmux + ["new-session", "-d", "-x", "150", "-y", "50", "-c", ROOT,
                           "-e", f"PYTHONPATH={ENV['PYTHONPATH']}", "-e", "COLUMNS=150", command], check=True)
    try:
        def screen():
            return subprocess.run(tmux + ["capture-pane", "-p", "-t", "0"], capture_output=True,
                                  text=True).stdout

        deadline = time.monotonic() + 60
        while "reads/s" not in screen() or "reads," not in screen():
            assert time.monotonic() < deadline, screen()
            time.sleep(0.2)
        first = screen()
        assert "slide_at_pick" in first and "ejector_out" in first and "sim://cell" in first

        def reads():
            counts = [int(line.split(" reads,")[0].split()[-1]) for line in screen().splitlines() if " reads," in line]
            return counts[0] if counts else 0

        while reads() <= 3:  # it keeps reading
            assert time.monotonic() < deadline, screen()
            time.sleep(0.2)
        subprocess.run(tmux + ["send-keys", "-t", "0", "C-c"], check=True)
        deadline = time.monotonic() + 30
        while subprocess.run(tmux + ["has-session"], capture_output=True).returncode == 0:
            assert time.monotonic() < deadline, "the watch did not end on Ctrl-C"
            time.sleep(0.1)
    finally:
        subprocess.run(tmux + ["kill-server"], capture_output=True)
