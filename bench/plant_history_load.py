"""A whole shift of a plant's reports, on a compressed clock, into the plant history.

Each of N cells reports as a PlantReporter with PackML does at its default
rates: PackTags and OEE every second (counters_interval), a state change every
few minutes (Execute, now and then Suspended, Held or a jam: Aborting,
Aborted, Clearing, Stopped, Resetting, Idle, Starting), a fault with each jam.
The reports carry the shift's virtual times and are noted as fast as the
History's writer takes them (the feed waits while more than BACKLOG wait);
the writer thread writes them as it would live. Measured:
reports and rows per second of wall time, and the database's size at the end.

    PYTHONPATH=build/dev:kit python3 bench/plant_history_load.py [--cells 200] [--hours 8] [--history FILE|URL]
"""
import argparse
import json
import os
import random
import sys
import tempfile
import time
from typing import Any, Iterator, Optional

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "kit"))

from kvo_kit.plant.history import History  # noqa: E402

JAM = "双控气缸 Y2:Y3 动作超时！目标状态：1:0，原位置：X3，目标位置：X4，超时时间：1.0秒"
OTHER_FAULTS = ("vacuum cup lost the part at unload", "part source empty for 30 s", "light curtain broken")
NUMBERS = {"Clearing": 1, "Stopped": 2, "Starting": 3, "Idle": 4, "Suspended": 5, "Execute": 6, "Aborting": 8,
           "Aborted": 9, "Holding": 10, "Held": 11, "Unholding": 12, "Resetting": 15}
BACKLOG = 50_000  # reports the feed lets wait for the writer at most
JAM_STATES = (("Aborting", 0.1), ("Aborted", 120.0), ("Clearing", 0.2), ("Stopped", 5.0), ("Resetting", 0.2),
              ("Idle", 3.0), ("Starting", 0.1))


class Cell:
    """One cell's reports, second by second of the shift."""

    def __init__(self, name: str, start: float, rng: random.Random) -> None:
        self.name, self.rng = name, rng
        self.state, self.until = "Execute", start + rng.expovariate(1 / 600)
        self.plan: list[tuple[str, float]] = []
        self.processed = self.defective = 0
        self.start = start
        self.fault: Optional[dict[str, Any]] = None
        self.running = 0.0

    def second(self, t: float) -> Iterator[tuple[str, dict[str, Any]]]:
        while t >= self.until:
            yield from self._next_state(self.until)
        if self.state == "Execute":
            self.running += 1
            if self.rng.random() < 1 / 3:  # a part every 3 s
                self.processed += 1
                self.defective += self.rng.random() < 0.01
        yield "packml", {"v": 1, "time": t, "StateCurrent": NUMBERS[self.state], "StateCurrentName": self.state,
                         "ProdProcessedCount": self.processed, "ProdDefectiveCount": self.defective}
        elapsed = t - self.start + 1
        a = self.running / elapsed
        p = min(1.0, 3 * self.processed / self.running) if self.running else 0.0
        q = 1 - self.defective / self.processed if self.processed else 1.0
        window = {"availability": a, "performance": p, "quality": q, "oee": a * p * q, "window": elapsed}
        yield "oee", {"v": 1, "time": t, "shift": window, "hour": window}

    def _next_state(self, t: float) -> Iterator[tuple[str, dict[str, Any]]]:
        if self.plan:
            self.state, hold = self.plan.pop(0)
        elif self.state != "Execute":
            self.state, hold = "Execute", self.rng.expovariate(1 / 600)
            if self.fault is not None:
                yield "fault", {**self.fault, "time": t, "active": False, "cleared": t}
                self.fault = None
        else:
            pick = self.rng.random()
            if pick < 0.3:  # a jam, the plant's reset, and back
                self.plan = list(JAM_STATES[1:])
                self.state, hold = JAM_STATES[0]
                message = JAM if self.rng.random() < 0.6 else self.rng.choice(OTHER_FAULTS)
                self.fault = {"v": 1, "message": message, "type": "DYCylinderException", "raised": t}
                yield "fault", {**self.fault, "time": t, "active": True}
            elif pick < 0.7:
                self.state, hold = "Suspended", self.rng.expovariate(1 / 30)
            else:
                self.plan = [("Held", self.rng.expovariate(1 / 120)), ("Unholding", 0.1)]
                self.state, hold = "Holding", 0.1
        self.until = t + hold
        state = {"v": 1, "time": t, "state": "running",
                 "packml": {"state": self.state, "state_number": NUMBERS[self.state], "mode": "Production"}}
        yield "state", state


def run(cells: int, hours: float, where: Optional[str]) -> dict[str, Any]:
    folder = tempfile.mkdtemp(prefix="plant-history-")
    where = where or os.path.join(folder, "plant.db")
    rng = random.Random(25)
    start = time.time() - hours * 3600
    plant = [Cell(f"line1/cell{i:03d}", start, rng) for i in range(cells)]
    history = History(where)
    history.start()
    reports = 0
    began = time.perf_counter()
    try:
        for second in range(int(hours * 3600)):
            t = start + second
            for cell in plant:
                for kind, report in cell.second(t):
                    history.note(cell.name, kind, report)
                    reports += 1
            if history.backlog > BACKLOG:  # the clock runs as fast as the writer keeps up, no faster
                history.flush(600)
        fed = time.perf_counter() - began
        assert history.flush(600), "the history did not catch up"
        took = time.perf_counter() - began
        rows = history.rows()
        size = history.store.size()
    finally:
        history.close()
    return {"cells": cells, "hours": hours, "where": "postgresql" if where.startswith("postgres") else "sqlite",
            "reports": reports, "fed_s": round(fed, 1), "took_s": round(took, 1),
            "reports_per_s": round(reports / took), "rows": rows, "rows_per_s": round(sum(rows.values()) / took),
            "dropped": history.dropped, "size_mb": round(size / 1e6, 1) if size else None}


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--cells", type=int, default=200)
    p.add_argument("--hours", type=float, default=8.0)
    p.add_argument("--history", help="a SQLite file or postgresql:// URL (default: a file in a temporary folder)")
    args = p.parse_args()
    print(json.dumps(run(args.cells, args.hours, args.history)))


if __name__ == "__main__":
    main()
