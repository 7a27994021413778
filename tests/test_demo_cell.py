"""The demo cell end to end, in its short mode: a few parts, fast strokes."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "examples", "cell"))
import cell  # noqa: E402
import plant  # noqa: E402


@pytest.fixture
def lines():
    return []


def test_cell_makes_its_parts(tmp_path, lines):
    summary = cell.run(3, plant.FAST, out_dir=str(tmp_path), out=lines.append, sim="cell-test")
    assert (summary.parts, summary.scrapped, summary.faults) == (3, 0, [])
    assert len(summary.cycle_times) == 3 and all(0 < c < 10 for c in summary.cycle_times)
    assert sum("unloaded" in line for line in lines) == 3
    assert 10_000 < os.path.getsize(summary.diagram) < 200_000


def test_cell_trace_as_vcd_holds_every_traced_signal(tmp_path, lines):
    from vcd.reader import TokenKind, tokenize

    from kvo_kit import trace

    summary = cell.run(2, plant.FAST, out_dir=str(tmp_path), out=lines.append, sim="cell-vcd")
    traced = {(station, relay) for _, relay, _, station in trace.load_csv(summary.csv)}
    with open(summary.vcd, "rb") as f:
        wires = {token.data.reference for token in tokenize(f) if token.kind is TokenKind.VAR}
    names = {f"{relay}_{plant.LABELS[relay]}" if relay in plant.LABELS else relay for _, relay in traced}
    assert len(traced) >= 12 and wires == names
    assert f"  I/O trace        {summary.vcd} (GTKWave, PulseView), {summary.csv}" in lines


def test_jammed_slide_stops_the_cell_which_recovers_and_finishes(tmp_path, lines):
    summary = cell.run(3, plant.FAST, jam=True, out_dir=str(tmp_path), out=lines.append, sim="cell-jam")
    message = ("双控气缸 Y2:Y3 动作超时！目标状态：1:0，原位置：X3，目标位置：X4，"
               "超时时间：1.0秒，等待时间：0.0秒。")
    assert summary.faults == [message]
    assert f"operator: {message}" in lines
    assert "operator: the machine has stopped all stations" in lines
    assert summary.parts == 3 and summary.scrapped >= 1
    assert os.path.getsize(summary.diagram) > 10_000


def test_command_line(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "cell", "cell.py"), "--parts", "1",
                           "--fast", "--out", str(tmp_path)], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "parts            1 good, 0 scrapped" in done.stdout
    assert (tmp_path / "cell_timing.png").exists()
    refused = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "cell", "cell.py"), "--jam",
                              "--parts", "2"], env=env, capture_output=True, text=True, timeout=60)
    assert refused.returncode == 2 and "--parts" in refused.stderr
