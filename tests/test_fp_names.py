"""FP element names <-> numbers, tested on the class (self is unused)."""
import pytest

import kvo_fa

FP = kvo_fa.FPMachine
RELAY_MAX = 999 * 16 + 15


def to_index(name):
    return FP.name_to_index(None, name)


def to_name(prefix, index):
    return FP.index_to_name(None, prefix, index)


@pytest.mark.parametrize("name, number", [
    ("X0", 0), ("X00", 0), ("X000", 0), ("XF", 15), ("X0F", 15), ("X10", 16), ("X1F", 31),
    ("Y10", 16), ("R10", 16), ("R9F", 159), ("R100", 160), ("X12F", 207), ("R999F", RELAY_MAX),
    ("X1f", 31), ("X05", 5), ("D100", 100), ("DT100", 100), ("WX3", 3), ("WY0", 0), ("WX0", 0),
    (b"X1F", 31), (b"D7", 7),
])
def test_name_to_index(name, number):
    assert to_index(name) == number


@pytest.mark.parametrize("prefix, index, name", [
    ("X", 0, "X00"), ("X", 5, "X05"), ("X", 31, "X1F"), ("Y", 16, "Y10"), ("Y", 255, "Y15F"),
    ("R", 160, "R100"), ("R", RELAY_MAX, "R999F"), ("D", 100, "D100"), ("DT", 100, "DT100"),
    ("WX", 3, "WX3"), ("W", 3, "W3"), ("Q", "X5", "X5"), (None, "Y7", "Y7"),
])
def test_index_to_name(prefix, index, name):
    assert to_name(prefix, index) == name


@pytest.mark.parametrize("name, error, message", [
    ("", IndexError, "string index out of range"),
    ("X", IndexError, "string index out of range"),
    ("D", IndexError, "string index out of range"),
    ("XA0", ValueError, "invalid literal"),
    ("X1G", ValueError, "invalid literal"),
    ("DT", ValueError, "invalid literal"),
    ("W", ValueError, "invalid literal"),
    ("WX", ValueError, "invalid literal"),
    ("W3", ValueError, "invalid literal"),
    ("DX5", ValueError, "invalid literal"),
    ("T5", ValueError, "^Invalid FP element name: T5$"),
    ("x10", ValueError, "^Invalid FP element name: x10$"),
])
def test_name_to_index_failures(name, error, message):
    with pytest.raises(error, match=message):
        to_index(name)


def test_relay_name_too_long_is_bare_assertion():
    with pytest.raises(AssertionError) as info:
        to_index("R1000F")
    assert info.value.args == ()


@pytest.mark.parametrize("prefix, error, message", [
    ("", IndexError, "string index out of range"),
    ("Q", ValueError, "^Invalid FP element prefix: Q$"),
    ("x", ValueError, "^Invalid FP element prefix: x$"),
])
def test_index_to_name_failures(prefix, error, message):
    with pytest.raises(error, match=message):
        to_name(prefix, 5)


def test_prefix_must_be_exact_str():
    class Text(str):
        pass

    with pytest.raises(TypeError, match=r"Argument 'prefix' has incorrect type \(expected str, got Text\)"):
        to_name(Text("X"), 5)
    with pytest.raises(TypeError):
        to_name(None, 5)


def test_round_trip_over_all_names():
    relays = range(RELAY_MAX + 1)
    for prefix in ("X", "Y", "R"):
        assert [to_index(to_name(prefix, n)) for n in relays] == list(relays)
    words = range(0, 100000, 7)
    for prefix in ("D", "DT", "WX", "WY"):
        assert [to_index(to_name(prefix, n)) for n in words] == list(words)


def test_signatures():
    assert FP.name_to_index.__annotations__ == {}
    assert FP.index_to_name.__annotations__ == {"prefix": str, "index": int, "return": str}
