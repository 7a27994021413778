"""The benchmark table with a column per Python version, from the pyperf
results of one run per version (python3 -m bench --python X.Y writes
bench/results-X.Y.json):

    PYTHONPATH=build/dev python3 -m bench --versions              # every bench/results-3.*.json
    PYTHONPATH=build/dev python3 -m bench --versions A.json B.json

Each cell holds kvo_fa/floor, baseline/kvo_fa and whether the row's target is
met in that run (each run against its own floor and baseline)."""
import glob
import os
import sys

import pyperf

from .cases import CASES, FLOOR
from .report import microseconds, ratio

HERE = os.path.dirname(os.path.abspath(__file__))


def load(path):
    """(the version, {benchmark name: median seconds}) of one results file."""
    suite = pyperf.BenchmarkSuite.load(path)
    medians = {bench.get_name(): bench.median() for bench in suite.get_benchmarks()}
    # the floor, timed first, carries the run's metadata
    version = suite.get_benchmarks()[0].get_metadata().get("python_version", "?")
    return "Python " + ".".join(version.split(" ")[0].split(".")[:2]), medians


def cell(case, medians):
    try:
        kvo_fa = medians["kvo_fa: " + case.label]
        baseline = medians["baseline: " + case.label]
        floor = medians["floor: " + FLOOR.label]
    except KeyError:
        return ""
    met = "yes" if case.target.met(kvo_fa, baseline, floor) else "NO"
    return "%s / %s %s" % (ratio(kvo_fa / floor), ratio(baseline / kvo_fa), met)


def table(runs):
    """`runs`: [(version, medians)] in column order. Returns the lines."""
    lines = ["| operation | target | %s |" % " | ".join(version for version, _ in runs),
             "|---|---|" + "---|" * len(runs),
             "| `dict.get(1)` (floor), µs | | %s |" % " | ".join(
                 microseconds(medians["floor: " + FLOOR.label]) if "floor: " + FLOOR.label in medians else ""
                 for _, medians in runs)]
    for case in CASES:
        lines.append("| `%s` | %s | %s |" % (case.label, case.target,
                                             " | ".join(cell(case, medians) for _, medians in runs)))
    met = ["%d of %d" % (sum(cell(case, m).endswith("yes") for case in CASES), len(CASES)) if m else ""
           for _, m in runs]
    lines.append("| targets met | | %s |" % " | ".join(met))
    return lines


def main(paths):
    paths = paths or sorted(glob.glob(os.path.join(HERE, "results-3.*.json")),
                            key=lambda p: tuple(int(n) for n in p.rsplit("-", 1)[1][:-5].split(".")))
    if not paths:
        sys.exit("no results: run python3 -m bench --python X.Y first (it writes bench/results-X.Y.json)")
    runs = [load(path) for path in paths]
    print("kvo_fa/floor / baseline/kvo_fa, target met?")
    print()
    print("\n".join(table(runs)))
