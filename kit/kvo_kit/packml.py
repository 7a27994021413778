"""PackML state, mode and PackTags of a machine, kept from what it already knows.

    packml = PackML(machine, group, ideal_cycle=2.5)
    packml.update()            # from a telemetry thread, at its own pace
    packml.state, packml.tags(), packml.oee(3600)

The state follows the machine's run flags, its fault flag and its stations'
activity (docs/plant.md has the table): a fault -> Aborting -> Aborted, the
machine's reset -> Clearing -> Stopped, pause -> Holding -> Held, a started
machine whose stations all wait for work -> Idle, one working -> Execute, all
starved of parts for longer than `starved_after` -> Suspended. Each update
takes one step along the state model, so a transient state (Aborting,
Clearing, ...) is seen for at least one update.

Reading costs the machine nothing: run flags, `_exception_flag` and worker
properties only, no machine lock, no PLC traffic. What control threads call
(note_fault, cycle_done) only notes and returns; update() acts on the notes.
"""
import enum
import logging
import threading
import time
from collections import deque
from typing import Any, Callable, Optional, Union

from kvo_kit.plant.commands import CommandRefused
from kvo_kit.plant.sampling import machine_state, station_states

log = logging.getLogger("kvo_kit.packml")


class State(enum.IntEnum):
    """The PackML states with their ISA-TR88.00.02 numbers."""
    Undefined = 0
    Clearing = 1
    Stopped = 2
    Starting = 3
    Idle = 4
    Suspended = 5
    Execute = 6
    Stopping = 7
    Aborting = 8
    Aborted = 9
    Holding = 10
    Held = 11
    Unholding = 12
    Suspending = 13
    Unsuspending = 14
    Resetting = 15
    Completing = 16
    Complete = 17


class Mode(enum.IntEnum):
    """The unit modes; the application sets one, Production by default."""
    Invalid = 0
    Production = 1
    Maintenance = 2
    Manual = 3


COMMANDS = ("Reset", "Start", "Stop", "Hold", "Unhold", "Abort", "Clear")

TRANSIENT = frozenset({State.Aborting, State.Clearing, State.Holding, State.Starting, State.Stopping,
                       State.Unholding, State.Resetting})
# The machine is not meant to produce in these: they do not count against availability.
NOT_PLANNED = frozenset({State.Undefined, State.Stopped, State.Stopping, State.Resetting, State.Idle})
RUNNING = (State.Idle, State.Execute, State.Suspended)

KEEP = 3900.0         # seconds of state history and cycle notes kept: the last hour and some
SPEED_CYCLES = 10     # CurMachSpeed is the rate of the last this many cycle notes


def parse_state(name_or_number: Union[str, int, State]) -> State:
    """The State named ("Execute", "execute") or numbered (6); ValueError otherwise."""
    if isinstance(name_or_number, State):
        return name_or_number
    if isinstance(name_or_number, int) and not isinstance(name_or_number, bool):
        try:
            return State(name_or_number)
        except ValueError:
            raise ValueError(f"no PackML state has the number {name_or_number}") from None
    if isinstance(name_or_number, str):
        for state in State:
            if state.name.lower() == name_or_number.strip().lower():
                return state
    raise ValueError(f"{name_or_number!r} is not a PackML state: use a name such as 'Execute' or its number")


def parse_mode(mode: Union[str, int, Mode]) -> Mode:
    """Production, Maintenance or Manual, by name (any case) or number; ValueError otherwise."""
    found: Optional[Mode] = None
    if isinstance(mode, int) and not isinstance(mode, bool):
        found = Mode(mode) if mode in Mode._value2member_map_ else None
    elif isinstance(mode, str):
        found = next((m for m in Mode if m.name.lower() == mode.strip().lower()), None)
    if found is None or found is Mode.Invalid:
        raise ValueError(f"{mode!r} is not a unit mode: use Production, Maintenance or Manual")
    return found


def next_state(current: State, target: State) -> State:
    """One step from `current` towards the steady state `target` along the PackML state model."""
    if current == target or current == State.Undefined:
        return target
    if target == State.Aborted:
        return State.Aborted if current == State.Aborting else State.Aborting
    step = {State.Aborting: State.Aborted, State.Aborted: State.Clearing, State.Clearing: State.Stopped,
            State.Stopping: State.Stopped, State.Holding: State.Held}.get(current)
    if step is not None:
        return step
    if target == State.Stopped:
        return State.Stopping
    if current == State.Stopped:
        return State.Resetting
    if current == State.Resetting:
        return State.Idle
    if target == State.Held:
        return State.Holding
    if current == State.Held:
        return State.Unholding
    if current == State.Unholding:
        return target
    # Between the running states: Idle -> Starting -> Execute <-> Suspended.
    if target == State.Idle:
        return State.Idle
    if current == State.Idle:
        return State.Starting
    if current == State.Starting:
        return State.Execute
    return target


