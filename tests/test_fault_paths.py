"""The way out of the blocking actions and the fault raisers: the exact
exception, its message and no stray context, and every hook on the way
(the exception classes as module names, their constructors, their bases)
still honoured."""
import pytest

import kvo_fa
from machine_fakes import FakeMachine, make_machine  # noqa: F401

CI = 0.001
STOP = "因为接收到停止命令而终止操作"
ABORT = "因为其他地方出现异常而造成的动作中止"

ACTIONS = {
    "wait_for_signal": lambda m: m.wait_for_signal(3, True, None, CI),
    "wait_for_multi_signals": lambda m: m.wait_for_multi_signals([3, 4], True, 5, CI),
    "trigger_cylinder": lambda m: m.trigger_cylinder(1, True, 3, 4, 5, 0, CI),
    "trigger_cylinder unlimited": lambda m: m.trigger_cylinder(1, True, None, 4, None, 0, CI),
    "trigger_dy_cylinder": lambda m: m.trigger_dy_cylinder(1, True, 2, None, 3, 4, 5, 0, CI),
    "trigger_vacuum": lambda m: m.trigger_vacuum(1, True, 3, True, 5, 0, CI),
    "trigger_vacuum fixed wait": lambda m: m.trigger_vacuum(1, True, None, None, 5, 5, CI),
    "trigger_multi_vacuums": lambda m: m.trigger_multi_vacuums([1, 2], [True, True], [3], [True], 5, 0, CI),
}


@pytest.mark.parametrize("faulted, error, message", [(False, kvo_fa.StopException, STOP),
                                                     (True, kvo_fa.AbortByOtherException, ABORT)])
@pytest.mark.parametrize("action", sorted(ACTIONS))
def test_actions_end_with_the_abort_signal_itself(make_machine, action, faulted, error, message):
    machine = make_machine()  # never started: stopped
    machine._exception_flag = faulted
    with pytest.raises(error) as info:
        ACTIONS[action](machine)
    assert type(info.value) is error
    assert info.value.args == (message,)
    assert info.value.__context__ is None and info.value.__cause__ is None
    assert machine._MachineBase__exception is None


def test_a_timed_out_wait_raises_the_fault_it_recorded(make_machine):
    machine = make_machine()
    machine.start()
    with pytest.raises(kvo_fa.XException) as info:
        machine.wait_for_signal(3, True, 0.01, CI)
    assert str(info.value) == "等待输入信号 3 超时！目标状态：1，超时时间：0.0秒。"
    assert machine._MachineBase__exception is info.value and machine._exception_flag is True
    assert info.value.__context__ is None


def test_an_overridden_flag_check_is_what_ends_the_wait(make_machine):
    class Halting(FakeMachine):
        def _check_stop_and_exception_flags(self):
            raise KeyError("halt")

    machine = make_machine(cls=Halting)
    machine.start()
    with pytest.raises(KeyError, match="halt"):
        machine.wait_for_signal(3, True, None, CI)


RAISERS = [
    ("XException", lambda m: m.raise_x_exception(5, True, 3), ("X5", True, 3)),
    ("CylinderException", lambda m: m.raise_cylinder_exception(1, True, 3, 4, 7, 0), ("Y1", True, "X3", "X4", 7, 0)),
    ("DYCylinderException", lambda m: m.raise_dy_cylinder_exception(1, True, 2, False, 3, 4, 7.0, 0.0),
     ("Y1", True, "Y2", False, "X3", "X4", 7.0, 0.0)),
    ("VacuumException", lambda m: m.raise_vacuum_exception(1, True, 3, True, 1), ("Y1", True, "X3", True, 1)),
    ("MotorException", lambda m: m.raise_motor_exception(2), (2,)),
]


class Named(FakeMachine):
    def index_to_name(self, prefix, index):
        return "%s%d" % (prefix, index)


@pytest.mark.parametrize("cls_name, raise_, args", RAISERS)
def test_a_patched_constructor_is_the_one_called(make_machine, monkeypatch, cls_name, raise_, args):
    cls = getattr(kvo_fa, cls_name)
    calls = []

    def init(self, *given):
        calls.append(given)
        IOError.__init__(self, "patched")

    monkeypatch.setattr(cls, "__init__", init)
    machine = make_machine(cls=Named)
    with pytest.raises(cls, match="^patched$"):
        raise_(machine)
    assert calls == [args]


@pytest.mark.parametrize("cls_name, raise_, args", RAISERS)
def test_the_class_is_looked_up_as_a_module_name_at_each_raise(make_machine, monkeypatch, cls_name, raise_, args):
    base = getattr(kvo_fa, cls_name)
    made = []

    class Plain(base):
        pass

    class Own(base):
        def __new__(cls, *given):
            made.append(given)
            return super().__new__(cls)

    machine = make_machine(cls=Named)
    monkeypatch.setattr(kvo_fa, cls_name, Plain)
    with pytest.raises(Plain) as info:
        raise_(machine)
    assert str(info.value) == str(base(*args))
    monkeypatch.setattr(kvo_fa, cls_name, Own)
    with pytest.raises(Own):
        raise_(machine)
    assert made == [args]


def test_the_base_constructor_is_looked_up_as_a_module_name(monkeypatch):
    calls = []

    class Recording(OSError):
        def __init__(self, *args):
            calls.append(args)
            OSError.__init__(self, *args)

    monkeypatch.setattr(kvo_fa, "IOError", Recording, raising=False)
    e = kvo_fa.XException("X1", True, 3)
    assert calls == [("等待输入信号 X1 超时！目标状态：1，超时时间：3.0秒。",)]
    assert e.args == calls[0]


@pytest.mark.parametrize("cls, args", [(kvo_fa.XException, ("X1", True, 3)), (kvo_fa.StopException, ())])
def test_a_constructor_run_on_a_foreign_object_fails_as_its_base_does(cls, args):
    base = IOError if issubclass(cls, IOError) else Exception
    with pytest.raises(TypeError) as expected:
        base.__init__(object(), "message")
    with pytest.raises(TypeError) as got:
        cls.__init__(object(), *args)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("value", [-3, 0, 2**70, -2**70, 7.9])
def test_integer_rendering_of_any_size(value):
    message = "等待输入信号 X1 超时！目标状态：%d，超时时间：1.0秒。" % int(value)
    assert str(kvo_fa.XException("X1", value, 1)) == message


@pytest.mark.parametrize("timeout", [-7, -2.0, 2**53, -2**53, 2**53 - 1.0, 4503599627370497.0, 1e15 + 0.5, 0.95,
                                     1e-300])
def test_seconds_of_any_size_render_as_the_host_formats_them(timeout):
    assert str(kvo_fa.XException("X1", 1, timeout)).endswith("超时时间：%s秒。" % format(timeout, ".01f"))
