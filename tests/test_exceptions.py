"""Operator messages of the exception family and their value renderings."""
import math

import pytest

import kvo_fa

INF = math.inf


@pytest.mark.parametrize(
    "cls, args, text",
    [
        (kvo_fa.XException, ("X1", True, 3), "等待输入信号 X1 超时！目标状态：1，超时时间：3.0秒。"),
        (kvo_fa.XException, ("X1", True, 2.5), "等待输入信号 X1 超时！目标状态：1，超时时间：2.5秒。"),
        (kvo_fa.XException, ("X1", False, INF), "等待输入信号 X1 超时！目标状态：0，超时时间：inf秒。"),
        (kvo_fa.XException, (5, 5, 0.04), "等待输入信号 5 超时！目标状态：5，超时时间：0.0秒。"),
        (kvo_fa.CylinderException, ("Y10", True, "X3", "X4", 7, 0),
         "气缸 Y10 动作超时！目标状态：1，原位置：X3，目标位置：X4，超时时间：7.0秒，等待时间：0.0秒。"),
        (kvo_fa.CylinderException, ("Y10", 1.9, None, "X4", 7, 0),
         "气缸 Y10 动作超时！目标状态：1，原位置：None，目标位置：X4，超时时间：7.0秒，等待时间：0.0秒。"),
        (kvo_fa.DYCylinderException, ("Y1", True, "Y2", False, "X1", "X2", 7.0, 0.0),
         "双控气缸 Y1:Y2 动作超时！目标状态：1:0，原位置：X1，目标位置：X2，超时时间：7.0秒，等待时间：0.0秒。"),
        (kvo_fa.VacuumException, ("Y3", True, "X5", True, 1),
         "真空泵 Y3 动作超时！目标状态：1，传感器：X5，传感器目标状态：1，超时时间：1.0秒。"),
        (kvo_fa.MotorException, (2,), "电机 2 运行出错"),
        (kvo_fa.MotorException, (2.9,), "电机 2 运行出错"),
        (kvo_fa.MotorException, (True,), "电机 1 运行出错"),
        (kvo_fa.StopException, (), "因为接收到停止命令而终止操作"),
        (kvo_fa.AbortByOtherException, (), "因为其他地方出现异常而造成的动作中止"),
        (kvo_fa.FAException, ("boom",), "boom"),
        (kvo_fa.DeadWorkerException, ("dead",), "dead"),
        (kvo_fa.FATimeoutException, ("late",), "late"),
    ],
)
def test_messages(cls, args, text):
    e = cls(*args)
    assert str(e) == text
    assert e.args == (text,)


def test_values_are_not_kept():
    e = kvo_fa.XException("X1", True, 3)
    assert not hasattr(e, "x") and not hasattr(e, "timeout")
    assert e.errno is None


@pytest.mark.parametrize(
    "cls, args, error",
    [
        (kvo_fa.XException, ("X1", "on", 3), TypeError),  # no integer conversion
        (kvo_fa.XException, ("X1", True, None), TypeError),  # seconds of None
        (kvo_fa.XException, ("X1", True, "3"), ValueError),  # seconds of a text
        (kvo_fa.CylinderException, ("Y1", True, None, None, 7, None), TypeError),
        (kvo_fa.VacuumException, ("Y3", True, "X5", None, 1), TypeError),
        (kvo_fa.MotorException, ("two",), TypeError),
    ],
)
def test_values_that_cannot_be_rendered(cls, args, error):
    with pytest.raises(error):
        cls(*args)


def test_integer_rendering_message():
    with pytest.raises(TypeError, match="an integer is required"):
        kvo_fa.XException("X1", object(), 3)


def test_tco_exception_carries_its_object():
    tco = kvo_fa.ThreadCommunicationObject("答复？", extra=1)
    e = kvo_fa.TCOException(tco)
    assert str(e) == "答复？"
    assert e.tco is tco
    assert isinstance(e, IOError) and not isinstance(e, kvo_fa.FAException)


def test_fa_exception_docstring():
    assert kvo_fa.FAException.__doc__ == (
        "\n\t在使用 FA 框架时，如果需要抛出异常，而这个异常不能被简单地忽略掉，而是需要 FA 框架做出一些特殊的处理"
        "（例如，调用用户自定义的回调函数），\n\t而那么该异常的类型需要是 FAException 的子类。\n\t"
    )
    assert kvo_fa.XException.__doc__ is None


def test_instances():
    assert isinstance(kvo_fa.DeadWorkerException("d"), kvo_fa.FAException)
    assert isinstance(kvo_fa.DeadWorkerException("d"), Exception)
    with pytest.raises(kvo_fa.XException):
        raise kvo_fa.XException("X1", 1, 1)


@pytest.mark.parametrize("timeout", [7, 0, -3, 0.25, 0.05, 1e300, -0.0, math.nan, math.inf, -math.inf, 10**20,
                                     2**53 + 1, True, 2.5])
def test_seconds_render_as_the_host_formats_them(timeout):
    message = str(kvo_fa.XException("X1", 1, timeout))
    assert message.endswith("超时时间：%s秒。" % format(timeout, ".01f"))
