import threading

import pytest

import kvo_fa
from actions_support import ModelMachine, Recorder, clock, machine  # noqa: F401

CI = 0.125


def test_signal_already_there_returns_without_sleeping(clock, machine):
    machine.set_x(3, True)
    assert machine.wait_for_signal(3, True, timeout=1, check_interval=CI) is None
    assert machine.wait_for_signal("19", 0) is None
    assert clock.sleeps == [] and machine.flag_checks == 0


def test_stopped_machine_raises_stop_even_on_target(clock):
    m = ModelMachine(started=False)
    m.set_x(3, True)
    with pytest.raises(kvo_fa.StopException):
        m.wait_for_signal(3, True)
    assert clock.sleeps == []


def test_time_out_reports_the_input_and_sets_the_flag(clock, machine):
    with pytest.raises(kvo_fa.XException) as info:
        machine.wait_for_signal(3, True, timeout=0.3, check_interval=CI)
    assert str(info.value) == "等待输入信号 3 超时！目标状态：1，超时时间：0.3秒。"
    assert clock.elapsed == 3 * CI
    assert machine._exception_flag is True and machine.fault is info.value


@pytest.mark.parametrize("timeout", [None, 0, -1])
def test_no_limit_without_positive_time_out(clock, machine, timeout):
    clock.at(50, lambda: machine.set_x(3, True))
    machine.wait_for_signal(3, True, timeout, CI)
    assert clock.elapsed == 50 and machine._exception_flag is False


def test_claimed_time_outs_repeat_until_the_input_arrives(clock, machine):
    subscriber = Recorder()
    machine.subscribers.append(subscriber)
    clock.at(1.0, lambda: machine.set_x(3, True))
    assert machine.wait_for_signal(3, True, 0.3, CI) is None
    # one report per pass from 0.375 s to 1.0 s
    assert len(subscriber.faults) == 6
    assert all(isinstance(f, kvo_fa.XException) for f in subscriber.faults)
    assert machine._exception_flag is False


def test_pause_holds_a_satisfied_wait_until_start(clock, machine):
    machine.set_x(3, True)
    machine.pause()
    clock.at(0.5, machine.start)
    machine.wait_for_signal(3, True, check_interval=CI)
    assert clock.elapsed == 0.5


@pytest.mark.parametrize("request_, error", [("stop", kvo_fa.StopException),
                                             ("fault", kvo_fa.AbortByOtherException)])
def test_stop_or_fault_ends_a_waiting_signal(clock, machine, request_, error):
    def act():
        if request_ == "stop":
            machine.stop()
        else:
            machine._exception_flag = True

    clock.at(0.25, act)
    with pytest.raises(error):
        machine.wait_for_signal(3, True, None, CI)
    assert clock.elapsed == 0.25


def test_other_threads_wait_aborts_once_machine_is_faulted(machine):
    outcome = []

    def station():
        try:
            machine.wait_for_signal(7, True, check_interval=0.01)
        except Exception as e:  # noqa: BLE001 - the outcome is the test
            outcome.append(e)

    worker = threading.Thread(target=station)
    worker.start()
    try:
        with pytest.raises(kvo_fa.XException):
            machine.raise_x_exception(1, True, 1)
    finally:
        worker.join(5)
    assert len(outcome) == 1 and isinstance(outcome[0], kvo_fa.AbortByOtherException)


def test_real_pause_holds_until_start(machine):
    machine.pause()
    done = threading.Event()

    def station():
        machine.wait_for_signal(2, False, check_interval=0.01)
        done.set()

    worker = threading.Thread(target=station)
    worker.start()
    try:
        assert not done.wait(0.2)
    finally:
        machine.start()
        worker.join(5)
    assert done.is_set()


# wait_for_multi_signals

def test_multi_tests_after_one_interval(clock, machine):
    machine.wait_for_multi_signals([], [], check_interval=CI)
    assert clock.sleeps == [CI]


