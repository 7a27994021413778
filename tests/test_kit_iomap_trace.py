"""kvo_kit's I/O map (declared once, checked against a machine) and trace tools
(timing diagram with marks, VCD, CSV)."""
import pytest
from hypothesis import given, settings, strategies as st
from vcd.reader import TokenKind, tokenize

from kvo_kit import trace
from kvo_kit.iomap import IoMap, IoMapError, Signal

GOOD = {
    "belt": ("Y0", "out", "feeder belt"),
    "part_at_pick": ("X0", "in"),
    "lift_down": {"element": "Y1", "direction": "output", "comment": "lift valve"},
    "slide_at_nest": ("X1f", "input"),
}


def test_map_names_relays_and_gives_indexes(fp_machine):
    io = IoMap(GOOD)
    assert io.check(fp_machine(2, 1)) is io
    assert io.element("slide_at_nest") == "X1F" and io.index("slide_at_nest") == 31
    assert io.element("lift_down") == "Y1" and io["lift_down"].comment == "lift valve"
    assert io.labels == {"Y0": "belt", "X0": "part_at_pick", "Y1": "lift_down", "X1F": "slide_at_nest"}
    assert io.signal_at("X0").name == "part_at_pick" and io.signal_at("X5") is None
    with pytest.raises(KeyError, match="no signal 'nope'"):
        io.index("nope")


@pytest.mark.parametrize("signals, words, problem", [
    ({"a": ("Y0", "in")}, (1, 1), "'a' is an input but Y0 is an output relay"),
    ({"a": ("X0", "out")}, (1, 1), "'a' is an output but X0 is an input relay"),
    ({"a": ("X1F", "in")}, (1, 1), "X1F is beyond the machine's 1 input word"),
    ({"a": ("Y20", "out")}, (1, 2), "Y20 is beyond the machine's 2 output word"),
    ({"a": ("X3", "in"), "b": ("X3", "in")}, (1, 1), "signals 'a' and 'b' both use X3"),
])
def test_check_refuses_a_map_that_does_not_fit(fp_machine, signals, words, problem):
    with pytest.raises(IoMapError, match="does not fit the machine: .*" + problem):
        IoMap(signals).check(fp_machine(*words))


def test_check_lists_every_problem_at_once(fp_machine):
    with pytest.raises(IoMapError) as raised:
        IoMap({"a": ("Y0", "in"), "b": ("X30", "in")}).check(fp_machine(1, 1))
    assert str(raised.value).count(";") == 1


@pytest.mark.parametrize("signals, problem", [
    ({"a": ("D0", "in")}, "'D0' is no X or Y relay name"),
    ({"a": ("X0", "sideways")}, "direction must be \"in\" or \"out\""),
    ({"a b": ("X0", "in")}, "is no identifier"),
    ({"a": ("X0",)}, "give \\(element, direction"),
    ({"a": {"element": "X0", "direction": "in", "colour": "red"}}, "unknown key\\(s\\) colour"),
    ({"a": {"element": "X0"}}, "needs an element and a direction"),
    ({"a": {"element": "X0", "direction": ["in"]}}, "direction must be \"in\" or \"out\", not \\['in'\\]"),
    ({"a": {"element": "X0", "direction": None}}, "direction must be"),
    ({"a": {"element": ["X0"], "direction": "in"}}, "element must be a str, not list"),
    ({"a": {"element": "X0", "direction": "in", "comment": 5}}, "comment must be a str, not int"),
    ({"a": {"element": "X0", "direction": "in", "station": True}}, "station must be an int"),
    ({"a": {"element": "X0", "direction": "in", 7: 1}}, "unknown key\\(s\\) 7"),
    ({"a": ("X\u06631", "in")}, "no X or Y relay name"),   # an Arabic-Indic digit three
    ({"a": ("X\uff11", "in")}, "no X or Y relay name"),    # a full-width one
    ({"a": ("X1\n", "in")}, "no X or Y relay name"),
    ({"a\n": ("X1", "in")}, "is no identifier"),
    ({"caf\u00e9": ("X1", "in")}, "is no identifier"),
    ({5: ("X1", "in")}, "signal name 5 is no identifier"),
    ({"a": Signal("a", "X1\n", "in")}, "no X or Y relay name"),
    ({"a": Signal("a", "X1", "sideways")}, "direction must be"),
    ({"a": ["X0", "in"]}, "give \\(element, direction"),
    (["a"], "a table of signals by name, not a list"),
    (None, "a table of signals by name, not a NoneType"),
])
def test_malformed_maps_are_refused(signals, problem):
    with pytest.raises(IoMapError, match=problem):
        IoMap(signals)


JSONISH = st.recursive(st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=5),
                       lambda inner: st.lists(inner, max_size=3) | st.tuples(inner, inner) |
                       st.tuples(inner, inner, inner) | st.dictionaries(st.text(max_size=10), inner, max_size=4),
                       max_leaves=10)
SPEC_KEYS = st.sampled_from(["element", "direction", "comment", "station"]) | st.text(max_size=5)


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(st.text(max_size=4) | st.integers(),
                       JSONISH | st.dictionaries(SPEC_KEYS, JSONISH | st.sampled_from(["X1", "Y2", "in", "out"]),
                                                 max_size=4), max_size=3) | JSONISH)
def test_any_map_is_an_iomap_or_its_own_error(signals):
    try:
        io = IoMap(signals)
    except IoMapError:
        return
    for s in io:  # what is accepted is a relay of the image
        assert s.element.isascii() and s.direction in ("in", "out") and 0 <= s.index < 16 * 4096


