"""A call that would take a lock its own thread holds, made from inside a
callback, fails with RuntimeError instead of hanging: registering or
unregistering an edge handler from a direct edge handler, raising a machine
fault or subscribing from a fault subscriber. The machine goes on working."""
import threading

import pytest

from machine_fakes import make_machine, wait_until  # noqa: F401


def call_and_catch(call):
    """The exception `call()` raises, or None."""
    try:
        call()
    except Exception as error:  # reported to the test
        return error
    return None


@pytest.mark.parametrize("call, refused", [
    (lambda m, h: m.register_edge_event_handler(print), "register_edge_event_handler"),
    (lambda m, h: m.unregister_edge_event_handler(h), "unregister_edge_event_handler"),
])
def test_edge_handler_may_not_change_the_registry(make_machine, call, refused):
    machine = make_machine(1, 1)
    outcomes, done = [], threading.Event()

    def handler(snapshot):
        outcomes.append(call_and_catch(lambda: call(machine, handler)))
        done.set()

    machine.register_edge_event_handler(handler)
    machine.start()
    machine.plc.x = [1]
    assert done.wait(5), "the handler hung"
    error = outcomes[0]
    assert type(error) is RuntimeError
    assert str(error) == refused + "() is not allowed inside an edge-event handler of the same machine"
    # The registry is unchanged and the machine goes on: the next edge is delivered.
    assert machine._edge_event_handler == [handler]
    done.clear()
    machine.plc.x = [0]
    assert done.wait(5)
    machine.close()
    machine.unregister_edge_event_handler(handler)  # outside a handler: allowed
    assert machine._edge_event_handler == []


def test_a_handler_may_change_another_machines_registry(make_machine):
    machine, other = make_machine(1, 1), make_machine(1, 1)
    done = threading.Event()

    def handler(snapshot):
        other.register_edge_event_handler(print)
        done.set()

    machine.register_edge_event_handler(handler)
    machine.start()
    machine.plc.x = [1]
    assert done.wait(5)
    assert other._edge_event_handler == [print]


FAULT_CALLS = [
    (lambda m: m.raise_exception(ValueError("inner")), "raise_exception"),
    (lambda m: m.raise_x_exception(3, True, 1), "raise_x_exception"),
    (lambda m: m.raise_tco_exception("inner"), "raise_tco_exception"),
]


@pytest.mark.parametrize("call, name", FAULT_CALLS, ids=[name for _, name in FAULT_CALLS])
def test_fault_subscriber_may_not_raise_a_fault_of_the_same_machine(make_machine, call, name):
    machine = make_machine(1, 1)
    inner = []

    def subscriber(fault):
        inner.append(call_and_catch(lambda: call(machine)))
        return True  # takes the outer fault

    machine.exception_event.subscribe(subscriber)
    outcome = []
    station = threading.Thread(target=lambda: outcome.append(call_and_catch(
        lambda: machine.raise_exception(KeyError("outer")))))
    station.start()
    station.join(5)
    assert not station.is_alive(), "the station hung"
    assert outcome == [None] and not machine._exception_flag
    assert type(inner[0]) is RuntimeError
    assert str(inner[0]) == ("raising a machine fault (raise_exception() or a fault raiser) is not allowed inside "
                             "an exception_event subscriber of the same machine")
    # The machine goes on: the next fault is offered and recorded as usual.
    machine.exception_event.unsubscribe(subscriber)
    with pytest.raises(KeyError):
        machine.raise_exception(KeyError("later"))
    assert machine._exception_flag


def test_error_of_a_refused_fault_reaches_the_station_when_the_subscriber_lets_it_pass(make_machine):
    machine = make_machine(1, 1)
    machine.exception_event.subscribe(lambda fault: machine.raise_exception(fault))
    with pytest.raises(RuntimeError, match="not allowed inside an exception_event subscriber"):
        machine.raise_exception(KeyError("outer"))
    assert not machine._exception_flag
    assert not machine.exception_event._handler_list_guard.locked()


@pytest.mark.parametrize("method", ["subscribe", "unsubscribe", "unsubscribe_all"])
def test_fault_subscriber_may_not_change_the_subscribers(make_machine, method):
    machine = make_machine(1, 1)
    event = machine.exception_event
    inner = []

    def subscriber(fault):
        args = () if method == "unsubscribe_all" else (print,)
        inner.append(call_and_catch(lambda: getattr(event, method)(*args)))
        return True

    event.subscribe(subscriber)
    machine.raise_exception(KeyError("outer"))
    assert type(inner[0]) is RuntimeError
    assert str(inner[0]) == method + "() is not allowed inside a subscriber of the same exception_event"
    assert event._handler_list == [subscriber]
