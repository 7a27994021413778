"""The benchmark machinery runs end to end (one value of one loop per case:
nothing is timed here), and the table judges the targets as documented."""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from bench.cases import CASES, Target  # noqa: E402


def test_one_pass_of_every_case(tmp_path):
    results = tmp_path / "results.json"
    command = [sys.executable, "-m", "bench", "--in-process", "--debug-single-value", "--quiet",
               "--idle-seconds", "0.1", "--latency-repeats", "1", "--results", str(results)]
    done = subprocess.run(command, cwd=ROOT, env=dict(os.environ), capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, done.stdout + done.stderr
    for case in CASES:
        assert "| `%s` |" % case.label in done.stdout
    assert "targets met: " in done.stdout
    import pyperf
    names = set(pyperf.BenchmarkSuite.load(str(results)).get_benchmark_names())
    expected = {"floor: dict.get(1)", "kvo_fa: idle CPU per second", "baseline: idle CPU per second"}
    expected |= {"%s: %s" % (implementation, case.label) for case in CASES for implementation in ("kvo_fa", "baseline")}
    assert expected <= names


@pytest.mark.parametrize("target, kvo_fa, baseline, floor, met", [
    (Target("floor", 3), 0.09, 0.5, 0.04, True),
    (Target("floor", 3), 0.13, 0.5, 0.04, False),
    (Target("floor", 3), 0.10, 0.08, 0.04, False),  # within the bound but slower than the baseline
    (Target("faster", 10), 0.3, 3.1, 0.04, True),
    (Target("faster", 10), 0.4, 3.1, 0.04, False),
])
def test_targets(target, kvo_fa, baseline, floor, met):
    assert target.met(kvo_fa, baseline, floor) is met
