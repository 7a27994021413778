"""Machine record, run flags and the fault path of MachineBase."""
import abc
import threading
import time

import pytest

import kvo_fa
from kvo_fa import AbortByOtherException, MachineBase, StopException
from machine_fakes import FakeMachine, make_machine, wait_until  # noqa: F401

RECORD_FIELDS = [
    "x_manager", "_y_lock", "_y_words", "_y_words_old", "y_manager",
    "_exit_flag", "_stop_flag", "_pause_flag", "_exception_flag",
    "_MachineBase__exception", "_MachineBase__exception_event",
    "_edge_event_handler", "_eeh_type", "_eeh_lock", "_ee_queue",
    "_MachineBase__eeh_thread", "_MachineBase__updater",
    "_MachineBase__xy_refresh_counter", "_MachineBase__xy_refresh_counter_lock",
]

CLASS_MEMBERS = [
    "EEH_Type_Normal", "EEH_Type_WX", "__init__", "exception_event", "can_not_go_on", "reset", "close",
    "start", "stop", "is_stopped", "pause", "is_paused", "name_to_index", "index_to_name", "x", "wx",
    "rising", "falling", "y", "wy", "set_y", "_handle_exception", "_check_stop_and_exception_flags",
    "check_stop_and_exception_flags", "wait_if_paused", "raise_cylinder_exception",
    "raise_dy_cylinder_exception", "raise_vacuum_exception", "raise_motor_exception", "raise_x_exception",
    "raise_tco_exception", "raise_exception", "wait_for_signal", "wait_for_multi_signals",
    "trigger_cylinder", "trigger_dy_cylinder", "trigger_vacuum", "trigger_multi_vacuums",
    "_eeh_thread_func", "register_edge_event_handler", "unregister_edge_event_handler",
    "do_get_x_uint16", "do_get_y_uint16", "do_set_y_uint16", "_refresh_x", "_refresh_y", "_update",
    "sync_xy_refresher", "x_word_count", "y_word_count",
]


class TestClass:
    def test_abstract_base(self):
        assert type(MachineBase) is abc.ABCMeta
        with pytest.raises(TypeError):
            MachineBase(1, 1)

        class Incomplete(MachineBase):
            def do_get_x_uint16(self):
                return [0]

            def do_get_y_uint16(self):
                return [0]

        with pytest.raises(TypeError):
            Incomplete(1, 1)

    def test_members_in_class_order(self):
        members = [k for k in vars(MachineBase) if k not in ("__module__", "__qualname__", "__doc__")]
        members = [k for k in members if not k.startswith("_abc") and k not in ("__abstractmethods__", "__dict__", "__weakref__")]
        assert members == CLASS_MEMBERS

    def test_class_attributes(self, make_machine):
        machine = make_machine()
        assert (MachineBase.EEH_Type_Normal, MachineBase.EEH_Type_WX) == (0, 1)
        assert (machine.EEH_Type_Normal, machine.EEH_Type_WX) == (0, 1)
        assert MachineBase.check_stop_and_exception_flags is MachineBase._check_stop_and_exception_flags
        assert MachineBase.start.__doc__ == "如果发生了异常，必须要先执行一下reset，把异常标志清除，才能再次启动。"

    def test_alias_keeps_base_check(self, make_machine):
        class Overriding(FakeMachine):
            def _check_stop_and_exception_flags(self):
                return "overridden"

        machine = make_machine(cls=Overriding)
        assert machine._check_stop_and_exception_flags() == "overridden"
        with pytest.raises(StopException):
            machine.check_stop_and_exception_flags()


