"""The simulated PLC's I/O trace as a timing diagram, a VCD file or a CSV file.

A trace is what `SimulatedPlc.trace` returns: (time, relay, value, station) tuples,
oldest first, time in seconds since `trace_start`. Lanes are (station, relay) pairs.

- `render` draws one lane per relay like a logic analyser (outputs red, inputs
  blue) into a PNG, with fault and operator events (`Mark`) on the time axis;
- `write_vcd` writes a Value Change Dump that GTKWave and PulseView open;
- `save_csv`/`load_csv` keep a trace as CSV.

`labels` maps a relay ("X1", or "2:X1" for another station than 1) to the name
shown for it; `IoMap.labels` gives them from an I/O map.
"""
import csv
import warnings
from dataclasses import dataclass
from typing import Iterable, Mapping, Optional, Sequence

from kvo_kit.extras import needs

Event = tuple[float, str, bool, int]  # (time, relay, value, station) of a trace
Lane = tuple[int, str]               # (station, relay)

AREA_ORDER = {"Y": 0, "R": 1, "X": 2}


@dataclass(frozen=True)
class Mark:
    """Something that happened at `time` seconds of the trace: a "fault" or an "operator" event."""
    time: float
    text: str
    kind: str = "operator"


def lane_key(lane: Lane) -> tuple[int, int, int, int]:
    """Sort key of a (station, relay) lane: station, Y before R before X, relay number."""
    station, relay = lane
    return station, AREA_ORDER.get(relay[0], 3), int(relay[1:-1] or "0"), int(relay[-1], 16)


def lane_name(lane: Lane) -> str:
    """ "X1" for station 1, "2:X1" for another station."""
    station, relay = lane
    return relay if station == 1 else f"{station}:{relay}"


def lanes(trace: Iterable[Event], until: Optional[float] = None) -> dict[Lane, list[tuple[float, bool]]]:
    """Dict (station, relay) -> list of (time, value), each relay's changes in order."""
    result: dict[Lane, list[tuple[float, bool]]] = {}
    for time, relay, value, station in trace:
        if until is None or time <= until:
            result.setdefault((station, relay), []).append((time, bool(value)))
    return result


def initial_value(steps: Sequence[tuple[float, bool]]) -> bool:
    """A lane's value when the trace started: relays on then are recorded at time 0."""
    first_time, first_value = steps[0]
    return first_value if first_time == 0 else not first_value


def ordered_lanes(changes: Mapping[Lane, object], labels: Optional[Mapping[str, str]]) -> list[Lane]:
    """The lanes to show: with `labels` only those, in its order; else every lane, sorted."""
    if not labels:
        return sorted(changes, key=lane_key)
    by_name = {lane_name(lane): lane for lane in changes}
    return [by_name[name] for name in labels if name in by_name]


def render(
    trace: Sequence[Event],
    path: str,
    labels: Optional[Mapping[str, str]] = None,
    until: Optional[float] = None,
    title: Optional[str] = None,
    marks: Iterable[Mark] = (),
    since: float = 0.0,
) -> None:
    """Write the timing diagram of `trace` from `since` to `until` seconds to the PNG `path`.

    With `labels` only those relays are drawn, in its order, each with its name;
    `marks` are drawn as vertical lines with their text (faults red)."""
    with needs("trace", "kvo_kit.trace.render"):
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

    changes = lanes(trace, until)
    order = ordered_lanes(changes, labels)
    marks = [m for m in marks if since <= m.time and (until is None or m.time <= until)]
    last = max([t for t, *_ in trace] + [m.time for m in marks], default=0.0)
    end = until if until is not None else since + (last - since) * 1.03 + 0.01
    fig, ax = plt.subplots(figsize=(10, 0.42 * max(len(order), 1) + 1.0 + (0.5 if marks else 0)))
    ticks, names = [], []
    for row, lane in enumerate(order):
        base = (len(order) - 1 - row) * 1.5
        steps = changes[lane]
        times = [0.0] + [t for t, _ in steps] + [end]
        values = [initial_value(steps)] + [v for _, v in steps] + [steps[-1][1]]
        level = [base + (0.9 if v else 0.0) for v in values]
        color = "tab:red" if lane[1].startswith("Y") else "tab:blue"
        ax.step(times, level, where="post", color=color, linewidth=1.4)
        ax.fill_between(times, base, level, step="post", color=color, alpha=0.15)
        ticks.append(base + 0.45)
        name = lane_name(lane)
        names.append(f"{name} {labels[name]}" if labels and name in labels else name)
    top = (len(order) - 1) * 1.5 + 1.2
    char = (end - since) / 150  # about one character of the mark texts, in seconds
    rows: list[float] = []      # where the text of each row of marks ends
    for mark in sorted(marks, key=lambda m: m.time):
        fault = mark.kind == "fault"
        color = "crimson" if fault else "dimgray"
        ax.axvline(mark.time, color=color, linestyle="-" if fault else "--", linewidth=1.2 if fault else 0.9)
        text = mark.text if len(mark.text) <= 40 else mark.text[:39] + "…"
        row = next((i for i, ends in enumerate(rows) if ends < mark.time), len(rows))
        rows[row:row + 1] = [mark.time + (len(text) + 2) * char]
        ax.text(mark.time, top + 0.55 * row, " " + text, fontsize=7, va="bottom", ha="left", color=color)
    ax.set_yticks(ticks)
    ax.set_yticklabels(names, fontsize=8)
    ax.set_xlim(since, end)
    ax.set_xlabel("seconds")
    ax.grid(axis="x", linestyle=":", linewidth=0.6)
    for side in ("top", "right", "left"):
        ax.spines[side].set_visible(False)
    ax.tick_params(axis="y", length=0)
    if title:
        ax.set_title(title, fontsize=10, pad=6 + 9 * len(rows))
    with warnings.catch_warnings():
        # Texts in a script the font lacks (an operator message in Chinese
        # without a CJK font) show as boxes, not as a warning per glyph.
        warnings.filterwarnings("ignore", message="Glyph .* missing from font")
        fig.tight_layout()
        fig.savefig(path, dpi=90)
    plt.close(fig)


