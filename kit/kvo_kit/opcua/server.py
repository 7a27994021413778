"""The OPC UA server of one machine, on a thread and an event loop of its own.

Control never waits on it: the fault subscriber and the edge handler it adds
only note what happened, wake the server's loop and return (the subscriber
returns False, so it never takes a fault). Everything else is read by polling
from the server's thread: run flags, the image words, the link's health and
the PackML tags, none of which takes a machine lock or talks to the PLC.
"""
import asyncio
import concurrent.futures
import logging
import threading
import time
from collections import deque
from collections.abc import Iterable, Mapping
from typing import Any, Callable, Optional, Union

from asyncua import Server, ua

from kvo_kit.plant.sampling import image_words, link_health, machine_link

from . import machinery, model
from .security import ReadOnlyForAnonymous, Security, TrustedClients, Users, certificate_uri, check_users

log = logging.getLogger("kvo_kit.opcua")

COMMANDS = ("Reset", "Start", "Stop", "Hold", "Unhold")  # the PackML commands a client may be allowed
START_TIMEOUT = 60.0  # asyncua loads the standard address space first: seconds on a busy machine
ALARM_SEVERITY = 800


class OpcUaServer:
    """One machine (and its worker group) as an OPC UA server: see kvo_kit.opcua."""

    def __init__(
        self,
        machine: Any,
        group: Any = None,
        endpoint: str = "opc.tcp://127.0.0.1:4840",
        *,
        name: str = "machine",
        iomap: Any = None,
        identification: Optional[Mapping[str, Any]] = None,
        packml: Any = None,
        commands: Union[Iterable[str], Mapping[str, Optional[Callable[[], object]]], None] = None,
        security: Optional[Security] = None,
        link: Any = None,
        ideal_cycle: Optional[float] = None,
        poll_interval: float = 0.1,
        counters_interval: float = 1.0,
    ) -> None:
        if not isinstance(endpoint, str) or not endpoint.startswith("opc.tcp://"):
            raise ValueError(f"an OPC UA endpoint is opc.tcp://HOST:PORT, not {endpoint!r}")
        if not isinstance(name, str) or not name or any(c in name for c in "./; "):
            raise ValueError(f"machine name {name!r}: give a non-empty name without '.', '/', ';' or spaces")
        for what, value in (("poll_interval", poll_interval), ("counters_interval", counters_interval)):
            if not value > 0:
                raise ValueError(f"{what} must be a positive number of seconds, not {value!r}")
        self.security = security if security is not None else Security()
        self.security.check(endpoint)
        given = dict(commands) if isinstance(commands, Mapping) else {name: None for name in commands or ()}
        refused = [c for c in given if c not in COMMANDS]
        if refused:
            raise ValueError(f"command method(s) {', '.join(map(repr, refused))} cannot be allowed: "
                             f"allowed may be {', '.join(COMMANDS)}")
        for command, action in given.items():
            if action is not None and not callable(action):
                raise TypeError(f"command {command!r}: {action!r} is not callable")
        self._actions: dict[str, Optional[Callable[[], object]]] = given
        self.commands = tuple(given)
        check_users(self.commands, self.security)
        if iomap is not None:
            iomap.check(machine)
        import kvo_kit

        self.identification = machinery.identification(identification, name, type(machine).__name__,
                                                       kvo_kit.__version__)
        self.machine, self.group, self.endpoint, self.name, self.iomap = machine, group, endpoint, name, iomap
        self.poll_interval, self.counters_interval = poll_interval, counters_interval
        self._link = link if link is not None else machine_link(machine)
        self._own_packml = packml is None
        if packml is None:
            from kvo_kit.packml import PackML

            packml = PackML(machine, group, ideal_cycle=ideal_cycle)
        elif ideal_cycle is not None:
            raise ValueError("give ideal_cycle to the PackML given, not to the server")
        self.packml = packml

        self._notes = threading.Lock()  # guards the fault notes
        self._fault_notes: deque[tuple[BaseException, float]] = deque(maxlen=16)
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._wake: Optional[asyncio.Event] = None
        self._wake_sent = False  # a wake is on its way to the loop, which has not looked at the image since
        self._closing = False
        self._ready = threading.Event()
        self._error: Optional[BaseException] = None
        self._thread: Optional[threading.Thread] = None
        self._subscribed = False
        self._commands_pool: Optional[concurrent.futures.ThreadPoolExecutor] = None
        self._model: Optional[model.Model] = None
        self._fault_shown: Optional[BaseException] = None
        self._fault_active = False
        self.nodes = 0  # nodes this machine serves, once started

    # What the application tells the server.
    def cycle_done(self, good: bool = True, count: int = 1) -> None:
        """Count `count` finished cycles (parts made, good or not) for PackML's counters and OEE."""
        self.packml.cycle_done(good, count)

    # Lifecycle.
    def start(self) -> None:
        if self._thread is not None:
            return
        self._closing, self._error, self._wake_sent = False, None, False
        self._ready.clear()
        self._commands_pool = concurrent.futures.ThreadPoolExecutor(1, f"opcua commands {self.name}")
        self._commands_pool.submit(int)  # its thread starts with the server, not at the first call
        self._thread = threading.Thread(target=self._run, name=f"opcua server {self.name}")
        self._thread.start()
        try:
            deadline = time.monotonic() + START_TIMEOUT
            while not self._ready.wait(0.05):
                if time.monotonic() > deadline:
                    raise TimeoutError(f"the OPC UA server at {self.endpoint} did not start in {START_TIMEOUT} s")
        except BaseException:
            self.close()
            raise
        if self._error is not None:
            error = self._error
            self.close()
            raise error
        self.machine.exception_event.subscribe(self._on_fault)
        self.machine.register_edge_event_handler(self._on_input_change, 0)
        self._subscribed = True

    def close(self) -> None:
        """Stop serving and end the server's threads; the machine is left as it is."""
        thread = self._thread
        if thread is None:
            return
        if self._subscribed:
            self.machine.exception_event.unsubscribe(self._on_fault)
            self.machine.unregister_edge_event_handler(self._on_input_change)
            self._subscribed = False
        self._closing = True
        self._wake_loop()
        while thread.is_alive():
            thread.join(0.05)
        self._thread = None
        assert self._commands_pool is not None
        self._commands_pool.shutdown(wait=True)

    def __enter__(self) -> "OpcUaServer":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # Called from the machine's threads: note, wake the server's loop, return.
    def _on_fault(self, exception: BaseException) -> bool:
        with self._notes:
            self._fault_notes.append((exception, time.time()))
        if self._own_packml:
            self.packml.note_fault(exception)
        self._wake_loop()
        return False  # the server only shows the fault: it stays the machine's

    def _on_input_change(self, snapshot: object) -> None:
        if not self._wake_sent:  # one wake until the loop has looked: the refresh cycles of a burst add none
            self._wake_loop()

    def _wake_loop(self) -> None:
        loop, wake = self._loop, self._wake
        if loop is not None and wake is not None:
            self._wake_sent = True
            try:
                loop.call_soon_threadsafe(wake.set)
            except RuntimeError:  # the loop has just closed
                pass

    # The server's thread.
    def _run(self) -> None:
        loop = asyncio.new_event_loop()
        try:
            loop.run_until_complete(self._serve(loop))
        except BaseException as error:  # reported by start(), or logged once serving
            if self._ready.is_set():
                log.exception("OPC UA server %s", self.name)
            self._error = error
        finally:
            self._loop = None
            loop.run_until_complete(_wind_up())
            loop.close()
            self._ready.set()

    async def _serve(self, loop: asyncio.AbstractEventLoop) -> None:
        self._wake = asyncio.Event()
        self._loop = loop
        server = await self._configured_server()
        self._model = machine_model = model.Model(server, await server.register_namespace(model.NAMESPACE), self.name)
        alarm = await self._build(server, machine_model)
        if self._closing:  # closed (Ctrl-C) while asyncua loaded its address space
            return
        await server.start()
        try:
            self.nodes = machine_model.nodes
            self._ready.set()
            log.info("OPC UA server for %s at %s: %d nodes", self.name, self.endpoint, self.nodes)
            await self._refresh_loop(machine_model, alarm)
        finally:
            await server.stop()

    async def _configured_server(self) -> Server:
        server = Server(user_manager=Users(self.security))
        await server.init()
        server.set_endpoint(self.endpoint)
        server.set_server_name(f"kvo_fa {self.name}")
        uri = certificate_uri(self.security.certificate) if self.security.certificate else None
        await server.set_application_uri(uri or f"urn:kvo-fa:{self.name}")
        if self.security.certificate is not None:
            await server.load_certificate(self.security.certificate)
            await server.load_private_key(self.security.private_key)
        server.set_security_policy(self.security.policies(), permission_ruleset=ReadOnlyForAnonymous())
        server.set_identity_tokens(self.security.tokens())
        if self.security.trusted_clients:
            server.set_certificate_validator(TrustedClients(self.security.trusted_clients))
        return server

    async def _build(self, server: Server, m: model.Model) -> Any:
        root = await m.build_root()
        await m.add(model.identification_values(self.identification), properties=True)
        await m.add(self._state_values())
        await m.add(model.oee_values({}, {}))
        for key in self.commands:
            await m.add_method(f"PackML.{key}", self._method(key), f"PackML command {key}")
        await m.add(model.fault_values(False, None, None))
        inputs, outputs = model.image_bits(self.machine, self.iomap)
        xs, ys = image_words(self.machine)
        self._image = model.ImageChanges(inputs, outputs, xs, ys)
        await m.add(model.io_values(xs, ys, inputs, outputs),
                    descriptions={b.key: b.comment for b in inputs + outputs if b.comment})
        await m.add(model.link_values(link_health(self._link)))
        alarm = await server.get_event_generator(ua.ObjectIds.AlarmConditionType, root)
        event = alarm.event
        event.ConditionName = "Fault"
        event.Severity = ALARM_SEVERITY
        event.NodeId = m.node_id("Fault")
        event.SourceName = self.name
        return alarm

    def _state_values(self) -> model.Values:
        self.packml.update()
        tags = self.packml.tags()
        values = model.state_values(tags.get("StateCurrentName"), tags.get("UnitModeName"))
        values.update(model.packml_values(tags))
        return values

    def _method(self, command: str) -> Any:
        async def call(parent: ua.NodeId) -> Any:
            assert self._loop is not None
            try:
                # On a thread of its own: the loop goes on serving while the machine carries it out.
                await self._loop.run_in_executor(self._commands_pool, self._carry_out, command)
            except ValueError as refused:  # CommandRefused: unknown here, or not possible now
                log.warning("OPC UA command %s for %s refused: %s", command, self.name, refused)
                return ua.StatusCode(ua.StatusCodes.BadInvalidState)
            except Exception:
                log.exception("OPC UA command %s for %s failed", command, self.name)
                return ua.StatusCode(ua.StatusCodes.BadInternalError)
            log.warning("OPC UA command %s for %s carried out", command, self.name)
            if self._wake is not None:
                self._wake.set()
            return []
        return call

    def _carry_out(self, command: str) -> None:
        """The application's action for `command`, or PackML's; Reset on a faulted machine clears it first."""
        action = self._actions.get(command)
        if action is not None:
            action()
            return
        from kvo_kit.packml import State

        if command == "Reset" and self.packml.state in (State.Aborting, State.Aborted):
            if self.packml.state == State.Aborting:
                raise ValueError("the machine is still aborting: reset it once it is Aborted")
            self.packml.command("Clear")
            for _ in range(len(State)):  # the state model's steps Clearing -> Stopped, one per update
                if self.packml.state == State.Stopped:
                    break
                self.packml.update()
        self.packml.command(command)

    async def _refresh_loop(self, m: model.Model, alarm: Any) -> None:
        assert self._wake is not None
        wake, loop = self._wake, asyncio.get_running_loop()
        now = time.monotonic()
        due_state, due_counters = now, now
        while not self._closing:
            # A timer that sets the wake rather than wait_for: no task and no cancellation at each tick.
            timer = loop.call_later(max(0.0, min(due_state, due_counters) - time.monotonic()), wake.set)
            try:
                await wake.wait()
            finally:
                timer.cancel()
            wake.clear()
            self._wake_sent = False  # before the image is read: a change from now on sends a wake of its own
            if self._closing:
                break
            try:
                await m.update(self._image.since_last(*image_words(self.machine)))
                # What falls due within half a poll is done now, while the loop is awake for an input change
                # or for the other tick: a wake of its own costs more than the sampling it does.
                now, early = time.monotonic(), self.poll_interval / 2
                if now + early >= due_state:
                    due_state = now + self.poll_interval
                    await m.update(self._state_values())
                    await self._show_fault(m, alarm)
                if now + early >= due_counters:
                    due_counters = now + self.counters_interval
                    await m.update(model.oee_values(self.packml.oee(), self.packml.oee(3600)))
                    await m.update(model.link_values(link_health(self._link)))
            except Exception:  # the server must outlive a bad sample; say what happened and go on
                log.exception("OPC UA server %s", self.name)

    async def _show_fault(self, m: model.Model, alarm: Any) -> None:
        """The machine's current fault as variables, and an alarm when it comes and when it is cleared."""
        active = bool(getattr(self.machine, "_exception_flag", False))
        exception = getattr(self.machine, "_MachineBase__exception", None) if active else None
        if active and exception is not self._fault_shown:
            with self._notes:
                at = next((at for noted, at in self._fault_notes if noted is exception), time.time())
            self._fault_shown, self._fault_active = exception, True
            await m.update(model.fault_values(True, exception, at))
            await self._alarm(alarm, True, f"{type(exception).__name__}: {exception}", at)
        elif not active and self._fault_active:
            message = f"cleared: {type(self._fault_shown).__name__}: {self._fault_shown}"
            self._fault_shown, self._fault_active = None, False
            await m.update(model.fault_values(False, None, None))
            await self._alarm(alarm, False, message, time.time())

    async def _alarm(self, alarm: Any, active: bool, message: str, at: float) -> None:
        event = alarm.event
        event.Retain = active
        event.ActiveState = ua.LocalizedText("Active" if active else "Inactive", "en")
        setattr(event, "ActiveState/Id", active)
        await alarm.trigger(time_attr=model.wall_time(at), message=message)


async def _wind_up() -> None:
    """End what the server left running on its loop, and the loop's own executor threads."""
    pending = [task for task in asyncio.all_tasks() if task is not asyncio.current_task()]
    for task in pending:
        task.cancel()
    await asyncio.gather(*pending, return_exceptions=True)
    await asyncio.get_running_loop().shutdown_asyncgens()
    await asyncio.get_running_loop().shutdown_default_executor()


def serve(machine: Any, group: Any = None, endpoint: str = "opc.tcp://127.0.0.1:4840",
          **options: Any) -> OpcUaServer:
    """A started OPC UA server for `machine` and its worker `group` (see OpcUaServer)."""
    server = OpcUaServer(machine, group, endpoint, **options)
    server.start()
    return server
