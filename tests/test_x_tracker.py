import pytest

import kvo_fa


class Recorder:
    def __init__(self, tracker):
        self.calls = []
        for kind in ("rising", "falling", "toggle"):
            setattr(tracker, f"_X__{kind}_event", self.handler(kind))

    def handler(self, kind):
        def record(x):
            self.calls.append((kind, bool(x), x.rising(), x.falling()))
        return record


@pytest.fixture
def tracked():
    x = kvo_fa.X(object(), 3)
    return x, Recorder(x)


def test_new_tracker_is_low_without_edges():
    manager = object()
    x = kvo_fa.X(manager, 7)
    assert (bool(x), x.rising(), x.falling()) == (False, False, False)
    assert x._X__manager is manager and x._X__index == 7
    assert x._X__prev_value is False and x._X__curr_value is False
    assert x._X__rising_event is None and x._X__falling_event is None and x._X__toggle_event is None


def test_set_then_rst_fire_edge_then_toggle(tracked):
    x, rec = tracked
    x.set()
    assert bool(x) and x.rising()
    # handlers see the new state; rising comes before toggle
    assert rec.calls == [("rising", True, True, False), ("toggle", True, True, False)]
    rec.calls.clear()
    x.set()
    assert rec.calls == [] and bool(x) and not x.rising()
    x.rst()
    assert x.falling() and not bool(x)
    assert rec.calls == [("falling", False, False, True), ("toggle", False, False, True)]


def test_rst_on_new_tracker_calls_nothing(tracked):
    x, rec = tracked
    x.rst()
    assert rec.calls == [] and not x.falling()


def test_toggle_twice(tracked):
    x, rec = tracked
    x.toggle()
    assert bool(x) and x.rising()
    x.toggle()
    assert not bool(x) and x.falling()
    assert [c[0] for c in rec.calls] == ["rising", "toggle", "falling", "toggle"]


@pytest.mark.parametrize("value, expected", [(5, True), ("on", True), (0, False), (None, False), ("", False)])
def test_update_takes_truth_value(value, expected):
    x = kvo_fa.X(None, 0)
    assert x.update(value) is None
    assert x._X__curr_value is expected


def test_raising_edge_handler_stops_toggle_after_state_change(tracked):
    x, rec = tracked

    def boom(_):
        raise RuntimeError("handler failed")

    x._X__rising_event = boom
    with pytest.raises(RuntimeError, match="handler failed"):
        x.set()
    assert bool(x) and x.rising()
    assert rec.calls == []


def test_failing_truth_test_leaves_tracker_unchanged():
    class Bad:
        def __bool__(self):
            raise ValueError("no truth")

    x = kvo_fa.X(None, 0)
    x.set()
    with pytest.raises(ValueError):
        x.update(Bad())
    assert bool(x) and x.rising()


def test_set_rst_toggle_go_through_overridden_update():
    seen = []

    class Logged(kvo_fa.X):
        def update(self, value):
            seen.append(value)
            super().update(value)

    x = Logged(None, 0)
    x.set(); x.toggle(); x.rst()
    assert seen == [True, False, False]


def test_annotations():
    assert kvo_fa.X.__init__.__annotations__ == {"index": int}
    assert kvo_fa.X.rising.__annotations__ == {"return": bool}
    assert kvo_fa.X.falling.__annotations__ == {"return": bool}
    assert kvo_fa.X.update.__annotations__ == {"value": bool}
    assert [m for m in vars(kvo_fa.X) if not m.startswith("__") or m in ("__init__", "__bool__")] == [
        "__init__", "__bool__", "rising", "falling", "update", "set", "rst", "toggle"]
