"""The printed tables: kvo_fa against the baseline and the floor with the
targets, the idle cost, and the delays."""


def microseconds(seconds):
    value = seconds * 1e6
    if value < 1:
        return "%.3f" % value
    if value < 100:
        return "%.2f" % value
    return "%.0f" % value


def ratio(value):
    return "%.2f" % value if value < 10 else "%.1f" % value


def call_table(floor, rows):
    """`floor`: seconds of one floor call; `rows`: (case, kvo_fa seconds,
    baseline seconds). Returns the lines and the number of targets met."""
    lines = ["| operation | kvo_fa µs | baseline µs | baseline/kvo_fa | kvo_fa/floor | target | met? |",
             "|---|---|---|---|---|---|---|",
             "| `dict.get(1)` (floor) | %s | | | 1 | | |" % microseconds(floor)]
    met = 0
    for case, kvo_fa, baseline in rows:
        ok = case.target.met(kvo_fa, baseline, floor)
        met += ok
        lines.append("| `%s` | %s | %s | %s | %s | %s | %s |" % (
            case.label, microseconds(kvo_fa), microseconds(baseline), ratio(baseline / kvo_fa),
            ratio(kvo_fa / floor), case.target, "yes" if ok else "NO"))
    return lines, met


def idle_table(seconds, cpu_by_implementation, workers):
    lines = ["| idle: started FPMachine on sim:// + %d idle workers, %g s | CPU, %% of one core |" % (workers, seconds),
             "|---|---|"]
    for name, share in cpu_by_implementation.items():
        lines.append("| %s | %.2f %% |" % (name, share * 100))
    return lines


def delay_table(figures):
    lines = ["| delay (kvo_fa) | median ms |", "|---|---|"]
    for label, seconds in figures.items():
        lines.append("| %s | %.1f |" % (label, seconds * 1e3))
    return lines
