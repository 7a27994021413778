"""Benchmarks of kvo_fa on pyperf: every measured operation on kvo_fa and on
the plain-Python baseline (bench/baseline), beside the interpreter floor
(`dict.get` with one argument), in one run; then the idle cost of a started
machine and the delays set by the polling intervals.

    PYTHONPATH=build/dev python3 -m bench              # a few minutes
    PYTHONPATH=build/dev python3 -m bench --quick      # about a minute, rough
    PYTHONPATH=build/dev python3 -m bench --rigorous   # for figures to keep
    python3 -m bench --python 3.13 [OPTIONS]           # on that version (scripts/bench.sh)
    PYTHONPATH=build/dev python3 -m bench --versions   # a column per version (bench/versions.py)

Run it from the repository root. It prints a table of medians with ratios and
targets and writes the pyperf results to bench/results.json (--results), so
two runs compare with `python3 -m pyperf compare_to OLD.json bench/results.json`.
Other pyperf options work as usual (-p processes, -n values, --fast, ...);
--only TEXT keeps the cases whose label contains TEXT.

Each timed loop runs in one thread and is timed with that thread's CPU time
(--wall-clock for the wall clock): on a machine shared with compilers, the
time other processes hold the cores would otherwise swamp sub-microsecond
calls. The idle cost is the whole process's CPU time (getrusage).
"""
import os
import platform
import re
import sys
import time


def on_other_python():
    """`--python X.Y`: the same run on that version, in its own virtual
    environment against its own build (scripts/bench.sh). pyperf's own
    `--python PROGRAM` (the workers' interpreter) is left to pyperf."""
    args = sys.argv[1:]
    for i, arg in enumerate(args):
        if arg == "--python" or arg.startswith("--python="):
            version = arg.partition("=")[2] or (args[i + 1] if i + 1 < len(args) else "")
            rest = args[:i] + args[i + (1 if "=" in arg else 2):]
            if not re.fullmatch(r"3\.\d+", version):
                return
            script = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts", "bench.sh")
            os.execvp("bash", ["bash", script, version, *rest])


# Before the imports below, which need pyperf and the modules of this interpreter.
if __name__ == "__main__":
    on_other_python()

import pyperf  # noqa: E402

from . import idle, latency, report, versions  # noqa: E402
from .cases import CASES, FLOOR  # noqa: E402
from .implementations import IMPLEMENTATIONS  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def add_options(parser):
    parser.add_argument("--quick", action="store_true",
                        help="rough figures in about a minute: in one process, fewer and shorter runs")
    parser.add_argument("--only", metavar="TEXT", help="only the cases whose label contains TEXT")
    parser.add_argument("--idle-seconds", type=float, default=10.0,
                        help="how long the idle cost is measured (default 10, 2 with --quick)")
    parser.add_argument("--latency-repeats", type=int, default=10,
                        help="repeats of each delay figure (default 10, 3 with --quick); 0 skips them")
    parser.add_argument("--wall-clock", action="store_true",
                        help="time with the wall clock instead of the thread's CPU time")
    parser.add_argument("--results", default=os.path.join(HERE, "results.json"),
                        help="where the pyperf results are written (default bench/results.json)")


def forward_options(command, args):
    """The options a pyperf worker process needs to run the same cases."""
    if args.only:
        command.extend(("--only", args.only))
    if args.wall_clock:
        command.append("--wall-clock")


def timing(case, implementation, clock):
    def time_func(loops):
        fixture = case.build(implementation)
        try:
            return fixture.run(loops, clock)
        finally:
            fixture.close()
    return time_func


def single_value(name, value):
    run = pyperf.Run([value], metadata={"name": name, "unit": "second"}, collect_metadata=False)
    return pyperf.Benchmark([run])


def main():
    if sys.argv[1:2] == ["--versions"]:
        return versions.main(sys.argv[2:])
    runner = pyperf.Runner(processes=6, min_time=0.05, program_args=("-m", "bench"),
                           add_cmdline_args=forward_options)
    add_options(runner.argparser)
    args = runner.parse_args()
    if args.quick:
        args.in_process = True
        args.processes, args.values, args.min_time = 2, 2, 0.01
        if "--idle-seconds" not in sys.argv:
            args.idle_seconds = 2.0
        if "--latency-repeats" not in sys.argv:
            args.latency_repeats = 3
    cases = [case for case in CASES if not args.only or args.only in case.label]
    load_before = os.getloadavg()
    began = time.monotonic()

    # On a shared machine the thread's CPU time leaves out the time other
    # processes hold the cores; every timed loop runs in one thread.
    clock = time.perf_counter if args.wall_clock else time.thread_time
    runner.metadata["timer"] = "time.perf_counter" if args.wall_clock else "time.thread_time (CPU time of the thread)"
    floor = runner.bench_time_func("floor: " + FLOOR.label, timing(FLOOR, None, clock))
    measured = {}
    for case in cases:
        for implementation in IMPLEMENTATIONS:
            measured[implementation.name, case.label] = runner.bench_time_func(
                "%s: %s" % (implementation.name, case.label), timing(case, implementation, clock),
                inner_loops=case.inner_loops)
    if args.worker:
        return

    benchmarks = [floor] + list(measured.values())
    idle_cpu = {}
    if args.idle_seconds > 0:
        for implementation in IMPLEMENTATIONS:
            idle_cpu[implementation.name] = idle.idle_cpu(implementation, args.idle_seconds)
            benchmarks.append(single_value("%s: idle CPU per second" % implementation.name,
                                           max(idle_cpu[implementation.name], 1e-9)))
    delays = latency.latencies(args.latency_repeats) if args.latency_repeats > 0 else {}
    for label, seconds in delays.items():
        benchmarks.append(single_value("kvo_fa: " + label, seconds))
    pyperf.BenchmarkSuite(benchmarks).dump(args.results, replace=True)

    mode = "--quick" if args.quick else "--rigorous" if args.rigorous else "--fast" if args.fast else "default"
    # pyperf before 2.11 (the one for Python 3.10) has no --in-process.
    if getattr(args, "in_process", False) and not args.quick:
        mode += " --in-process"
    print()
    print("kvo_fa benchmarks, %s mode, %s: %d processes × %d values; Python %s, %s, %d CPUs; load average %.1f "
          "before, %.1f after; %.0f s" % (
              mode, "wall clock" if args.wall_clock else "thread CPU time", args.processes, args.values, platform.python_version(), platform.machine(), os.cpu_count(),
              load_before[0], os.getloadavg()[0], time.monotonic() - began))
    print()
    rows = [(case, measured["kvo_fa", case.label].median(), measured["baseline", case.label].median())
            for case in cases]
    lines, met = report.call_table(floor.median(), rows)
    print("\n".join(lines))
    print()
    print("targets met: %d of %d" % (met, len(rows)))
    if idle_cpu:
        print()
        print("\n".join(report.idle_table(args.idle_seconds, idle_cpu, idle.IDLE_WORKERS)))
    if delays:
        print()
        print("\n".join(report.delay_table(delays)))
    print()
    shown = os.path.relpath(args.results)
    print("pyperf results: %s" % (args.results if shown.startswith("..") else shown))


if __name__ == "__main__":
    main()
