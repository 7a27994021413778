"""`python3 -m kvo_kit watch`: the snapshot, the live table in a real terminal
(tmux), and the table's highlighting of changes."""
import os
import re
import shutil
import subprocess
import sys
import time
import uuid

import pytest

from kvo_kit.iomap import IoMap
from kvo_kit.watch import ImageReader, Layout, WatchView, health_text
from modbus_peer import HOLDING_REGISTERS, line, slave, socat_available  # noqa: F401

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


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
    assert "link: up" in out  # the link's own health


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


class Terminal:
    """A tmux server of the test's own running one command in a 200x60 window."""

    def __init__(self, command, tmp_path):
        # A configuration of its own: the window's size, and nothing from the user's.
        conf = tmp_path / "tmux.conf"
        conf.write_text("set -g default-size 200x60\n")
        self.tmux = ["tmux", "-L", f"kvo-watch-{uuid.uuid4().hex[:8]}", "-f", str(conf)]
        # The server's environment is the command's: without a COLUMNS or LINES that
        # some library of this process set, the command sees the window's size.
        env = {k: v for k, v in ENV.items() if k not in ("COLUMNS", "LINES")}
        subprocess.run(self.tmux + ["new-session", "-d", "-x", "200", "-y", "60", "-c", ROOT, command],
                       check=True, env=env)

    def screen(self, escapes=False):
        return subprocess.run(self.tmux + ["capture-pane", "-p", "-t", "0"] + (["-e"] if escapes else []),
                              capture_output=True, text=True).stdout

    def wait_for(self, condition, seconds=60):
        deadline = time.monotonic() + seconds
        while not condition(self.screen()):
            assert time.monotonic() < deadline, self.screen()
            time.sleep(0.1)

    def interrupt(self):
        """Ctrl-C; the command must end (and with it the session) soon."""
        subprocess.run(self.tmux + ["send-keys", "-t", "0", "C-c"], check=True)
        deadline = time.monotonic() + 30
        while subprocess.run(self.tmux + ["has-session"], capture_output=True).returncode == 0:
            assert time.monotonic() < deadline, "the command did not end on Ctrl-C"
            time.sleep(0.1)

    def close(self):
        subprocess.run(self.tmux + ["kill-server"], capture_output=True)


needs_tmux = pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")


@needs_tmux
@pytest.mark.skipif(not socat_available(), reason="needs socat for a pseudo-terminal pair")
def test_live_table_of_a_serial_plc_highlights_a_change(line, slave, tmp_path):
    (tmp_path / "io.toml").write_text('[signals.door_closed]\nelement = "X3"\ndirection = "in"\n'
                                      'comment = "guard door"\n')
    terminal = Terminal(f"{sys.executable} -m kvo_kit watch {line[0].master_path} --baudrate 115200 "
                        f"--station 2 --x-words 1 --iomap {tmp_path / 'io.toml'} --timeout 0.2 --interval 0.05", tmp_path)
    try:
        terminal.wait_for(lambda s: "door_closed" in s and " transactions" in s and "0x0000" in s)
        slave.set(2, HOLDING_REGISTERS, 0, [0x0008])  # the door closes
        terminal.wait_for(lambda s: "0000 0000 0000 1000" in s and "0x0008" in s)
        coloured = terminal.screen(escapes=True)
        line_of_door = next(row for row in coloured.splitlines() if "door_closed" in row)
        assert "43m" in line_of_door or "48;5;3m" in line_of_door  # on yellow: just changed
        terminal.interrupt()
    finally:
        terminal.close()


@needs_tmux
def test_live_table_in_a_real_terminal(tmp_path):
    terminal = Terminal(f"{sys.executable} -m kvo_kit watch sim://cell --interval 0.05", tmp_path)
    try:
        terminal.wait_for(lambda s: "reads/s" in s and " transactions" in s)
        first = terminal.screen()
        assert "slide_at_pick" in first and "ejector_out" in first and "sim://cell" in first
        assert max(len(row) for row in first.splitlines()) > 110  # wide: inputs and outputs side by side
        assert "part_at_pick" in next(row for row in first.splitlines() if "belt" in row)

        def transactions(screen):
            counts = re.findall(r"(\d+) transactions", screen)
            return int(counts[0]) if counts else 0

        terminal.wait_for(lambda s: transactions(s) > 3)  # it keeps reading
        terminal.interrupt()
    finally:
        terminal.close()


