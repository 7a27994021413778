"""kvo_handy.Callback: subscribers called in order with the same arguments,
each once; their exceptions reach the caller unchanged."""
import gc
import weakref

import pytest

import kvo_handy


def test_calls_every_subscriber_once_in_order_with_the_same_arguments():
    calls = []
    first = lambda *a, **k: calls.append(("first", a, k))  # noqa: E731
    second = lambda *a, **k: calls.append(("second", a, k))  # noqa: E731
    callback = kvo_handy.Callback()
    for fn in (first, second, first):
        callback.subscribe(fn)
    assert len(callback) == 2 and callback.handlers == [first, second]
    assert callback(1, x=2) is None
    assert calls == [("first", (1,), {"x": 2}), ("second", (1,), {"x": 2})]


def test_a_subscriber_may_unsubscribe_while_called_and_handlers_is_a_copy():
    callback = kvo_handy.Callback()
    calls = []

    def once():
        calls.append("once")
        callback.unsubscribe(once)

    callback.subscribe(once)
    callback.subscribe(lambda: calls.append("always"))
    callback()
    callback()
    assert calls == ["once", "always", "always"]
    callback.handlers.clear()
    assert len(callback) == 1
    callback.unsubscribe(once)  # not subscribed: nothing happens
    callback.unsubscribe_all()
    assert len(callback) == 0


def test_a_subscriber_exception_reaches_the_caller_and_stops_the_round():
    callback = kvo_handy.Callback()
    error = KeyError("boom")
    later = []

    def failing(*args):
        raise error

    callback.subscribe(failing)
    callback.subscribe(later.append)
    with pytest.raises(KeyError) as raised:
        callback("x")
    assert raised.value is error and later == []


class Touchy:
    """Compares by raising, as a broken __eq__ would."""

    def __eq__(self, other):
        raise ArithmeticError("no comparing")

    __hash__ = object.__hash__

    def __call__(self):
        pass


@pytest.mark.parametrize("method", ["subscribe", "unsubscribe"])
def test_a_failing_comparison_while_looking_for_a_subscriber_is_raised(method):
    callback = kvo_handy.Callback()
    callback.subscribe(Touchy())
    with pytest.raises(ArithmeticError, match="no comparing"):
        getattr(callback, method)(Touchy())
    assert len(callback) == 1



class _Holder:
    def __init__(self, callback_type):
        self.callback = callback_type()
        self.callback.subscribe(self.on_event)

    def on_event(self):
        pass


class _CallableHolder(_Holder):
    def __init__(self, callback_type):
        self.callback = callback_type()
        self.callback.subscribe(self)

    def __call__(self):
        pass


class _OwnCallback(kvo_handy.Callback):
    pass


def _closure_cycle(callback_type):
    callback = callback_type()
    callback.subscribe(lambda: callback)
    return callback


@pytest.mark.parametrize("callback_type", [kvo_handy.Callback, _OwnCallback])
@pytest.mark.parametrize(
    "make_cycle",
    [_closure_cycle, lambda t: _Holder(t).callback, lambda t: _CallableHolder(t).callback],
    ids=["closure", "bound method", "callable object"],
)
def test_a_handler_referring_back_to_its_callback_is_collected(make_cycle, callback_type):
    callback = make_cycle(callback_type)
    handler_gone = weakref.ref(callback.handlers[0])
    gone = weakref.ref(callback)
    del callback
    gc.collect()
    assert gone() is None and handler_gone() is None