class TestRecord:
    def test_fields_in_order(self, make_machine):
        machine = make_machine(3, 2, 4)
        assert list(vars(machine))[: len(RECORD_FIELDS)] == RECORD_FIELDS

    def test_initial_values(self, make_machine):
        machine = make_machine(3, 2)
        assert machine.x_manager.copy_old() == [0, 0, 0]
        assert [machine.wx(i) for i in range(3)] == [0, 0, 0]
        assert machine._y_words == [0, 0] and machine._y_words_old == [0, 0]
        assert machine._y_words is not machine._y_words_old
        flags = (machine._exit_flag, machine._stop_flag, machine._pause_flag, machine._exception_flag)
        assert flags == (False, True, False, False)
        assert machine._MachineBase__exception is None
        assert isinstance(machine.exception_event, kvo_fa._MachineExceptionHandler)
        assert machine.exception_event is machine._MachineBase__exception_event
        assert machine._edge_event_handler == [] and machine._eeh_type == {}
        assert machine._ee_queue.empty()
        assert thread_fields(machine) == (None, None)
        assert machine._MachineBase__xy_refresh_counter == 0
        lock_type = type(kvo_fa._Lock())
        for lock in (machine._y_lock, machine._eeh_lock, machine._MachineBase__xy_refresh_counter_lock):
            assert type(lock) is lock_type and not lock.locked()
        assert (machine.x_word_count, machine.y_word_count) == (3, 2)

    def test_y_manager_shares_the_output_lists(self, make_machine):
        machine = make_machine()
        assert type(machine.y_manager) is kvo_fa.YManager
        assert machine.y_manager._XManager__x_words is machine._y_words
        assert machine.y_manager._XManager__x_words_old is machine._y_words_old
        machine.set_y(18, True)
        assert machine.y_manager.wx(1) == 4

    def test_axis_count_has_no_effect(self, make_machine):
        assert list(vars(make_machine(2, 2, 0))) == list(vars(make_machine(2, 2, 7)))


def thread_fields(machine):
    return (machine._MachineBase__eeh_thread, machine._MachineBase__updater)


class TestFlags:
    def test_new_machine_is_stopped(self, make_machine):
        machine = make_machine()
        assert machine.is_stopped() is True
        with pytest.raises(StopException):
            machine._check_stop_and_exception_flags()

    def test_stop_and_pause(self, make_machine):
        machine = make_machine()
        machine._stop_flag = False
        assert machine.is_stopped() is False and machine.is_paused() is False
        assert machine._check_stop_and_exception_flags() is None
        assert machine.pause() is None and machine.is_paused() is True
        assert machine.stop() is None and machine.is_stopped() is True

    def test_exception_flag_wins_over_stop(self, make_machine):
        machine = make_machine()
        machine._exception_flag = True
        with pytest.raises(AbortByOtherException):
            machine._check_stop_and_exception_flags()

    @pytest.mark.parametrize(
        "stop, pause, fault, expected",
        [
            (False, False, False, False),
            (False, False, 0, 0),
            (True, 5, 6, True),
            (0, "paused", 6, "paused"),
            (None, [], 7, 7),
        ],
    )
    def test_can_not_go_on(self, make_machine, stop, pause, fault, expected):
        machine = make_machine()
        machine._stop_flag, machine._pause_flag, machine._exception_flag = stop, pause, fault
        result = machine.can_not_go_on()
        assert result == expected and type(result) is type(expected)


class TestWaitIfPaused:
    @pytest.mark.parametrize("stop, fault", [(True, False), (False, True), (True, True)])
    def test_not_paused_returns_at_once(self, make_machine, stop, fault):
        machine = make_machine()
        machine._stop_flag, machine._exception_flag = stop, fault
        assert machine.wait_if_paused() is None

    @pytest.mark.parametrize("fault, error", [(False, StopException), (True, AbortByOtherException)])
    def test_paused_and_stopped_or_faulted_raises(self, make_machine, fault, error):
        machine = make_machine()
        machine.pause()
        machine._exception_flag = fault
        with pytest.raises(error):
            machine.wait_if_paused(0.01)

    def test_waits_until_resumed(self, make_machine):
        checks = []

        class Counting(FakeMachine):
            def check_stop_and_exception_flags(self):
                checks.append(time.monotonic())

        machine = make_machine(cls=Counting)
        machine.pause()
        waiter = threading.Thread(target=machine.wait_if_paused, args=(0.01,))
        waiter.start()
        try:
            wait_until(lambda: len(checks) >= 3)
            assert waiter.is_alive()
        finally:
            machine._pause_flag = False
            waiter.join(5)
        assert not waiter.is_alive()

    def test_check_interval_must_be_a_number(self, make_machine):
        machine = make_machine()
        machine.pause()
        with pytest.raises(TypeError):
            machine.wait_if_paused("0.1")
        with pytest.raises(StopException):
            machine.wait_if_paused(check_interval=1)