BAD_MAP = '[signals.a]\nelement = "X0"\ndirection = ["in"]\n'
FILES = {
    "bad.toml": BAD_MAP,
    "broken.toml": '[signals.a\n',
    "raises.py": "def build(plc):\n    raise RuntimeError('no such cylinder')\n",
    "nobuild.py": "X_WORDS = 1\n",
    "badmap.py": "def build(plc):\n    pass\nIO_MAP = {'a': ('X1\\n', 'in')}\n",
    "bad.csv": "time,relay,value,station,signal\n0.5,X1,1,two,\n",
    "binary.csv": b"\xff\xfe\x00garbage",
    "empty.csv": "time,relay,value,station,signal\n",
}


@pytest.mark.parametrize("args, problem", [
    ("watch sim:// --once", "sim:// needs the simulated PLC's name: sim://NAME"),
    ("watch sim://cell --once --iomap {tmp}/missing.toml", "--iomap {tmp}/missing.toml: No such file or directory"),
    ("watch sim://cell --once --iomap {tmp}/bad.toml", "I/O map: {tmp}/bad.toml: signal 'a': direction must be"),
    ("watch sim://cell --once --iomap {tmp}/broken.toml", "I/O map: {tmp}/broken.toml: not a TOML file"),
    ("watch sim://t --once --plant {tmp}/missing.py", "plant file {tmp}/missing.py: no such file"),
    ("watch sim://t --once --plant {tmp}/raises.py", "build(plc) failed: RuntimeError: no such cylinder"),
    ("watch sim://t --once --plant {tmp}/nobuild.py", "has no build(plc)"),
    ("watch sim://t --once --plant {tmp}/badmap.py", "I/O map: signal 'a': 'X1\\n' is no X or Y relay name"),
    ("watch /dev/kvo-no-such-port --once --plant {tmp}/raises.py", "--plant is for sim:// ports only"),
    ("watch sim://cell --once --interval abc", "argument --interval: invalid"),
    ("watch sim://cell --once --interval 0", "--interval must be a positive number of seconds"),
    ("watch sim://cell --once --x-words 0", "--x-words must be at least 1"),
    ("watch /dev/kvo-no-such-port --once --timeout -1", "--timeout must be a positive number"),
    ("trace {tmp}/missing.csv --png {tmp}/d.png", "{tmp}/missing.csv: No such file or directory"),
    ("trace {tmp}/bad.csv --png {tmp}/d.png", "{tmp}/bad.csv, line 2: not a trace row"),
    ("trace {tmp}/binary.csv --png {tmp}/d.png", "not a trace file"),
    ("trace {tmp}/bad.csv --png {tmp}/d.png --iomap {tmp}/bad.toml", "line 2"),
    ("trace {tmp}/empty.csv --png {tmp}/d.png --iomap {tmp}/bad.toml", "I/O map: {tmp}/bad.toml: signal 'a'"),
    ("trace {tmp}/empty.csv", "0 events; give --png FILE and/or --vcd FILE"),
    ("trace {tmp}/empty.csv --vcd {tmp}/no/such/folder/t.vcd", "--vcd {tmp}/no/such/folder/t.vcd: No such file"),
    ("plant --broker mqtt://127.0.0.1:1 --prefix kvo/#", "--prefix level '#' cannot be a topic level"),
    ("plant --broker mqtt://127.0.0.1:1 --port 70000", "--port must be 0..65535"),
    ("plant --broker http://127.0.0.1", "the scheme must be mqtt:// or mqtts://"),
])
def test_bad_options_and_files_end_in_one_line_and_status_2(tmp_path, args, problem):
    for name, content in FILES.items():
        (tmp_path / name).write_bytes(content if isinstance(content, bytes) else content.encode())
    done = kit(*args.format(tmp=tmp_path).split())
    command = args.split()[0]
    assert done.returncode == 2, (done.stdout, done.stderr)
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr, done.stderr
    assert done.stderr.startswith(f"python3 -m kvo_kit {command}: error: ")
    assert problem.format(tmp=tmp_path) in done.stderr
