"""Commands from the plant: reset, pause and resume of one machine, and the PackML
commands (Reset, Start, Stop, Hold, Unhold, Abort, Clear) of kvo_kit.packml; nothing else.

Off unless the reporter is given an allow-list. A command is a JSON object
{"v": 1, "command": "reset", "id": "any text"} published on the machine's
command topic; who may publish there is the broker's decision (its ACL), so
commands need a broker connection that names the reporter (user name or
client certificate). No command moves an output: the strongest one, reset,
runs the application's own recovery when it gives one.

Only a command published after the reporter subscribed, and not retained, is
carried out: the reporter subscribes with retain-as-published (MQTT 5), so a
retained one keeps its flag however it arrives, and its session ends with its
connection, so nothing older reaches it.
"""
import json
import logging
from collections.abc import Mapping
from typing import Any, Callable, Iterable, Optional, Union

from .schema import SCHEMA_VERSION, is_version

log = logging.getLogger("kvo_kit.plant")

KNOWN = ("reset", "pause", "resume")
PACKML = ("Reset", "Start", "Stop", "Hold", "Unhold", "Abort", "Clear")  # kvo_kit.packml.COMMANDS
MAX_PAYLOAD = 1024

Action = Callable[[], object]
AllowList = Union[Iterable[str], Mapping[str, Optional[Action]]]


class CommandRefused(ValueError):
    """A command the reporter will not carry out; its text is the reason."""


def allowed_actions(allow: Optional[AllowList], machine: Any, group: Any, packml: Any = None) -> dict[str, Action]:
    """The allowed commands and what each does: the application's callable, or the built-in one.

    With a PackML state machine (`packml`), the PackML commands are known too; their built-in
    action is `packml.command(name)`, which refuses one the present state does not allow."""
    if allow is None:
        return {}
    given = dict(allow) if isinstance(allow, Mapping) else {name: None for name in allow}
    known = KNOWN + (PACKML if packml is not None else ())
    unknown = [name for name in given if name not in known]
    if unknown:
        raise ValueError(f"unknown plant command(s) {', '.join(map(repr, unknown))}: known are {', '.join(known)}")
    builtin: dict[str, Action] = {"reset": lambda: reset(machine, group), "pause": machine.pause,
                                  "resume": lambda: resume(machine)}
    for name in PACKML if packml is not None else ():
        builtin[name] = (lambda n: lambda: packml.command(n))(name)
    actions = {}
    for name, action in given.items():
        if action is not None and not callable(action):
            raise TypeError(f"plant command {name!r}: {action!r} is not callable")
        actions[name] = action or builtin[name]
    return actions


def parse(raw: bytes) -> tuple[str, Optional[str]]:
    """(command, id) of a command payload; CommandRefused says why it is not one."""
    if len(raw) > MAX_PAYLOAD:
        raise CommandRefused(f"payload of {len(raw)} bytes is over {MAX_PAYLOAD}")
    try:
        message = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise CommandRefused(f"payload is not JSON: {error}") from None
    if not isinstance(message, dict):
        raise CommandRefused(f"payload is a JSON {type(message).__name__}, not an object")
    if not is_version(message.get("v")):
        raise CommandRefused(f"payload version {message.get('v')!r} is not {SCHEMA_VERSION}")
    command, command_id = message.get("command"), message.get("id")
    if not isinstance(command, str):
        raise CommandRefused("payload names no command (\"command\": \"reset\", \"pause\", \"resume\" or "
                             "a PackML command such as \"Hold\")")
    if command_id is not None and not isinstance(command_id, str):
        raise CommandRefused("\"id\" must be a string")
    return command, command_id


def carry_out(raw: bytes, retained: bool, actions: dict[str, Action], machine_name: str) -> dict[str, Any]:
    """Carry out one command payload if it is well formed and allowed; the content of its ack."""
    command = command_id = None
    try:
        if retained:  # else it would run again at every reconnect
            raise CommandRefused("a retained command is never carried out")
        command, command_id = parse(raw)
        action = actions.get(command)
        if action is None:
            raise CommandRefused(f"{command!r} is not allowed here (allowed: {', '.join(sorted(actions)) or 'none'})")
        log.warning("plant command %r (id %r) for %s", command, command_id, machine_name)
        action()
    except CommandRefused as refused:
        log.warning("plant command for %s refused: %s", machine_name, refused)
        return {"id": command_id, "command": command, "accepted": False, "reason": str(refused)}
    except Exception as error:
        log.exception("plant command %r for %s failed", command, machine_name)
        return {"id": command_id, "command": command, "accepted": False,
                "reason": f"failed: {type(error).__name__}: {error}"}
    return {"id": command_id, "command": command, "accepted": True}


def reset(machine: Any, group: Any) -> None:
    """The recovery order without homing: stop the stations, reset the machine, reset and restart the stations."""
    if group is not None:
        group.stop_all()
    machine.reset()
    if group is not None:
        group.reset_all()
        group.start_all()


def resume(machine: Any) -> None:
    if getattr(machine, "_exception_flag", False):
        raise CommandRefused("the machine is faulted: reset it first")
    machine.start()
