"""Hostile and odd argument values for the crash fuzzer (hypothesis
strategies) and the soak."""
import math

from hypothesis import strategies as st

import kvo_fa


def _raiser(what):
    def method(self, *args):
        raise RuntimeError("hostile " + what)
    return method


# One class per special method that raises, and one whose every special
# method raises.
HOSTILE_DUNDERS = ("__eq__", "__bool__", "__index__", "__int__", "__float__", "__len__", "__hash__")
HOSTILE_CLASSES = [type("Hostile" + d.strip("_").title(), (), {d: _raiser(d)}) for d in HOSTILE_DUNDERS]
HOSTILE_CLASSES.append(type("HostileAll", (), {d: _raiser(d) for d in HOSTILE_DUNDERS + ("__iter__", "__str__", "__repr__")}))


class IndexLike:
    """Acts as an int through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def hostile_objects():
    return st.sampled_from(HOSTILE_CLASSES).map(lambda cls: cls())


EDGE_INTS = [0, 1, -1, 2, 15, 16, 17, 31, 32, 255, 256, 999, 1000, 2**15 - 1, 2**15, 2**16 - 1, 2**16,
             2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**63 - 1, 2**63, -2**63, -2**63 - 1,
             2**64, 10**30, -10**30]
EDGE_FLOATS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 0.5, 1e-300, 5e-324, 1e308, -1e308, 2.0**63, 1e19]
EDGE_TEXTS = ["", "0", "1", "-1", "15", "16", "X0", "X1F", "X1f", "x1F", "XF", "X999F", "X1000", "Y0", "Y10", "R0",
              "R9999F", "WX0", "WY1", "WR999", "WX1000", "WX", "D", "D0", "D100", "DT5", "D99999", "D100000",
              "D-1", "D+1", "D 1", " X1", "X1 ", "X1G", "X\x00", "\x00", "D1\x00", "中文", "é", "\U0001F600",
              "99999999999999999999999", "X" * 5000, "D" + "9" * 5000, "1" * 5000, "\udcff"]
EDGE_BYTES = [b"", b"\x00", b"X1F", b"D100", b"\xff" * 10, b"x" * 5000]


# Longer than any image or block the fuzzed objects have.
LONG_LISTS = [list(range(70)), [0xFFFF] * 65, [2**40] * 64, tuple(range(33))]


def ints():
    return st.one_of(st.sampled_from(EDGE_INTS), st.integers(-2**70, 2**70), st.integers(-40, 40))


def floats():
    return st.one_of(st.sampled_from(EDGE_FLOATS), st.floats(allow_nan=True, allow_infinity=True))


def texts():
    return st.one_of(st.sampled_from(EDGE_TEXTS), st.text(max_size=12))


def byte_strings():
    return st.one_of(st.sampled_from(EDGE_BYTES), st.binary(max_size=12))


def _callables():
    def raising(*args, **kwargs):
        raise ValueError("callback fault")

    return st.sampled_from([lambda *a, **k: None, lambda *a, **k: True, lambda *a, **k: 0, raising, print, len])


def _framework_objects():
    return st.sampled_from([
        lambda: kvo_fa.ThreadCommunicationObject(),
        lambda: kvo_fa.XManager([1, 2], [0, 0]),
        lambda: kvo_fa.Job("w1", 3),
        lambda: kvo_fa.Job(None, None),
        lambda: kvo_fa.StopException(),
        lambda: kvo_fa.FAException("fault"),
        lambda: kvo_fa.XException("X1", True, 1),
        lambda: ValueError("plain"),
        lambda: kvo_fa.WorkerGroup(),
        lambda: IndexLike(3),
        lambda: IndexLike(2**80),
        lambda: object(),
    ]).map(lambda make: make())


def scalars():
    return st.one_of(ints(), st.booleans(), floats(), st.none(), texts(), byte_strings(), hostile_objects(),
                     _callables(), _framework_objects())


def values():
    """A scalar, or a list or tuple of values (nested a little)."""
    return st.recursive(
        scalars(),
        lambda inner: st.one_of(st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(tuple),
                                st.sampled_from(LONG_LISTS)),
        max_leaves=5)
