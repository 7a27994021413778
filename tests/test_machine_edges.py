"""Edge-event registry and the edge-event thread."""
import sys
import threading
import types

import pytest

from machine_fakes import make_machine, wait_until  # noqa: F401


@pytest.fixture
def running(make_machine):
    machine = make_machine(2, 1)
    machine.start()
    return machine


def change_inputs(machine, words):
    machine.plc.x = list(words)
    machine.sync_xy_refresher()


class TestRegistry:
    def test_register_twice_keeps_the_first_type(self, make_machine):
        machine = make_machine()

        def handler(snapshot):
            pass

        machine.register_edge_event_handler(handler, 2)
        machine.register_edge_event_handler(handler, 0)
        assert machine._edge_event_handler == [handler] and machine._eeh_type == {handler: 2}

    def test_unregister(self, make_machine):
        machine = make_machine()
        machine.register_edge_event_handler(print)
        machine.unregister_edge_event_handler(len)  # never registered: nothing happens
        machine._eeh_type.clear()  # a missing type entry is no error either
        machine.unregister_edge_event_handler(print)
        assert machine._edge_event_handler == [] and machine._eeh_type == {}
        assert not machine._eeh_lock.locked()

    def test_unhashable_handler_is_refused_without_a_trace(self, make_machine):
        machine = make_machine()
        with pytest.raises(TypeError):
            machine.register_edge_event_handler([])
        assert machine._edge_event_handler == [] and not machine._eeh_lock.locked()


class TestDispatch:
    def test_snapshots_in_order_each_of_its_own_cycle(self, running):
        gate, seen, also_seen = threading.Event(), [], []

        def slow(snapshot):
            seen.append(snapshot)
            gate.wait(5)

        running.register_edge_event_handler(slow)
        running.register_edge_event_handler(also_seen.append)
        change_inputs(running, [1, 0])
        wait_until(lambda: seen)
        change_inputs(running, [3, 0])  # read while the first dispatch still runs
        gate.set()
        wait_until(lambda: len(also_seen) == 2)
        first, second = seen
        assert first.rising(0) and not first.rising(1) and first.wx(0) == 1
        assert second.rising(1) and not second.rising(0) and second.wx(0) == 3
        assert also_seen == seen and also_seen[0] is first
        assert first is not running.x_manager

    def test_handler_types(self, running, monkeypatch):
        posted, direct = [], []
        monkeypatch.setitem(sys.modules, "wx", types.SimpleNamespace(CallAfter=lambda h, s: posted.append((h, s))))

        def make(tag):
            return lambda snapshot: direct.append((tag, snapshot))

        handlers = {tag: make(tag) for tag in ("default", "normal", "wx", "three", "two", "minus_two")}
        running.register_edge_event_handler(handlers["default"])
        for tag, handler_type in [("normal", 0), ("wx", 1), ("three", 3), ("two", 2), ("minus_two", -2)]:
            running.register_edge_event_handler(handlers[tag], handler_type)
        change_inputs(running, [4, 0])
        wait_until(lambda: len(posted) == 2 and len(direct) == 2)
        snapshot = direct[0][1]
        assert [tag for tag, _ in direct] == ["default", "normal"]
        assert posted == [(handlers["wx"], snapshot), (handlers["three"], snapshot)]

    def test_failing_handler_is_printed_and_the_next_still_runs(self, running, capsys, monkeypatch):
        monkeypatch.setitem(sys.modules, "wx", None)  # import wx fails
        got = []

        def broken(snapshot):
            raise ValueError("handler broke")

        running.register_edge_event_handler(broken)
        running.register_edge_event_handler(lambda snapshot: got.append("gui"), 1)
        running.register_edge_event_handler(got.append)
        change_inputs(running, [1, 0])
        change_inputs(running, [0, 0])
        wait_until(lambda: len(got) == 2)
        out = capsys.readouterr().out
        assert "gui" not in got
        assert out.count("handler broke\n") == 2 and "wx" in out

    @pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
    def test_exit_request_of_a_handler_ends_the_thread(self, running):
        def leave(snapshot):
            raise SystemExit

        running.register_edge_event_handler(leave)
        change_inputs(running, [1, 0])
        wait_until(lambda: not running._MachineBase__eeh_thread.is_alive())
        assert running._MachineBase__updater.is_alive() and not running._eeh_lock.locked()

    def test_closed_machine_never_delivers_an_old_snapshot(self, running):
        gate, seen = threading.Event(), []

        def slow(snapshot):
            seen.append(snapshot.wx(0))
            gate.wait(5)

        running.register_edge_event_handler(slow)
        change_inputs(running, [1, 0])
        wait_until(lambda: seen)
        change_inputs(running, [2, 0])
        change_inputs(running, [3, 0])
        closer = threading.Thread(target=running.close)
        closer.start()
        wait_until(lambda: running._exit_flag)
        gate.set()
        closer.join(5)
        assert running._ee_queue.empty()
        running.start()
        running.sync_xy_refresher()
        running.sync_xy_refresher()
        assert seen == [1]
        change_inputs(running, [4, 0])
        wait_until(lambda: seen == [1, 4])
