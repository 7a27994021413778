import pytest

import kvo_fa
from actions_support import Recorder, clock, machine  # noqa: F401

CI = 0.125
Y, SRC, DST = 10, 3, 4


@pytest.fixture
def at_start(machine):
    machine.set_x(SRC, True)
    return machine


def test_single_cylinder_moves_within_its_limit(clock, at_start):
    clock.at(0.25, lambda: at_start.set_x(SRC, False))
    clock.at(0.5, lambda: at_start.set_x(DST, True))
    assert at_start.trigger_cylinder(Y, True, SRC, DST, check_interval=CI) is None
    assert clock.elapsed == 0.5
    assert at_start.set_y_log == [(Y, True)]


@pytest.mark.parametrize("leaves_start", [False, True])
def test_single_cylinder_time_out_in_either_phase(clock, at_start, leaves_start):
    if leaves_start:
        clock.at(0.25, lambda: at_start.set_x(SRC, False))
    with pytest.raises(kvo_fa.CylinderException) as info:
        at_start.trigger_cylinder(Y, True, SRC, DST, 1, 0, CI)
    assert str(info.value) == "气缸 10 动作超时！目标状态：1，原位置：3，目标位置：4，超时时间：1.0秒，等待时间：0.0秒。"
    assert clock.elapsed == 1 + CI
    assert at_start._exception_flag is True and at_start.fault is info.value


def test_claimed_phase_one_fault_is_followed_by_a_second_for_phase_two(clock, at_start):
    subscriber = Recorder()
    at_start.subscribers.append(subscriber)
    # phase 2 finds its limit spent and reads the target sensor once
    assert at_start.trigger_cylinder(Y, True, SRC, DST, 1, 0, CI) is None
    assert len(subscriber.faults) == 2
    assert all(isinstance(f, kvo_fa.CylinderException) for f in subscriber.faults)
    assert clock.elapsed == 1 + CI


@pytest.mark.parametrize("src, dst, events, done_at", [
    (None, None, {}, 0.625),                       # half of wait_time
    (None, DST, {DST: (0.25, True)}, 0.625),       # blind half, then the sensor
    (SRC, None, {SRC: (0.25, False)}, 1.125),      # the sensor, then the whole wait_time
])
def test_blind_waits_stand_in_for_missing_sensors(clock, at_start, src, dst, events, done_at):
    for x, (t, v) in events.items():
        clock.at(t, lambda x=x, v=v: at_start.set_x(x, v))
    at_start.trigger_cylinder(Y, True, src, dst, wait_time=1, check_interval=CI)
    assert clock.elapsed == done_at


def test_limit_counts_from_the_call_across_the_blind_wait(clock, machine):
    with pytest.raises(kvo_fa.CylinderException) as info:
        machine.trigger_cylinder(Y, True, None, DST, wait_time=1, check_interval=CI)
    assert clock.elapsed == 7 + CI
    assert "原位置：None，目标位置：4，超时时间：7.0秒，等待时间：1.0秒。" in str(info.value)


def test_zero_wait_time_still_makes_one_pass(clock, machine):
    machine.trigger_cylinder(Y, False, check_interval=CI)
    assert clock.sleeps == [CI] and machine.flag_checks == 1


@pytest.mark.parametrize("request_, error", [("stop", kvo_fa.StopException),
                                             ("fault", kvo_fa.AbortByOtherException)])
def test_unlimited_waits_end_on_stop_or_fault(clock, at_start, request_, error):
    def act():
        if request_ == "stop":
            at_start.stop()
        else:
            at_start._exception_flag = True

    clock.at(20, act)
    with pytest.raises(error):
        at_start.trigger_cylinder(Y, True, SRC, DST, None, check_interval=CI)
    assert clock.elapsed == 20


def test_pause_holds_the_single_cylinder_at_the_end(clock, at_start):
    clock.at(0.25, lambda: at_start.set_x(SRC, False))
    clock.at(0.25, at_start.pause)
    clock.at(0.5, lambda: at_start.set_x(DST, True))
    clock.at(3.0, at_start.start)
    at_start.trigger_cylinder(Y, True, SRC, DST, 1, check_interval=CI)
    assert clock.elapsed == 3.0 and at_start.set_y_log == [(Y, True)]


def test_unhalvable_wait_time_is_a_type_error(clock, machine):
    with pytest.raises(TypeError):
        machine.trigger_cylinder(Y, True, wait_time="1")