class TestFaultPath:
    def test_taken_fault_changes_nothing(self, make_machine):
        machine = make_machine()
        calls = []
        machine.exception_event.subscribe(lambda e: calls.append(("refuse", e)) or 0)
        machine.exception_event.subscribe(lambda e: calls.append(("take", e)) or "yes")
        machine.exception_event.subscribe(lambda e: calls.append(("late", e)))
        fault = IOError("cylinder stuck")
        assert machine.raise_exception(fault) is None
        assert calls == [("refuse", fault), ("take", fault)]
        assert machine._exception_flag is False and machine._MachineBase__exception is None

    @pytest.mark.parametrize("subscribers", [[], [lambda e: None, lambda e: 0, lambda e: False]])
    def test_untaken_fault_is_recorded_and_raised(self, make_machine, subscribers):
        machine = make_machine()
        for subscriber in subscribers:
            machine.exception_event.subscribe(subscriber)
        fault = kvo_fa.XException("X1", 1, 3)
        with pytest.raises(kvo_fa.XException) as raised:
            machine.raise_exception(fault)
        assert raised.value is fault
        assert machine._exception_flag is True and machine._MachineBase__exception is fault
        with pytest.raises(AbortByOtherException):
            machine.check_stop_and_exception_flags()

    def test_failing_subscriber_propagates_and_flags_stay(self, make_machine):
        machine = make_machine()

        def broken(exception):
            raise KeyError("subscriber bug")

        machine.exception_event.subscribe(broken)
        with pytest.raises(KeyError, match="subscriber bug"):
            machine.raise_exception(IOError("x"))
        assert machine._exception_flag is False and machine._MachineBase__exception is None
        # The guard was released on the way out.
        assert not machine.exception_event._handler_list_guard.locked()
        machine.exception_event.unsubscribe(broken)
        assert machine._handle_exception(IOError("y")) is False

    def test_exception_argument_is_checked(self, make_machine):
        machine = make_machine()
        with pytest.raises(TypeError, match=r"Argument 'exception' has incorrect type \(expected Exception, got int\)"):
            machine.raise_exception(5)
        with pytest.raises(TypeError):
            machine._handle_exception("fault")
        assert machine._exception_flag is False


class TestExceptionHandler:
    def test_subscription_rules(self):
        handler = kvo_fa._MachineExceptionHandler()
        assert handler._handler_list == [] and not handler._handler_list_guard.locked()
        calls = []

        def subscriber(*args, **kwargs):
            calls.append((args, kwargs))

        handler.subscribe(subscriber)
        handler.subscribe(subscriber)
        handler.unsubscribe(print)
        assert handler(1, 2, key=3) is False
        assert calls == [((1, 2), {"key": 3})]
        handler.unsubscribe(subscriber)
        assert handler._handler_list == []
        handler.subscribe(subscriber)
        handler.subscribe(print)
        handler.unsubscribe_all()
        assert handler._handler_list == [] and handler("x") is False

    def test_dispatches_one_after_the_other(self):
        handler = kvo_fa._MachineExceptionHandler()
        entered, release, order = threading.Event(), threading.Event(), []

        def slow(tag):
            order.append(("in", tag))
            if tag == "first":
                entered.set()
                release.wait(5)
            order.append(("out", tag))
            return True

        handler.subscribe(slow)
        first = threading.Thread(target=handler, args=("first",))
        first.start()
        assert entered.wait(5)
        second = threading.Thread(target=handler, args=("second",))
        second.start()
        time.sleep(0.1)  # the second dispatch must be waiting for the guard
        release.set()
        first.join(5)
        second.join(5)
        assert order == [("in", "first"), ("out", "first"), ("in", "second"), ("out", "second")]
