import pytest

import kvo_fa
from actions_support import ModelMachine, Recorder, machine  # noqa: F401


def test_unclaimed_fault_is_recorded_and_raised(machine):
    with pytest.raises(kvo_fa.XException) as info:
        machine.raise_x_exception(5, True, 3)
    assert str(info.value) == "等待输入信号 5 超时！目标状态：1，超时时间：3.0秒。"
    assert machine._exception_flag is True
    assert machine.fault is info.value


def test_claimed_fault_leaves_machine_untouched(machine):
    earlier = kvo_fa.StopException()
    machine._MachineBase__exception = earlier
    first, second = Recorder(takes=True), Recorder()
    machine.subscribers += [first, second]
    assert machine.raise_cylinder_exception(10, 1, 3, 4, 7, 0) is None
    assert machine._exception_flag is False
    assert machine.fault is earlier
    assert first.messages == ["气缸 10 动作超时！目标状态：1，原位置：3，目标位置：4，超时时间：7.0秒，等待时间：0.0秒。"]
    assert second.faults == []


def test_later_fault_replaces_the_recorded_one(machine):
    for motor in (1, 2):
        with pytest.raises(kvo_fa.MotorException) as info:
            machine.raise_motor_exception(motor)
    assert str(info.value) == "电机 2 运行出错"
    assert machine.fault is info.value


@pytest.mark.parametrize("call, named, message", [
    (lambda m: m.raise_cylinder_exception(10, True, 3, 4, 7, 0),
     [("Y", 10), ("X", 3), ("X", 4)],
     "气缸 10 动作超时！目标状态：1，原位置：3，目标位置：4，超时时间：7.0秒，等待时间：0.0秒。"),
    (lambda m: m.raise_cylinder_exception("Y10", True, None, "X4", 2.5, 1),
     [],
     "气缸 Y10 动作超时！目标状态：1，原位置：None，目标位置：X4，超时时间：2.5秒，等待时间：1.0秒。"),
    (lambda m: m.raise_dy_cylinder_exception(1, True, 2, False, 8, 9, 7.0, 0.0),
     [("Y", 1), ("Y", 2), ("X", 8), ("X", 9)],
     "双控气缸 1:2 动作超时！目标状态：1:0，原位置：8，目标位置：9，超时时间：7.0秒，等待时间：0.0秒。"),
    (lambda m: m.raise_vacuum_exception(3, True, 5, 1, 1),
     [("Y", 3), ("X", 5)],
     "真空泵 3 动作超时！目标状态：1，传感器：5，传感器目标状态：1，超时时间：1.0秒。"),
    (lambda m: m.raise_x_exception(True, 5, float("inf")),
     [("X", True)],
     "等待输入信号 True 超时！目标状态：5，超时时间：inf秒。"),
    (lambda m: m.raise_x_exception("X1", False, 3),
     [],
     "等待输入信号 X1 超时！目标状态：0，超时时间：3.0秒。"),
])
def test_indexes_are_named_in_parameter_order(machine, call, named, message):
    subscriber = Recorder()
    machine.subscribers.append(subscriber)
    call(machine)
    assert machine.named == named
    assert subscriber.messages == [message]


def test_bool_index_is_named_as_an_index():
    class Named(ModelMachine):
        def index_to_name(self, prefix, index):
            return prefix + str(int(index))

    m = Named()
    m.subscribers.append(Recorder())
    m.raise_vacuum_exception(False, True, True, True, 1)
    assert str(m.subscribers[0].faults[0]).startswith("真空泵 Y0 动作超时！目标状态：1，传感器：X1，")


@pytest.mark.parametrize("call, error", [
    (lambda m: m.raise_x_exception("X1", object(), 3), TypeError),
    (lambda m: m.raise_x_exception("X1", True, None), TypeError),
    (lambda m: m.raise_cylinder_exception(1, True, None, None, "7", 0), ValueError),
    (lambda m: m.raise_motor_exception("one"), TypeError),
    (lambda m: m.raise_x_exception(-1, True, 3), LookupError),
])
def test_building_errors_propagate_before_subscribers(call, error):
    class Picky(ModelMachine):
        def index_to_name(self, prefix, index):
            if index < 0:
                raise LookupError(index)
            return str(index)

    m = Picky()
    subscriber = Recorder()
    m.subscribers.append(subscriber)
    with pytest.raises(error):
        call(m)
    assert subscriber.faults == []
    assert m._exception_flag is False and m.fault is None


def test_subscriber_error_propagates_with_flags_untouched(machine):
    def failing(exception):
        raise RuntimeError("subscriber broke")

    machine.subscribers.append(failing)
    with pytest.raises(RuntimeError, match="subscriber broke"):
        machine.raise_x_exception(1, True, 1)
    assert machine._exception_flag is False and machine.fault is None


def test_tco_exception_carries_a_fresh_answer_slot(machine):
    with pytest.raises(kvo_fa.TCOException) as info:
        machine.raise_tco_exception("换料")
    assert str(info.value) == "换料"
    tco = info.value.tco
    assert type(tco) is kvo_fa.ThreadCommunicationObject
    assert tco._ThreadCommunicationObject__args == ("换料",)
    tco.result = "ok"
    assert tco.result == "ok"
    assert machine._exception_flag is True


def test_claimed_tco_exception_stays_with_the_subscriber(machine):
    subscriber = Recorder()
    machine.subscribers.append(subscriber)
    assert machine.raise_tco_exception("确认") is None
    (fault,) = subscriber.faults
    assert isinstance(fault, kvo_fa.TCOException)
    assert fault.tco._ThreadCommunicationObject__args == ("确认",)


def test_wrong_argument_count_is_refused(machine):
    with pytest.raises(TypeError):
        machine.raise_x_exception(1, True)
