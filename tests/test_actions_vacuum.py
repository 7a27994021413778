import pytest

import kvo_fa
from actions_support import ModelMachine, Recorder, clock, machine  # noqa: F401

CI = 0.125
Y, X = 3, 5


def test_vacuum_without_sensor_or_wait_returns_at_once_even_stopped(clock):
    m = ModelMachine(started=False)
    assert m.trigger_vacuum(Y, True) is None
    assert m.y(Y) and clock.sleeps == [] and m.flag_checks == 0


def test_fixed_wait_is_strictly_below_wait_time(clock, machine):
    machine.trigger_vacuum(Y, True, wait_time=0.5, check_interval=CI)
    assert clock.elapsed == 0.5 and len(clock.sleeps) == 4


def test_sensor_ends_the_wait_at_the_first_poll_that_sees_it(clock, machine):
    clock.at(0.375, lambda: machine.set_x(X, True))
    machine.trigger_vacuum(Y, True, X, True, check_interval=CI)
    assert clock.elapsed == 0.375


def test_default_limit_never_expires_but_stop_ends_it(clock, machine):
    clock.at(100, machine.stop)
    with pytest.raises(kvo_fa.StopException):
        machine.trigger_vacuum(Y, True, X, True, check_interval=CI)
    assert machine._exception_flag is False


def test_time_out_reports_a_vacuum_fault(clock, machine):
    with pytest.raises(kvo_fa.VacuumException) as info:
        machine.trigger_vacuum(Y, True, X, 1, timeout=1, check_interval=CI)
    assert str(info.value) == "真空泵 3 动作超时！目标状态：1，传感器：5，传感器目标状态：1，超时时间：1.0秒。"
    assert clock.elapsed == 1 + CI and machine._exception_flag is True


def test_claimed_time_out_returns(clock, machine):
    subscriber = Recorder()
    machine.subscribers.append(subscriber)
    assert machine.trigger_vacuum(Y, False, X, True, 1, check_interval=CI) is None
    assert len(subscriber.faults) == 1


@pytest.mark.parametrize("timeout, sensor_on, sleeps, faults", [
    (0, False, 1, 1),     # zero is a limit: one pass, then the report
    (0, True, 0, 0),
    (-1, False, 0, 1),    # no pass at all
])
def test_non_positive_time_out_reads_the_sensor_once(clock, machine, timeout, sensor_on, sleeps, faults):
    subscriber = Recorder()
    machine.subscribers.append(subscriber)
    machine.set_x(X, sensor_on)
    machine.trigger_vacuum(Y, True, X, True, timeout, check_interval=CI)
    assert len(clock.sleeps) == sleeps and len(subscriber.faults) == faults


def test_sensor_without_target_asserts_after_setting_the_output(clock, machine):
    with pytest.raises(AssertionError):
        machine.trigger_vacuum(Y, True, X)
    assert machine.y(Y)


def test_pause_does_not_hold_a_vacuum(clock, machine):
    machine.pause()
    clock.at(0.25, lambda: machine.set_x(X, True))
    machine.trigger_vacuum(Y, True, X, True, check_interval=CI)
    assert clock.elapsed == 0.25


def test_argument_errors_come_before_the_output(clock, machine):
    with pytest.raises(TypeError):
        machine.trigger_vacuum(Y, True, wait_time="0.5")
    assert machine.set_y_log == []


# several vacuums

class Tracing(ModelMachine):
    def __init__(self):
        super().__init__()
        self.triggered = []

    def trigger_vacuum(self, *args, **kwargs):
        self.triggered.append((args, kwargs))
        return super().trigger_vacuum(*args, **kwargs)


@pytest.fixture
def tracing():
    return Tracing()


def test_multi_sets_outputs_through_trigger_vacuum(clock, tracing):
    tracing.set_y(2, True)
    tracing.set_y_log.clear()
    tracing.trigger_multi_vacuums([1, 2, 7], [True, False])
    assert tracing.triggered == [((1, True), {}), ((2, False), {})]
    assert tracing.set_y_log == [(1, True), (2, False)]
    assert clock.sleeps == []


def test_multi_waits_for_every_sensor(clock, tracing):
    clock.at(0.25, lambda: tracing.set_x(5, True))
    clock.at(0.5, lambda: tracing.set_x(6, True))
    tracing.trigger_multi_vacuums([1, 2], [True, True], [5, 6], True, check_interval=CI)
    assert clock.elapsed == 0.5


def test_multi_time_out_is_an_input_fault(clock, tracing):
    tracing.set_x(5, True)
    with pytest.raises(kvo_fa.XException) as info:
        tracing.trigger_multi_vacuums([1, 2], [True, True], [5, 6], [True, True], 1, check_interval=CI)
    assert str(info.value) == "等待输入信号 6 超时！目标状态：1，超时时间：1.0秒。"
    assert tracing._exception_flag is True


def test_multi_fixed_wait(clock, tracing):
    tracing.trigger_multi_vacuums([1], [True], wait_time=0.25, check_interval=CI)
    assert clock.elapsed == 0.25


def test_multi_paused_stays_in_the_final_wait(clock, tracing):
    tracing.set_x(5, True)
    tracing.pause()
    clock.at(1.0, tracing.start)
    tracing.trigger_multi_vacuums([1], [True], [5], [True], check_interval=CI)
    assert clock.elapsed == 1.0


def test_multi_sensors_without_targets_assert(clock, tracing):
    with pytest.raises(AssertionError):
        tracing.trigger_multi_vacuums([1], [True], [5])
    assert tracing.y(1)


@pytest.mark.parametrize("kwargs", [{"value_list": True}, {"value_list": None}, {"timeout": "x"}])
def test_multi_argument_errors_come_before_any_output(clock, tracing, kwargs):
    args = {"y_list": [1], "value_list": [True]}
    args.update(kwargs)
    with pytest.raises(TypeError):
        tracing.trigger_multi_vacuums(**args)
    assert tracing.set_y_log == []
