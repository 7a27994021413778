"""FP element names <-> numbers, tested on the class (self is unused)."""
import string

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


def reference_name_to_index(name):
    """The naming rules written as plain Python, the host's int() reading the
    numbers: a name is visible ASCII, its numbers plain digits."""
    if isinstance(name, bytes):
        name = name.decode("latin-1")

    def invalid():
        return ValueError("Invalid FP element name: %s" % name)

    def plain(part, base):
        number = int(part, base)  # its own error for a part that is no number
        if not (part.isascii() and (part.isdigit() if base == 10 else len(part) == 1 and part in string.hexdigits)):
            raise invalid()
        return number

    if not all("!" <= c <= "~" for c in name):
        raise invalid()
    if name[0] in ("X", "Y", "R"):
        digits = name[1:]
        if len(digits) > 4:
            raise AssertionError  # the host's bare assertion
        dec_part = digits[:-1] or "0"
        hex_part = digits[-1]
        return plain(dec_part, 10) * 16 + plain(hex_part, 16)
    if name[0] == "D":
        return plain(name[2:], 10) if name[1] == "T" else plain(name[1:], 10)
    if name[0] == "W":
        return plain(name[2:], 10)
    raise invalid()


def reference_index_to_name(prefix, index):
    if isinstance(index, str):
        return index
    if prefix[0] in ("X", "Y", "R"):
        return prefix + "%d%X" % (index // 16, index % 16)
    if prefix[0] in ("D", "W"):
        return prefix + "%d" % index
    raise ValueError("Invalid FP element prefix: %s" % prefix)


def outcome(call, *args):
    try:
        return ("value", call(*args))
    except Exception as e:  # the type and the message must match
        return (type(e), str(e))


NAME_CHARS = "XYRDTWQx0123456789abfABFG -+_.\u0661\u00e9\u20ac\ud800\t"


@pytest.mark.parametrize("name", [
    "X-1F", "X+1F", "X 1F", "X1_0F", "X1 ", "X\u0661F", "X1\u0661", "D\u0661\u0662", "D 5 ", "D-5", "DT+7",
    "W\u20ac5", "WX1_000", "X\ud800F", "D\ud800", "\ud800", "\u00e9", "R1000F", "R99999F", "X1F\u20ac",
    "X-0G", "X+0G", "D" + "9" * 30, "WX" + "1" * 25, "X" + "7" * 3 + "\u0661", b"X\xe91", b"D\xff",
])
def test_unusual_names_fail_or_read_as_the_host_reads_them(name):
    assert outcome(to_index, name) == outcome(reference_name_to_index, name)


# Names the host's int() would read (other scripts' digits, blanks, a
# trailing newline, signs, underscores) or that are not ASCII at all.
HOSTILE_NAMES = [
    "X\u06631", "X1\n", "X1\n1", "D1\n", "DT7\r\n", "WX3 ", " X1", "X 11", "X+11", "X-11", "D+5", "D-5",
    "WX1_0", "W\u20ac5", "WX\u0661", "D\u0661", "X\u00e91", "Y\uff11F", "R\t1F", "X1\x00", "D\x7f1", "D\ud800",
]


@pytest.mark.parametrize("name", HOSTILE_NAMES + [b"X\xe91", b"D1\n"])
def test_hostile_names_are_invalid_names(name):
    shown = name.decode("latin-1") if isinstance(name, bytes) else name
    with pytest.raises(ValueError) as raised:
        to_index(name)
    assert str(raised.value) == "Invalid FP element name: %s" % shown


@pytest.mark.parametrize("name", HOSTILE_NAMES)
def test_hostile_names_are_refused_by_the_link(link, name):
    import kvo_mew

    read = link.get_multi_uint16 if "D" in name or "W" in name else link.get_coil
    args = (1, name, 1) if read == link.get_multi_uint16 else (1, name)
    with pytest.raises(kvo_mew.AddressError) as raised:
        read(*args)
    shown = name.encode("utf-8", "backslashreplace").decode("utf-8")
    assert str(raised.value).startswith("%s() invalid element name '%s'" % (read.__name__, shown))


def test_a_str_subclass_name_follows_the_same_rules():
    class Name(str):
        pass

    assert to_index(Name("X1F")) == 31
    for hostile in ("X\u06631", "D1\n", "X+11"):
        with pytest.raises(ValueError, match="^Invalid FP element name: "):
            to_index(Name(hostile))


def test_generated_names_read_as_the_host_reads_them():
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies

    @hypothesis.settings(max_examples=1500, deadline=None, database=None)
    @hypothesis.given(st.text(alphabet=NAME_CHARS, max_size=8))
    def check(name):
        assert outcome(to_index, name) == outcome(reference_name_to_index, name)

    check()


@pytest.mark.parametrize("prefix", ["X", "Y", "R", "D", "DT", "WX", "W", "X\u20ac", "D\ud800", "Q", "", "x"])
@pytest.mark.parametrize("index", [0, 1, 15, 16, -1, -16, -17, 2**63 - 1, -2**63, 2**63, -2**64 - 5, 10**30,
                                   True, False, 3.0, 31.5, None])
def test_index_to_name_writes_as_the_host_formats(prefix, index):
    assert outcome(to_name, prefix, index) == outcome(reference_index_to_name, prefix, index)