def _fault_reason(exception: BaseException, at: float) -> dict[str, Any]:
    return {"type": type(exception).__name__, "message": str(exception), "at": round(at, 3)}


class PackML:
    """The PackML state machine, PackTags and OEE of one machine and its worker group."""

    def __init__(self, machine: Any, group: Any = None, *, ideal_cycle: Optional[float] = None,
                 starved_after: float = 30.0, clock: Callable[[], float] = time.monotonic,
                 wall: Callable[[], float] = time.time) -> None:
        if ideal_cycle is not None and not ideal_cycle > 0:
            raise ValueError(f"ideal_cycle must be a positive number of seconds or None, not {ideal_cycle!r}")
        if not starved_after > 0:
            raise ValueError(f"starved_after must be a positive number of seconds, not {starved_after!r}")
        self.machine, self.group = machine, group
        self.ideal_cycle = None if ideal_cycle is None else float(ideal_cycle)
        self.starved_after = float(starved_after)
        self._clock, self._wall = clock, wall

        # Notes from control threads: this lock is only ever held for a few appends.
        self._notes = threading.Lock()
        self._fault_notes: deque[tuple[BaseException, float, float]] = deque(maxlen=16)
        self._cycles: deque[tuple[float, int, int]] = deque()   # (clock, good, defective)
        self._processed = self._defective = 0
        self._cycles_noted = 0

        self._updating = threading.RLock()   # one update (and its callbacks) at a time
        self._lock = threading.Lock()        # the state below
        self._callbacks: list[Callable[[State, State], object]] = []
        now, wall_now = clock(), wall()
        self._state, self._mode = State.Undefined, Mode.Production
        self._entered = now
        self._segments: deque[tuple[float, float, State, Mode, bool]] = deque([(now, wall_now, self._state,
                                                                                self._mode, True)])
        self._shift_start = self._counted_from = now
        self._cumulative = {state: 0.0 for state in State}
        self._planned = self._run = 0.0
        self._faults_seen: deque[BaseException] = deque(maxlen=16)   # reported already, by identity
        self._aborted = False       # by the Abort command, until Clear
        self._producing = False     # a station has worked since the machine was last started
        self._last_active = now
        self._cycles_seen = 0
        self._stop_reason: Optional[dict[str, Any]] = None
        self._alarms: list[dict[str, Any]] = []

    # ---- what control threads tell it: notes only

    def note_fault(self, exception: BaseException, at: Optional[float] = None) -> None:
        """Note a fault raised at wall time `at` (now if None); the next update() acts on it."""
        with self._notes:
            self._fault_notes.append((exception, self._wall() if at is None else at, self._clock()))

    def cycle_done(self, good: bool = True, count: int = 1) -> None:
        """Count `count` parts made, scrapped ones with `good=False`."""
        if count < 0:
            raise ValueError(f"count must not be negative, not {count}")
        now = self._clock()
        with self._notes:
            self._processed += count
            if not good:
                self._defective += count
            self._cycles.append((now, count if good else 0, 0 if good else count))
            self._cycles_noted += 1
            while self._cycles and self._cycles[0][0] < now - KEEP:
                self._cycles.popleft()

    # ---- the state machine

    @property
    def state(self) -> State:
        return self._state

    @property
    def mode(self) -> Mode:
        return self._mode

    def set_mode(self, mode: Union[Mode, str, int]) -> None:
        new = parse_mode(mode)
        with self._lock:
            if new != self._mode:
                self._close_segment(self._clock())
                self._mode = new
                self._open_segment(False)

    def on_change(self, callback: Callable[[State, State], object]) -> None:
        """Call `callback(old, new)` at every change of state, from the thread that runs update()."""
        if not callable(callback):
            raise TypeError(f"on_change needs a callable, not {callback!r}")
        with self._lock:
            self._callbacks.append(callback)

    def update(self) -> bool:
        """Sample the machine and take one step of the state model; True when the state changed."""
        with self._updating:
            with self._lock:
                old = self._state
                new = next_state(old, self._target(self._clock()))
                if new != old:
                    self._change(new)
                callbacks = list(self._callbacks) if new != old else []
            for callback in callbacks:
                try:
                    callback(old, new)
                except Exception:  # an observer's error must not stop the others or the updates
                    log.exception("PackML state change callback %r", callback)
            return new != old

    def _target(self, now: float) -> State:
        """The steady state the machine's flags and stations show now (lock held)."""
        faulted = bool(getattr(self.machine, "_exception_flag", False))
        # A noted fault counts even when its flag is gone by now: an application may reset the machine
        # within one update. (One that a later subscriber took shows as a short abort too.)
        if self._take_faults(faulted) or faulted or self._aborted:
            self._producing = False  # production begins again from Idle after the recovery
            return State.Aborted
        run = machine_state(self.machine)
        if run == "stopped":
            self._producing = False
            return State.Stopped
        if run == "paused":
            return State.Held
        with self._notes:
            cycles = self._cycles_noted
        working = any(s == "working" for s in station_states(self.group).values())
        if working or cycles != self._cycles_seen:
            self._cycles_seen, self._producing, self._last_active = cycles, True, now
            return State.Execute
        if not self._producing:
            return State.Idle
        return State.Execute if now - self._last_active < self.starved_after else State.Suspended

    def _take_faults(self, faulted: bool) -> bool:
        """Stop reason and alarms of the faults noted and of the one the machine holds; True for a new one."""
        with self._notes:
            notes, self._fault_notes = list(self._fault_notes), deque(maxlen=16)
        found = [(exception, at) for exception, at, _ in notes]
        stored = getattr(self.machine, "_MachineBase__exception", None)
        if faulted and stored is not None and all(exception is not stored for exception, _ in found):
            found.insert(0, (stored, self._wall()))
        new = False
        for exception, at in found:
            if any(exception is seen for seen in self._faults_seen):
                continue
            self._faults_seen.append(exception)
            reason = _fault_reason(exception, at)
            self._alarms.append(reason)
            if not new:
                self._stop_reason, new = dict(reason), True
        return new

    def _change(self, new: State) -> None:
        now = self._clock()
        self._close_segment(now)
        self._state, self._entered = new, now
        if new == State.Clearing:
            self._alarms = []
        self._open_segment(True)

    def _close_segment(self, now: float) -> None:
        """Add the time since the last change to the shift's totals (lock held)."""
        elapsed = max(0.0, now - self._counted_from)
        self._cumulative[self._state] += elapsed
        if self._mode == Mode.Production and self._state not in NOT_PLANNED:
            self._planned += elapsed
            if self._state == State.Execute:
                self._run += elapsed
        self._counted_from = now

    def _open_segment(self, state_changed: bool) -> None:
        now = self._counted_from
        self._segments.append((now, self._wall(), self._state, self._mode, state_changed))
        while len(self._segments) > 1 and self._segments[1][0] < now - KEEP:
            self._segments.popleft()

    # ---- commands

    def command(self, name: str) -> None:
        """Carry out PackML command `name` on the machine and its group; CommandRefused when it cannot be."""
        if name not in COMMANDS:
            raise CommandRefused(f"unknown PackML command {name!r}: known are {', '.join(COMMANDS)}")
        allowed_in, action = self._commands()[name]
        state = self._state
        if state not in allowed_in:
            raise CommandRefused(f"{name} is not possible in the state {state.name} "
                                 f"(possible in {', '.join(s.name for s in allowed_in)})")
        log.warning("PackML command %s in the state %s", name, state.name)
        action()  # the next update() takes the first step, so that every transient state is seen

    def _commands(self) -> dict[str, tuple[tuple[State, ...], Callable[[], None]]]:
        s = State
        active = (s.Idle, s.Starting, s.Execute, s.Suspended, s.Holding, s.Held, s.Unholding, s.Resetting)
        return {
            "Reset": ((s.Stopped,), self._reset),
            "Start": ((s.Idle,), self._start),
            "Stop": (active, self._stop),
            "Hold": ((s.Idle, s.Starting, s.Execute, s.Suspended, s.Unholding), self.machine.pause),
            "Unhold": ((s.Held,), self.machine.start),
            "Abort": (active + (s.Stopped, s.Stopping, s.Clearing), self._abort),
            "Clear": ((s.Aborted,), self._clear),
        }

    def _reset(self) -> None:
        """Stopped -> Idle: stations back to a clean stop (their queued tasks kept), the machine started."""
        if self.group is not None:
            self.group.reset_all(False)
        self.machine.start()

    def _start(self) -> None:
        if self.group is not None:
            self.group.start_all()

    def _stop(self) -> None:
        self.machine.stop()
        if self.group is not None:
            self.group.stop_all()

    def _abort(self) -> None:
        with self._lock:
            self._aborted = True
            self._stop_reason = {"type": "Abort", "message": "the Abort command", "at": round(self._wall(), 3)}
        self._stop()

    def _clear(self) -> None:
        """Aborted -> Stopped: the machine's reset clears the fault; machine and stations stay stopped."""
        if self.group is not None:
            self.group.stop_all()
        self.machine.reset()
        self.machine.stop()  # reset starts the machine again: Reset is a command of its own
        if self.group is not None:
            self.group.reset_all()
        with self._lock:
            self._aborted = False

    # ---- PackTags, OEE, history

    def tags(self) -> dict[str, Any]:
        """The PackTags as plain JSON values."""
        with self._lock:
            now = self._clock()
            cumulative = dict(self._cumulative)
            cumulative[self._state] += max(0.0, now - self._counted_from)
            with self._notes:
                processed, defective = self._processed, self._defective
                recent = list(self._cycles)[-SPEED_CYCLES:]
            return {
                "StateCurrent": int(self._state), "StateCurrentName": self._state.name,
                "UnitModeCurrent": int(self._mode), "UnitModeName": self._mode.name,
                "MachSpeed": round(60.0 / self.ideal_cycle, 3) if self.ideal_cycle else 0.0,
                "CurMachSpeed": self._speed(recent) if self._state == State.Execute else 0.0,
                "ProdProcessedCount": processed, "ProdDefectiveCount": defective,
                "StopReason": dict(self._stop_reason) if self._stop_reason else None,
                "Alarm": [dict(alarm) for alarm in self._alarms],
                "StateCurrentTime": round(now - self._entered, 3),
                "StateCumulativeTime": {state.name: round(t, 3) for state, t in cumulative.items()},
                "AccTimeSinceReset": round(now - self._shift_start, 3),
            }

    @staticmethod
    def _speed(recent: list[tuple[float, int, int]]) -> float:
        if len(recent) < 2 or recent[-1][0] <= recent[0][0]:
            return 0.0
        parts = sum(good + bad for _, good, bad in recent[1:])
        return round(60.0 * parts / (recent[-1][0] - recent[0][0]), 3)

    def oee(self, window: Optional[float] = None) -> dict[str, float]:
        """Availability, performance, quality and their product over the shift (None) or the last `window` s.

        availability = Execute time / planned time (Production mode, outside Stopped, Stopping,
        Resetting and Idle); performance = ideal cycle time x parts / Execute time, at most 1 (0
        without an ideal cycle time); quality = good parts / parts. A factor with nothing to measure
        yet is 0. A window reaches back to the shift's start at most."""
        if window is not None and not window > 0:
            raise ValueError(f"an OEE window must be a positive number of seconds, not {window!r}")
        with self._lock:
            now = self._clock()
            since = self._shift_start if window is None else max(self._shift_start, now - min(window, KEEP))
            planned, run = self._times_since(since, now)
            with self._notes:
                if window is None:
                    parts, bad = self._processed, self._defective
                else:
                    counted = [(good, b) for t, good, b in self._cycles if t >= since]
                    parts, bad = sum(g + b for g, b in counted), sum(b for _, b in counted)
        availability = run / planned if planned > 0 else 0.0
        performance = min(1.0, self.ideal_cycle * parts / run) if run > 0 and self.ideal_cycle else 0.0
        quality = (parts - bad) / parts if parts > 0 else 0.0
        return {"availability": round(availability, 4), "performance": round(performance, 4),
                "quality": round(quality, 4), "oee": round(availability * performance * quality, 4),
                "window": round(now - since, 3)}

    def _times_since(self, since: float, now: float) -> tuple[float, float]:
        """(planned, Execute) seconds between `since` and `now` (lock held)."""
        if since <= self._shift_start:
            elapsed = max(0.0, now - self._counted_from)
            planned_now = self._mode == Mode.Production and self._state not in NOT_PLANNED
            return (self._planned + (elapsed if planned_now else 0.0),
                    self._run + (elapsed if planned_now and self._state == State.Execute else 0.0))
        planned = run = 0.0
        segments = list(self._segments)
        for i, (start, _, state, mode, _) in enumerate(segments):
            end = segments[i + 1][0] if i + 1 < len(segments) else now
            seconds = min(end, now) - max(start, since)
            if seconds > 0 and mode == Mode.Production and state not in NOT_PLANNED:
                planned += seconds
                if state == State.Execute:
                    run += seconds
        return planned, run

    def reset_counters(self) -> None:
        """Start a new shift: counts, state times and the shift's OEE begin again from zero."""
        with self._lock:
            now = self._clock()
            self._close_segment(now)
            self._cumulative = {state: 0.0 for state in State}
            self._planned = self._run = 0.0
            self._shift_start = now
            with self._notes:
                self._processed = self._defective = 0

    def history(self) -> list[tuple[float, State]]:
        """(wall time, state entered) of the state changes of the last hour and some, oldest first."""
        with self._lock:
            return [(wall, state) for _, wall, state, _, entered in self._segments if entered]
