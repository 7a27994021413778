"""The argument rules every method of the module enforces before its body runs."""
import inspect

import pytest

import kvo_fa


def message(excinfo):
    return str(excinfo.value)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: kvo_fa.XException(1, 2), "__init__() takes exactly 4 positional arguments (3 given)"),
        (lambda: kvo_fa.XException(1, 2, 3, 4), "__init__() takes exactly 4 positional arguments (5 given)"),
        (lambda: kvo_fa.StopException(1), "__init__() takes exactly 1 positional argument (2 given)"),
        (lambda: kvo_fa.XManager([1]).copy(1), "copy() takes exactly 1 positional argument (2 given)"),
        (lambda: kvo_fa.XManager(1, 2, 3, 4), "__init__() takes at most 4 positional arguments (5 given)"),
        (lambda: kvo_fa.XManager._get([1]), "_get() takes exactly 2 positional arguments (1 given)"),
        # A required parameter missing after keywords: its own position is the count given.
        (lambda: kvo_fa.XException(1, timeout=3), "__init__() takes exactly 4 positional arguments (2 given)"),
        (lambda: kvo_fa.XException(value=1, timeout=3), "__init__() takes exactly 4 positional arguments (1 given)"),
        (lambda: kvo_fa.XManager([1]).x(), "x() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_argument_count_messages(call, text):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert message(excinfo) == text


def test_at_least_for_too_few_with_defaults():
    # YManager has no defaults; use the unbound XManager.__init__ with a default-bearing table.
    with pytest.raises(TypeError) as excinfo:
        kvo_fa.XManager.__init__()
    assert message(excinfo) == "__init__() takes at least 1 positional argument (0 given)"


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: kvo_fa.XException(1, 2, 3, bogus=4), "__init__() got an unexpected keyword argument 'bogus'"),
        (lambda: kvo_fa.XException(1, 2, 3, x=4), "__init__() got multiple values for keyword argument 'x'"),
    ],
)
def test_keyword_messages(call, text):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert message(excinfo) == text


def test_binding_by_keyword_in_any_order():
    e = kvo_fa.XException(timeout=3, value=True, x="X1")
    assert str(e) == "等待输入信号 X1 超时！目标状态：1，超时时间：3.0秒。"


class StrSub(str):
    pass


class ListSub(list):
    pass


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: kvo_fa.FAException(5), "Argument 'desc' has incorrect type (expected str, got int)"),
        (lambda: kvo_fa.FAException(StrSub("x")), "Argument 'desc' has incorrect type (expected str, got StrSub)"),
        (lambda: kvo_fa.XManager([0]).update((1,)), "Argument 'x_words' has incorrect type (expected list, got tuple)"),
        (lambda: kvo_fa.XManager([0]).update(ListSub([1])),
         "Argument 'x_words' has incorrect type (expected list, got ListSub)"),
    ],
)
def test_exact_type_rules(call, text):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert message(excinfo) == text


def test_none_passes_the_exact_type_rules():
    assert kvo_fa.FAException(None).args == (None,)
    with pytest.raises(TypeError, match="object of type 'NoneType' has no len()"):
        kvo_fa.XManager([0]).update(None)


def test_type_error_changes_nothing():
    image = kvo_fa.XManager([1, 2])
    with pytest.raises(TypeError):
        image.update((3, 4))
    assert (image.wx(0), image.wx(1), image.copy_old()) == (1, 2, [0, 0])


def test_function_objects_look_like_python_functions():
    f = kvo_fa.XManager.update
    assert f.__name__ == "update"
    assert f.__qualname__ == "XManager.update"
    assert f.__module__ == "kvo_fa"
    assert f.__doc__ is None
    assert f.__annotations__ == {"x_words": list}
    assert str(inspect.signature(f)) == "(self, x_words: list)"
    assert str(inspect.signature(kvo_fa.XManager([1]).update)) == "(x_words: list)"
    f.__dict__["marker"] = 1
    assert f.marker == 1
    init = kvo_fa.XManager.__init__
    assert init.__defaults__ == (None, None, 0)
    assert init.__annotations__["count"] is int
    assert init.__annotations__["x_words"] == kvo_fa._Union[kvo_fa._Sequence, None]
    assert kvo_fa.XManager.copy_old.__annotations__ == {"return": list}
    assert str(inspect.signature(kvo_fa.ThreadCommunicationObject.__init__)) == "(self, *args, **kwargs)"


def test_float_parameters_are_converted_and_float_defaults():
    f = kvo_fa.MachineBase.wait_for_multi_signals
    assert f.__defaults__ == (float("inf"), 0.1)
    assert all(type(d) is float for d in f.__defaults__)
    assert inspect.signature(kvo_fa.MachineBase.trigger_dy_cylinder).parameters["timeout"].default == 7.0


def test_methods_bind_and_subclasses_override():
    class Image(kvo_fa.XManager):
        def __getitem__(self, item):
            return "overridden"

    image = Image([1])
    assert image.x(0) == "overridden"  # x goes through self[index]
    assert image.rising(0) is True  # rising reads bits through XManager itself
    assert kvo_fa.XManager.x.__get__(None, kvo_fa.XManager) is kvo_fa.XManager.x


def test_help_shows_the_signature():
    text = inspect.getdoc(kvo_fa.MachineBase.wait_for_multi_signals)
    assert text.startswith("x_list:")
    import pydoc

    rendered = pydoc.render_doc(kvo_fa.XManager.update, renderer=pydoc.plaintext)
    assert "update(self, x_words: list)" in rendered


class Exploding:
    def __int__(self):
        raise RuntimeError("int")

    def __float__(self):
        raise RuntimeError("float")

    def __eq__(self, other):
        raise RuntimeError("eq")

    def __ne__(self, other):
        raise RuntimeError("ne")

    __hash__ = None


@pytest.mark.parametrize(
    "call",
    [
        lambda: kvo_fa.XException("X1", Exploding(), 1),
        lambda: kvo_fa.XException("X1", 1, Exploding()),
        lambda: kvo_fa.MotorException(Exploding()),
        lambda: kvo_fa.XManager([Exploding()]).event_occured(),
        lambda: kvo_fa.XManager([1]).x(Exploding()),
        lambda: kvo_fa.XManager([1]).x(2 ** 100),
        lambda: kvo_fa.XManager([1]).x(-(2 ** 100)),
        lambda: kvo_fa.XManager([1]).wx(1.5),
        lambda: kvo_fa.XManager(count=Exploding()),
        lambda: kvo_fa.XManager(count=2 ** 70),
    ],
)
def test_bad_input_gives_python_errors(call):
    with pytest.raises(Exception) as excinfo:
        call()
    assert isinstance(excinfo.value, (TypeError, ValueError, IndexError, RuntimeError, OverflowError, MemoryError))
