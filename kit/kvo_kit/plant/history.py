"""The plant history: every state change, fault, part count and OEE window the
page server hears, kept in SQLite (a file, or memory) or PostgreSQL.

    history = History("plant.db")            # or "postgresql://user@127.0.0.1:5432/plant", or None (memory)
    history.start()
    history.note("line1/press3", "state", report)     # from the MQTT callback: only notes
    history.shift("line1/press3", "hour")             # the timeline, the fault Pareto, OEE
    history.close()

`note` appends to a bounded queue and returns; a writer thread of its own
turns the reports into rows and writes them in batches (one transaction every
`batch_interval` seconds, or sooner when `max_batch` reports wait), so the
broker's thread never waits on a disk or a database server. When the database
is away the writer keeps its rows and tries again; when the queue overflows
the oldest reports go first, counted in `dropped`.

What becomes a row:
- `state`: a row per state entered, the PackML state of the report's "packml"
  when it has one, else the reporter's own state taken as the nearest PackML
  state (running Execute, paused Held, stopped Stopped, faulted Aborted);
  a machine that went offline gets an "Offline" row.
- `fault`: a row per fault (by its raise time), its clearing time added later.
- `packml` (ProdProcessedCount, ProdDefectiveCount) or, from a reporter that
  sends no PackML tags, `counters` (cycles): the counts, when they changed, at
  most one row per `count_every` seconds.
- `oee`: the shift and the hour window, at most one row each per `oee_every` seconds.
"""
import logging
import threading
import time
from collections import deque
from typing import Any, Optional

from .history_store import FIRST_STATE_SINCE, LAST_STATES, LATEST_OEE, MACHINES, PACKML_COUNTED, PARETO, ROWS, STATES_SINCE, Store

log = logging.getLogger("kvo_kit.plant")

# The reporter's own states, as the nearest PackML state (name, number).
PLAIN_STATES = {"running": ("Execute", 6), "paused": ("Held", 11), "stopped": ("Stopped", 2),
                "faulted": ("Aborted", 9), "offline": ("Offline", 0)}
SPANS = {"hour": 3600.0}
SHIFT_WITHOUT_OEE = 8 * 3600.0   # the shift of a machine that reports no OEE: at most the last 8 hours
RETRY_AFTER = 1.0                # seconds between two tries of a database that failed