# double-solenoid cylinder

Y0, Y1 = 1, 2


@pytest.mark.parametrize("value0, value1", [(True, False), (0, True), ("", True)])
def test_dy_value1_none_is_the_complement(clock, machine, value0, value1):
    machine.trigger_dy_cylinder(Y0, value0, Y1, check_interval=CI)
    assert machine.set_y_log == [(Y0, value0), (Y1, value1)]
    assert type(machine.set_y_log[1][1]) is bool


def test_dy_pause_sets_stop_values_and_restarts_the_limit(clock, at_start):
    m = at_start
    seen = {}
    clock.at(0.25, m.pause)
    clock.at(1.0, lambda: seen.update(paused=(m.y(Y0), m.y(Y1))))
    clock.at(2.0, m.start)   # later than the limit counted from the call
    clock.at(2.5, lambda: m.set_x(SRC, False))
    clock.at(2.75, lambda: m.set_x(DST, True))
    m.trigger_dy_cylinder(Y0, True, Y1, False, SRC, DST, 1.0, check_interval=CI,
                          y0_stop_value=False, y1_stop_value=True)
    assert seen["paused"] == (False, True)
    assert (m.y(Y0), m.y(Y1)) == (True, False)
    assert m.set_y_log == [(Y0, True), (Y1, False), (Y0, False), (Y1, True), (Y0, True), (Y1, False)]
    assert clock.elapsed == 2.75 and m._exception_flag is False


@pytest.mark.parametrize("phase", [1, 2])
def test_dy_stop_leaves_coils_at_stop_values(clock, at_start, phase):
    m = at_start
    if phase == 2:
        clock.at(0.125, lambda: m.set_x(SRC, False))
    clock.at(0.5, m.stop)
    with pytest.raises(kvo_fa.StopException):
        m.trigger_dy_cylinder(Y0, True, Y1, True, SRC, DST, check_interval=CI)
    assert (m.y(Y0), m.y(Y1)) == (False, False)
    assert m.set_y_log[2:] == [(Y0, False), (Y1, False)]


def test_dy_time_out_reports_both_coils(clock, at_start):
    with pytest.raises(kvo_fa.DYCylinderException) as info:
        at_start.trigger_dy_cylinder(Y0, True, Y1, None, SRC, DST, 1, check_interval=CI)
    assert str(info.value) == ("双控气缸 1:2 动作超时！目标状态：1:0，原位置：3，目标位置：4，"
                               "超时时间：1.0秒，等待时间：0.0秒。")
    assert clock.elapsed == 1 + CI and at_start._exception_flag is True


def test_dy_claimed_faults_go_on_to_the_end(clock, at_start):
    subscriber = Recorder()
    at_start.subscribers.append(subscriber)
    at_start.trigger_dy_cylinder(Y0, True, Y1, None, SRC, DST, 1, check_interval=CI)
    assert [type(f) for f in subscriber.faults] == [kvo_fa.DYCylinderException] * 2


def test_dy_without_limit_has_no_hold_step(clock, at_start):
    m = at_start
    clock.at(0.25, m.pause)
    clock.at(0.5, lambda: m.set_x(SRC, False))
    clock.at(0.75, lambda: m.set_x(DST, True))
    clock.at(1.5, m.start)
    m.trigger_dy_cylinder(Y0, True, Y1, x_src=SRC, x_dst=DST, timeout=0, check_interval=CI)
    assert m.set_y_log == [(Y0, True), (Y1, False)]
    assert clock.elapsed == 1.5


@pytest.mark.parametrize("src, dst, events, done_at", [
    (None, None, {}, 0.625),
    (SRC, None, {SRC: (0.25, False)}, 1.125),
    (None, DST, {DST: (0.0, True)}, 0.625),
])
def test_dy_blind_waits(clock, at_start, src, dst, events, done_at):
    for x, (t, v) in events.items():
        clock.at(t, lambda x=x, v=v: at_start.set_x(x, v))
    at_start.trigger_dy_cylinder(Y0, True, Y1, x_src=src, x_dst=dst, wait_time=1, check_interval=CI)
    assert clock.elapsed == done_at


def test_dy_argument_errors_come_before_any_output(clock, machine):
    with pytest.raises(TypeError):
        machine.trigger_dy_cylinder(Y0, True, Y1, timeout="7")
    assert machine.set_y_log == []
