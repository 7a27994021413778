"""The simulated PLC's I/O trace and its timing diagram."""
import struct
import subprocess
import sys

import pytest

import kvo_mew
from kvo_kit import trace as timing_diagram


@pytest.fixture
def plc(plc):
    plc.clock = "manual"
    return plc


def test_trace_records_every_relay_change_with_its_time(plc):
    plc.set("X5", True)
    plc.set("R0", True)  # R is no I/O relay: not traced
    plc.add_cylinder(valve="Y0", retracted="X0", extended="X1", stroke=0.3, leave=0.05)
    plc.trace_start()
    assert plc.tracing
    plc.advance(1.0)
    plc.set("Y0", True)
    plc.advance(0.1)
    plc.advance(0.25)
    plc.set("X10", True, station=2)
    plc.trace_stop()
    plc.set("Y0", False)
    trace = plc.trace
    assert [(relay, value, station) for _, relay, value, station in trace] == [
        ("X0", True, 1), ("X5", True, 1),          # already on at the start
        ("Y0", True, 1), ("X0", False, 1), ("X1", True, 1), ("X10", True, 2)]
    times = [t for t, *_ in trace]
    assert times[:2] == [0.0, 0.0] and times[2] == pytest.approx(1.0)
    assert times[3] == pytest.approx(1.1) and times[4] == pytest.approx(1.35)
    assert not plc.tracing and len(plc.trace) == len(trace)


def test_trace_limit_counts_the_dropped_events(plc):
    plc.trace_start(limit=2)
    for i in range(4):
        plc.set("Y" + str(i), True)
    assert len(plc.trace) == 2 and plc.trace_dropped == 2
    plc.trace_start()
    assert plc.trace_dropped == 0 and len(plc.trace) == 4  # the relays on at the new start


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def test_diagram_of_a_traced_cylinder(plc, tmp_path):
    plc.add_cylinder(valve="Y0", retracted="X0", extended="X1", stroke=0.3)
    plc.trace_start()
    for _ in range(3):
        plc.set("Y0", not plc.get("Y0"))
        plc.advance(0.5)
    path = tmp_path / "diagram.png"
    timing_diagram.render(plc.trace, str(path), labels={"Y0": "valve", "X0": "back", "X1": "out"}, title="t")
    width, height = png_size(path)
    assert width > 400 and height > 100
    assert 5_000 < path.stat().st_size < 200_000


def test_diagram_tool_from_the_command_line(plc, tmp_path):
    plc.trace_start()
    plc.set("Y3", True)
    plc.advance(0.2)
    plc.set("X2", True, station=3)
    csv_path, png_path = tmp_path / "trace.csv", tmp_path / "out.png"
    timing_diagram.save_csv(plc.trace, str(csv_path))
    assert timing_diagram.load_csv(str(csv_path)) == plc.trace
    done = subprocess.run([sys.executable, "-m", "kvo_kit", "trace", str(csv_path), "--png", str(png_path)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert png_size(png_path)[0] > 400