class History:
    """The plant's history, written off the message path by a thread of its own."""

    def __init__(self, where: Optional[str] = None, *, batch_interval: float = 0.5, max_batch: int = 2000,
                 queue_size: int = 200_000, count_every: float = 5.0, oee_every: float = 60.0) -> None:
        if where is not None and not isinstance(where, str):
            raise TypeError(f"history must be a file name or a postgresql:// URL, not {type(where).__name__}")
        for what, value in (("batch_interval", batch_interval), ("count_every", count_every),
                            ("oee_every", oee_every)):
            if not value >= 0:
                raise ValueError(f"{what} must be a number of seconds >= 0, not {value!r}")
        self.store = Store(where or ":memory:")
        self.batch_interval, self.max_batch = batch_interval, max_batch
        self.count_every, self.oee_every = count_every, oee_every
        self._ready = threading.Condition(threading.Lock())   # guards the notes and the counters below
        self._notes: deque[tuple[float, str, str, dict[str, Any]]] = deque()
        self._queue_size = queue_size
        self._noted = 0        # reports noted so far
        self._done = 0         # of those, the ones written (or found to write nothing)
        self._flush_to = 0     # a flush() waits for the reports up to this one
        self._unwritten = 0    # rows the writer holds that the database has not taken yet
        self.dropped = 0       # reports lost to a full queue
        self.written = 0       # rows written
        self.last_error: Optional[str] = None
        self._load_at = 0.0    # when the writer next tries to read what the database holds
        self._closing = False
        self._thread: Optional[threading.Thread] = None
        # The writer thread's own: what each machine last wrote, and rows not yet written.
        self._state: dict[str, tuple[float, str]] = {}
        self._counts: dict[str, tuple[float, int, int]] = {}
        self._count_pending: dict[str, tuple[float, float, int, int]] = {}   # machine -> (noted, at, p, d)
        self._packml_counts: set[str] = set()
        self._oee: dict[tuple[str, str], float] = {}
        self._oee_pending: dict[tuple[str, str], tuple[float, tuple[Any, ...]]] = {}
        self._rows: dict[str, list[tuple[Any, ...]]] = {"state": [], "fault": [], "count": [], "oee": []}

    def __str__(self) -> str:
        return str(self.store)

    # Lifecycle.
    def start(self) -> None:
        if self._thread is not None:
            return
        self._closing = False
        self._thread = threading.Thread(target=self._run, name="plant history writer")
        self._thread.start()

    def close(self) -> None:
        """Write what is still noted (the counts and OEE held back too), then end the writer."""
        if self._thread is not None:
            with self._ready:
                self._closing = True
                self._ready.notify_all()
            self._thread.join()
            self._thread = None
        self.store.close()

    def __enter__(self) -> "History":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # The message path: only notes.
    def note(self, machine: str, kind: str, report: dict[str, Any]) -> None:
        with self._ready:
            if len(self._notes) >= self._queue_size:
                self._notes.popleft()
                self.dropped += 1
                self._done += 1
            self._notes.append((time.monotonic(), machine, kind, report))
            self._noted += 1
            if len(self._notes) >= self.max_batch:
                self._ready.notify_all()

    @property
    def noted(self) -> int:
        """Reports noted so far."""
        return self._noted

    @property
    def backlog(self) -> int:
        """Reports noted and not yet taken by the writer."""
        with self._ready:
            return self._noted - self._done

    def flush(self, timeout: float = 10.0) -> bool:
        """Wait until every report noted so far is written; False if that took longer than `timeout`."""
        deadline = time.monotonic() + timeout
        with self._ready:
            target = self._noted
            self._flush_to = max(self._flush_to, target)  # the writer then writes at once
            self._ready.notify_all()
            while self._done < target or self._unwritten:
                left = deadline - time.monotonic()
                if left <= 0 or self._thread is None:
                    return False
                self._ready.wait(min(left, 0.05))
            return True

    # The writer's thread.
    def _run(self) -> None:
        retry_at = 0.0
        while not self._loaded():  # what each machine last wrote, before a report is taken
            with self._ready:
                if self._closing:
                    return
                self._ready.wait(0.05)
        while True:
            with self._ready:
                while not self._closing:
                    oldest = self._notes[0][0] if self._notes else None
                    now = time.monotonic()
                    if oldest is not None and (now - oldest >= self.batch_interval or len(self._notes) >= self.max_batch
                                               or self._flush_to > self._done):
                        break
                    if self._held_back_due(now) or (self._unwritten and now >= retry_at):
                        break
                    self._ready.wait(0.05)
                closing = self._closing
                notes = list(self._notes)
                self._notes.clear()
            for received, machine, kind, report in notes:
                try:
                    self._take(received, machine, kind, report)
                except Exception:  # a report the page let through that the history cannot use: say so, go on
                    log.exception("plant history: %s report of %s", kind, machine)
            self._release_held_back(time.monotonic(), everything=closing)
            if time.monotonic() >= retry_at or closing:
                try:
                    self._write()
                    retry_at = 0.0
                except Exception as error:
                    self._failed(error)
                    retry_at = time.monotonic() + RETRY_AFTER
            with self._ready:
                self._done += len(notes)
                self._unwritten = sum(len(rows) for rows in self._rows.values())
                self._ready.notify_all()
            if closing:
                return

    def _loaded(self) -> bool:
        """Read the last state of every machine; False (said once) while the database cannot answer."""
        now = time.monotonic()
        if now < self._load_at:
            return False
        try:
            for machine, at, state in self.store.query(LAST_STATES):
                self._state[machine] = (float(at), state)
            self._packml_counts.update(row[0] for row in self.store.query(PACKML_COUNTED))
            return True
        except Exception as error:
            self._failed(error)
            self._load_at = now + RETRY_AFTER
            return False

    def _failed(self, error: Exception) -> None:
        text = f"{type(error).__name__}: {error}".strip()
        if text != self.last_error:  # once per reason, not once per batch
            log.warning("plant history %s: %s (rows are kept and written again)", self.store, text)
        self.last_error = text
        held = sum(len(rows) for rows in self._rows.values())
        while held > self._queue_size:  # the database has been away long: the oldest rows go
            for rows in self._rows.values():
                if rows:
                    rows.pop(0)
                    held -= 1
                    self.dropped += 1

    def _write(self) -> None:
        if not any(self._rows.values()):
            return
        self.store.write(self._rows)
        self.written += sum(len(rows) for rows in self._rows.values())
        self._rows = {kind: [] for kind in self._rows}
        self.last_error = None

    def _take(self, received: float, machine: str, kind: str, report: dict[str, Any]) -> None:
        at = float(report.get("time") or time.time())
        if kind == "state":
            self._take_state(machine, at, report)
        elif kind == "fault":
            self._take_fault(machine, at, report)
        elif kind == "packml":
            processed, defective = report.get("ProdProcessedCount"), report.get("ProdDefectiveCount")
            if isinstance(processed, int):
                self._packml_counts.add(machine)
                self._take_count(received, machine, at, processed, defective if isinstance(defective, int) else 0)
        elif kind == "counters" and machine not in self._packml_counts:
            if isinstance(report.get("cycles"), int):
                self._take_count(received, machine, at, report["cycles"], 0)
        elif kind == "oee":
            for span in ("shift", "hour"):
                window = report.get(span)
                if isinstance(window, dict):
                    self._take_oee(received, machine, span, at, window)

    def _take_state(self, machine: str, at: float, report: dict[str, Any]) -> None:
        packml = report.get("packml")
        plain = report.get("state")
        if plain == "offline":
            name, number = PLAIN_STATES["offline"]
            if report.get("reason") == "connection lost":
                at = time.time()  # the broker's will carries the time the reporter connected, not when it died
        elif isinstance(packml, dict) and isinstance(packml.get("state"), str):
            name = packml["state"]
            number = packml["state_number"] if isinstance(packml.get("state_number"), int) else -1
        elif plain in PLAIN_STATES:
            name, number = PLAIN_STATES[plain]
        else:
            return
        last = self._state.get(machine)
        if last is not None:
            if last[1] == name:
                return  # the same state again: a retained report seen anew, or another field changed
            # Reports of two topics may arrive out of order, two states may share a time stamp: the later
            # arrival comes after, by a millisecond, so that the timeline stays ordered and each row its own.
            at = max(at, last[0] + 0.001)
        self._state[machine] = (at, name)
        self._rows["state"].append((machine, at, name, number))

    def _take_fault(self, machine: str, at: float, report: dict[str, Any]) -> None:
        message = report.get("message")
        if not isinstance(message, str) or not (message or report.get("type")):
            return
        raised = report.get("raised")
        raised = float(raised) if isinstance(raised, (int, float)) else at
        cleared = report.get("cleared")
        if report.get("active") is False and not isinstance(cleared, (int, float)):
            cleared = at
        self._rows["fault"].append((machine, raised, report.get("type"), message or str(report.get("type")),
                                    float(cleared) if isinstance(cleared, (int, float)) else None))

    def _take_count(self, received: float, machine: str, at: float, processed: int, defective: int) -> None:
        last = self._counts.get(machine)
        if last is not None and (last[1], last[2]) == (processed, defective):
            self._count_pending.pop(machine, None)
            return
        if last is None or at - last[0] >= self.count_every:
            self._counts[machine] = (at, processed, defective)
            self._count_pending.pop(machine, None)
            self._rows["count"].append((machine, at, processed, defective, self._count_source(machine)))
        else:  # written once count_every has passed, unless a newer count comes first
            self._count_pending[machine] = (received, at, processed, defective)

    def _count_source(self, machine: str) -> str:
        return "packml" if machine in self._packml_counts else "counters"

    def _take_oee(self, received: float, machine: str, span: str, at: float, window: dict[str, Any]) -> None:
        factors: list[Any] = [window.get(name) for name in ("window", "availability", "performance", "quality", "oee")]
        if not all(isinstance(value, (int, float)) for value in factors):
            return
        row = (machine, span, at, *(float(value) for value in factors))
        last = self._oee.get((machine, span))
        if last is None or at - last >= self.oee_every:
            self._oee[(machine, span)] = at
            self._oee_pending.pop((machine, span), None)
            self._rows["oee"].append(row)
        else:
            self._oee_pending[(machine, span)] = (received, row)

    def _held_back_due(self, now: float) -> bool:
        return (any(now - noted >= self.count_every for noted, *_ in self._count_pending.values())
                or any(now - noted >= self.oee_every for noted, _ in self._oee_pending.values()))

    def _release_held_back(self, now: float, everything: bool) -> None:
        for machine, (noted, at, processed, defective) in list(self._count_pending.items()):
            if everything or now - noted >= self.count_every:
                del self._count_pending[machine]
                self._counts[machine] = (at, processed, defective)
                self._rows["count"].append((machine, at, processed, defective, self._count_source(machine)))
        for key, (noted, row) in list(self._oee_pending.items()):
            if everything or now - noted >= self.oee_every:
                del self._oee_pending[key]
                self._oee[key] = row[2]
                self._rows["oee"].append(row)

    # What the page asks (any thread).
    def machines(self) -> list[str]:
        return [row[0] for row in self.store.query(MACHINES)]

    def rows(self) -> dict[str, int]:
        states, faults, counts, oee = self.store.query(ROWS)[0]
        return {"states": int(states), "faults": int(faults), "counts": int(counts), "oee": int(oee)}

    def shift(self, machine: str, span: str = "shift", now: Optional[float] = None) -> dict[str, Any]:
        """The machine's `span` ("hour" or "shift"): its state timeline, its faults by operator message, its OEE.

        The shift starts where the machine's latest shift OEE window starts (its counters' last reset); for a
        machine that reports no OEE, with the first state heard within the last 8 hours.
        """
        if span not in ("hour", "shift"):
            raise ValueError(f"span must be 'hour' or 'shift', not {span!r}")
        now = time.time() if now is None else now
        oee = {name: self._latest_oee(machine, name) for name in ("shift", "hour")}
        if span == "hour":
            since = now - SPANS["hour"]
        elif oee["shift"] is not None:
            since = min(oee["shift"]["at"] - oee["shift"]["window"], now)
        else:  # the first state heard within the last 8 hours
            first = self.store.query(FIRST_STATE_SINCE, (machine, now - SHIFT_WITHOUT_OEE))[0][0]
            since = min(float(first), now) if first is not None else now - SHIFT_WITHOUT_OEE
        rows = self.store.query(STATES_SINCE, (machine, machine, since, since, now))
        timeline = []
        for i, (at, state) in enumerate(rows):
            end = rows[i + 1][0] if i + 1 < len(rows) else now
            start = max(float(at), since)
            if end > start:
                timeline.append({"from": round(start, 3), "to": round(float(end), 3), "state": state})
        pareto = [{"message": message, "type": kind, "count": int(count), "lost": round(max(float(lost or 0), 0.0), 3),
                   "last": float(last)}
                  for message, kind, count, lost, last in self.store.query(PARETO, (now, machine, since, now))]
        return {"machine": machine, "span": span, "from": round(since, 3), "to": round(now, 3),
                "timeline": timeline, "pareto": pareto, "oee": oee}

    def _latest_oee(self, machine: str, span: str) -> Optional[dict[str, float]]:
        found = self.store.query(LATEST_OEE, (machine, span))
        if not found:
            return None
        at, seconds, availability, performance, quality, oee = (float(value) for value in found[0])
        return {"at": at, "window": seconds, "availability": availability, "performance": performance,
                "quality": quality, "oee": oee}