def vcd_identifier(name: str) -> str:
    """A VCD variable name: letters, digits and underscores."""
    return "".join(c if c.isalnum() or c == "_" else "_" for c in name)


def write_vcd(trace: Sequence[Event], path: str, labels: Optional[Mapping[str, str]] = None,
              timescale: str = "1 us", marks: Iterable[Mark] = ()) -> None:
    """Write `trace` as a Value Change Dump: one 1-bit wire per relay in a scope per
    station ("station1"), named "X1" or, with `labels`, "X1_part_at_pick"; times in
    microseconds. Every traced relay is written, labelled or not. `marks` become the
    string variable "events" of scope "kvo" (their text, spaces as underscores) and
    are listed in the file's comment."""
    with needs("trace", "kvo_kit.trace.write_vcd"):
        from vcd import VCDWriter

    changes = lanes(trace)
    unit = {"1 us": 1e6, "1 ns": 1e9, "1 ms": 1e3}[timescale]
    marks = sorted(marks, key=lambda m: m.time)
    comment = "; ".join(f"{m.kind} at {m.time:.6f} s: {m.text}" for m in marks)
    with open(path, "w") as f, VCDWriter(f, timescale=timescale, date="", version="kvo_kit",
                                         comment=comment) as writer:
        variables = {}
        for lane in sorted(changes, key=lane_key):
            station, relay = lane
            label = (labels or {}).get(lane_name(lane))
            name = vcd_identifier(f"{relay}_{label}" if label else relay)
            variables[lane] = writer.register_var(f"station{station}", name, "wire", size=1,
                                                  init=initial_value(changes[lane]))
        events = writer.register_var("kvo", "events", "string", init="") if marks else None
        pending = list(marks)
        for time, relay, value, station in trace:
            while events is not None and pending and pending[0].time <= time:
                mark = pending.pop(0)
                writer.change(events, round(mark.time * unit), vcd_identifier(f"{mark.kind}:{mark.text}"))
            writer.change(variables[(station, relay)], round(time * unit), bool(value))
        if events is not None:
            for mark in pending:
                writer.change(events, round(mark.time * unit), vcd_identifier(f"{mark.kind}:{mark.text}"))


def save_csv(trace: Iterable[Event], path: str, labels: Optional[Mapping[str, str]] = None) -> None:
    """Write a trace as CSV: time, relay, value (0/1), station, and the relay's name from `labels`."""
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["time", "relay", "value", "station", "signal"])
        for time, relay, value, station in trace:
            writer.writerow([repr(time), relay, int(value), station,
                             (labels or {}).get(lane_name((station, relay)), "")])


def load_csv(path: str) -> list[Event]:
    """A trace written by `save_csv`; ValueError names the first line that is not one of its rows."""
    events = []
    with open(path, newline="") as f:
        reader = csv.DictReader(f)
        try:
            for row in reader:
                try:
                    if row["relay"] is None:
                        raise ValueError("short row")
                    events.append((float(row["time"]), row["relay"], row["value"] == "1", int(row["station"])))
                except (KeyError, TypeError, ValueError):
                    raise ValueError(f"{path}, line {reader.line_num}: not a trace row "
                                     "(time, relay, value, station)") from None
        except (UnicodeDecodeError, csv.Error) as error:
            raise ValueError(f"{path}: not a trace file: {error}") from None
    return events