@pytest.mark.parametrize("values, on, off, done_at", [
    (True, {1: 0.25, 2: 0.5}, {}, 0.5),
    ([True, False], {1: 0.25, 2: 0.0}, {2: 0.75}, 0.75),
    ([True], {1: 0.25}, {}, 0.25),          # shorter value_list: input 2 unchecked
    ((v for v in [True, True]), {1: 0.25, 2: 0.375}, {}, 0.375),
])
def test_multi_waits_for_every_target(clock, machine, values, on, off, done_at):
    for x, t in on.items():
        clock.at(t, lambda x=x: machine.set_x(x, True))
    for x, t in off.items():
        clock.at(t, lambda x=x: machine.set_x(x, False))
    machine.wait_for_multi_signals([1, 2], values, check_interval=CI)
    assert clock.elapsed == done_at


@pytest.mark.parametrize("inputs_on, named", [((1,), "2"), ((), "1")])
def test_multi_time_out_names_first_input_off_target(clock, machine, inputs_on, named):
    for x in inputs_on:
        machine.set_x(x, True)
    with pytest.raises(kvo_fa.XException) as info:
        machine.wait_for_multi_signals([1, 2], [True, True], 5, CI)
    assert str(info.value) == "等待输入信号 %s 超时！目标状态：1，超时时间：5.0秒。" % named
    assert clock.elapsed == 5 + CI
    assert machine.named == [("X", int(named))]


def test_multi_catches_an_input_that_falls_back(clock, machine):
    machine.set_x(1, True)
    clock.at(0.25, lambda: machine.set_x(1, False))  # before input 2 arrives
    clock.at(0.5, lambda: machine.set_x(2, True))
    clock.at(1.0, lambda: machine.set_x(1, True))
    machine.wait_for_multi_signals([1, 2], True, check_interval=CI)
    assert clock.elapsed == 1.0


def test_multi_claimed_time_outs_go_on(clock, machine):
    subscriber = Recorder()
    machine.subscribers.append(subscriber)
    clock.at(1.0, lambda: machine.set_x(2, True))
    machine.wait_for_multi_signals([2], [True], 0.5, CI)
    assert len(subscriber.faults) == 3  # passes at 0.625, 0.75, 0.875; the 1.0 pass sees it


def test_multi_pause_keeps_limit_running_then_holds(clock, machine):
    clock.at(0.25, machine.pause)
    clock.at(0.5, lambda: machine.set_x(1, True))
    clock.at(2.0, machine.start)
    machine.wait_for_multi_signals([1], True, 10, CI)
    assert clock.elapsed == 2.0 and machine._exception_flag is False


def test_multi_stop_and_fault_end_the_wait(clock, machine):
    clock.at(0.25, machine.stop)
    with pytest.raises(kvo_fa.StopException):
        machine.wait_for_multi_signals([1], True, check_interval=CI)
    machine.start()
    machine.set_x(1, True)
    machine._exception_flag = True
    with pytest.raises(kvo_fa.AbortByOtherException):  # all on target: the final wait raises
        machine.wait_for_multi_signals([1], True, check_interval=CI)


@pytest.mark.parametrize("x_list, values, kwargs", [
    ((x for x in [1]), True, {}),      # a bool needs the length of x_list
    ([1], 5, {}),                      # neither a bool nor iterable
    ([1], None, {}),
    ([1], [True], {"timeout": "1"}),
    ([1], [True], {"check_interval": None}),
])
def test_multi_argument_errors(clock, machine, x_list, values, kwargs):
    with pytest.raises(TypeError):
        machine.wait_for_multi_signals(x_list, values, **kwargs)


def test_multi_time_out_converted_to_float(clock, machine):
    with pytest.raises(kvo_fa.XException, match="超时时间：1.0秒"):
        machine.wait_for_multi_signals([1], [True], 1, 0.5)