@pytest.mark.parametrize("text, problem", [
    ('[signals.a]\nelement = "X0"\ndirection = ["in"]\n', "io.toml: signal 'a': direction must be"),
    ('[signals.a]\nelement = "X0"\ndirection = "in"\ncomment = 3\n', "io.toml: signal 'a': comment must be a str"),
    ('[signals.a\nelement = "X0"\n', "io.toml: not a TOML file"),
    ('signals = 3\n', "no \\[signals\\] table"),
    ('[signals]\na = "X0"\n', "give \\(element, direction"),
])
def test_a_malformed_toml_map_is_refused_naming_the_file(tmp_path, text, problem):
    path = tmp_path / "io.toml"
    path.write_text(text)
    with pytest.raises(IoMapError, match=problem):
        IoMap.from_toml(str(path))
    path.write_bytes(b'[signals.a]\nelement = "X0\xff"\n')
    with pytest.raises(IoMapError, match="not a TOML file"):
        IoMap.from_toml(str(path))


def test_toml_map(tmp_path):
    path = tmp_path / "io.toml"
    path.write_text('[signals.press_down]\nelement = "Y0"\ndirection = "out"\ncomment = "valve"\n'
                    '[signals.force_ok]\nelement = "X3"\ndirection = "in"\n')
    io = IoMap.from_toml(str(path))
    assert [s.name for s in io] == ["press_down", "force_ok"] and io["press_down"].comment == "valve"
    (tmp_path / "bad.toml").write_text('[press_down]\nelement = "Y0"\n')
    with pytest.raises(IoMapError, match="no \\[signals\\] table"):
        IoMap.from_toml(str(tmp_path / "bad.toml"))


def traced(plc):
    plc.clock = "manual"
    plc.set("X5", True)
    plc.add_cylinder(valve="Y0", retracted="X0", extended="X1", stroke=0.3)
    plc.trace_start()
    for _ in range(3):
        plc.set("Y0", not plc.get("Y0"))
        plc.advance(0.5)
    plc.set("X2", True, station=2)
    return plc.trace


def vcd_contents(path):
    """({id code: scope.name}, {scope.name: [(time, value), ...]}) of a VCD file, read with pyvcd's reader."""
    names, changes, scope, now = {}, {}, [], 0
    with open(path, "rb") as f:
        for token in tokenize(f):
            if token.kind is TokenKind.SCOPE:
                scope.append(token.data.ident)
            elif token.kind is TokenKind.UPSCOPE:
                scope.pop()
            elif token.kind is TokenKind.VAR:
                names[token.data.id_code] = ".".join(scope + [token.data.reference])
            elif token.kind is TokenKind.CHANGE_TIME:
                now = token.data
            elif token.kind in (TokenKind.CHANGE_SCALAR, TokenKind.CHANGE_STRING):
                changes.setdefault(names[token.data.id_code], []).append((now, token.data.value))
    return names, changes


def test_vcd_holds_every_traced_relay_with_its_changes(plc, tmp_path):
    events = traced(plc)
    path = tmp_path / "io.vcd"
    marks = [trace.Mark(0.75, "jam here", "fault")]
    trace.write_vcd(events, str(path), labels={"Y0": "valve"}, marks=marks)
    names, changes = vcd_contents(str(path))
    assert sorted(names.values()) == sorted(["station1.Y0_valve", "station1.X0", "station1.X1", "station1.X5",
                                             "station2.X2", "kvo.events"])
    assert [value for _, value in changes["station1.Y0_valve"]][-3:] == ["1", "0", "1"]
    assert changes["station1.X5"][0] == (0, "1")
    assert changes["station2.X2"][-1] == (1_500_000, "1")
    assert changes["kvo.events"][-1] == (750_000, "fault_jam_here")


def test_csv_keeps_a_trace_with_its_names(plc, tmp_path):
    events = traced(plc)
    path = tmp_path / "io.csv"
    trace.save_csv(events, str(path), labels={"Y0": "valve"})
    assert trace.load_csv(str(path)) == events
    assert "valve" in path.read_text()


def test_diagram_with_marks_and_a_window(plc, tmp_path):
    events = traced(plc)
    path = tmp_path / "d.png"
    trace.render(events, str(path), marks=[trace.Mark(0.6, "fault text", "fault"), trace.Mark(1.2, "reset")],
                 since=0.4, until=1.4, title="window")
    assert path.read_bytes()[:4] == b"\x89PNG" and path.stat().st_size > 5000


def test_outputs_off_reaches_the_plc_of_a_stopped_machine_with_a_slow_link(fp_machine, sim_plc):
    # Each cycle takes longer than sync_xy_refresher's first check: on the stopped
    # machine a plain sync raises StopException before the outputs are written.
    machine = fp_machine(1, 1, 100)
    io = IoMap({"belt": ("Y0", "out"), "lift": ("Y3", "out"), "part": ("X0", "in")}).check(machine)
    machine.start()
    machine.set_y("Y0", True)
    machine.set_y("Y3", True)
    machine.sync_xy_refresher()
    assert sim_plc.get("Y0") and sim_plc.get("Y3")
    sim_plc.latency = 0.02
    machine.stop()
    assert io.outputs_off(machine, timeout=5.0)
    assert not sim_plc.get("Y0") and not sim_plc.get("Y3")
