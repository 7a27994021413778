"""Timing diagram of a simulated PLC's I/O trace, like a logic analyser.

A trace is what `SimulatedPlc.trace` returns: (time, relay, value, station)
tuples, oldest first. `render` draws one lane per relay (outputs Y first, then
inputs X, by number) and writes a PNG. From the command line it renders a
trace saved with `save`:

    python3 examples/cell/timing_diagram.py trace.csv diagram.png
"""
import csv
import sys
from typing import Iterable, Mapping, Optional

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after the backend is chosen)

AREA_ORDER = {"Y": 0, "R": 1, "X": 2}

Event = tuple[float, str, bool, int]  # (time, relay, value, station) of a trace
Lane = tuple[int, str]               # (station, relay)


def lane_key(lane: Lane) -> tuple[int, int, int, int]:
    """Sort key of a (station, relay) lane: station, Y before R before X, relay number."""
    station, relay = lane
    return station, AREA_ORDER.get(relay[0], 3), int(relay[1:-1] or "0"), int(relay[-1], 16)


def lanes(trace: Iterable[Event], until: Optional[float] = None) -> dict[Lane, list[tuple[float, bool]]]:
    """Dict (station, relay) -> list of (time, value), each relay's changes in order."""
    result: dict[Lane, list[tuple[float, bool]]] = {}
    for time, relay, value, station in trace:
        if until is None or time <= until:
            result.setdefault((station, relay), []).append((time, bool(value)))
    return result


def render(
    trace: list[Event],
    path: str,
    labels: Optional[Mapping[str, str]] = None,
    until: Optional[float] = None,
    title: Optional[str] = None,
) -> None:
    """Write the diagram of `trace` (up to time `until`) to the PNG `path`.

    `labels` maps a relay name ("X1") to a description shown beside it; only
    the relays in `labels` are drawn, in its order, when it is given."""
    changes = lanes(trace, until)
    if labels:
        order = [(1, relay) for relay in labels if (1, relay) in changes]
    else:
        order = sorted(changes, key=lane_key)
    end = until if until is not None else max((t for t, *_ in trace), default=0.0) * 1.03 + 0.01
    fig, ax = plt.subplots(figsize=(10, 0.42 * max(len(order), 1) + 1.0))
    ticks, names = [], []
    for row, lane in enumerate(order):
        base = (len(order) - 1 - row) * 1.5
        steps = changes[lane]
        first_time, first_value = steps[0]
        start = first_value if first_time == 0 else not first_value
        times = [0.0] + [t for t, _ in steps] + [end]
        values = [start] + [v for _, v in steps] + [steps[-1][1]]
        level = [base + (0.9 if v else 0.0) for v in values]
        color = "tab:red" if lane[1].startswith("Y") else "tab:blue"
        ax.step(times, level, where="post", color=color, linewidth=1.4)
        ax.fill_between(times, base, level, step="post", color=color, alpha=0.15)
        ticks.append(base + 0.45)
        station, relay = lane
        text = relay if station == 1 else f"{station}:{relay}"
        if labels and relay in labels:
            text = f"{relay} {labels[relay]}"
        names.append(text)
    ax.set_yticks(ticks)
    ax.set_yticklabels(names, fontsize=8)
    ax.set_xlim(0, end)
    ax.set_xlabel("seconds")
    ax.grid(axis="x", linestyle=":", linewidth=0.6)
    for side in ("top", "right", "left"):
        ax.spines[side].set_visible(False)
    ax.tick_params(axis="y", length=0)
    if title:
        ax.set_title(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def save(trace: Iterable[Event], path: str) -> None:
    """Write a trace as CSV (time, relay, value, station)."""
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["time", "relay", "value", "station"])
        for time, relay, value, station in trace:
            writer.writerow([repr(time), relay, int(value), station])


def load(path: str) -> list[Event]:
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    return [(float(r["time"]), r["relay"], r["value"] == "1", int(r["station"])) for r in rows]


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: timing_diagram.py TRACE.csv DIAGRAM.png")
    render(load(sys.argv[1]), sys.argv[2])
