"""Device models of the simulated PLC: cylinders, vacuum cups, part sources, the clock."""
import time

import pytest

import kvo_mew


@pytest.fixture
def plc(plc):
    plc.clock = "manual"
    return plc


def sensors(plc, *names):
    return tuple(plc.get(n) for n in names)


@pytest.mark.parametrize("double", [False, True])
def test_cylinder_stroke_timing(plc, double):
    back = "Y1" if double else None
    plc.add_cylinder(valve="Y0", retracted="X0", extended="X1", stroke=0.3, valve_back=back, leave=0.05)
    assert sensors(plc, "X0", "X1") == (True, False)
    plc.set("Y0", True)
    plc.advance(0.04)
    assert sensors(plc, "X0", "X1") == (True, False)   # still at its end
    plc.advance(0.02)
    assert sensors(plc, "X0", "X1") == (False, False)  # left it
    plc.advance(0.23)
    assert sensors(plc, "X0", "X1") == (False, False)
    plc.advance(0.02)
    assert sensors(plc, "X0", "X1") == (False, True)   # arrived after the stroke
    plc.set("Y0", False)
    if double:
        plc.advance(1.0)  # both coils off: a double-solenoid valve keeps its position
        assert sensors(plc, "X0", "X1") == (False, True)
        plc.set("Y1", True)
    plc.advance(0.31)
    assert sensors(plc, "X0", "X1") == (True, False)


def test_cylinder_reversed_midway_goes_back_from_where_it_is(plc):
    plc.add_cylinder(valve="Y0", retracted="X0", extended="X1", stroke=1.0, leave=0.05, name="lift")
    plc.set("Y0", True)
    plc.advance(0.4)
    assert plc.devices["lift"]["position"] == pytest.approx(0.4)
    plc.set("Y0", False)
    plc.advance(0.39)
    assert sensors(plc, "X0", "X1") == (False, False)
    plc.advance(0.02)
    assert sensors(plc, "X0", "X1") == (True, False)


@pytest.mark.parametrize("mode, expected", [("leave", (True, False)), ("arrive", (False, False))])
def test_jammed_cylinder_and_its_release(plc, mode, expected):
    plc.add_cylinder(valve="Y0", retracted="X0", extended="X1", stroke=0.2, name="slide")
    plc.jam("slide", mode)
    plc.set("Y0", True)
    plc.advance(5.0)
    assert sensors(plc, "X0", "X1") == expected
    assert plc.devices["slide"]["jam"] == mode
    plc.jam("slide", None)
    plc.advance(0.21)
    assert sensors(plc, "X0", "X1") == (False, True)


def test_vacuum_builds_only_with_a_part_under_the_cup(plc):
    plc.add_source(sensor="X2", name="feeder")
    plc.add_source(sensor="X3", name="nest")
    plc.add_vacuum(valve="Y4", sensor="X7", source="feeder", pick_at="R0", drop_to="nest", drop_at=["R1"],
                   build=0.1, release=0.2, name="cup")
    plc.set("Y4", True)
    plc.advance(5.0)
    assert plc.get("X7") is False                     # no part: no vacuum
    assert plc.feed("feeder") is True and plc.feed("feeder") is False
    plc.advance(1.0)
    assert plc.get("X7") is False                     # a part, but the cup is not there
    plc.set("R0", True)
    plc.advance(0.09)
    assert sensors(plc, "X7", "X2") == (False, True)
    plc.advance(0.02)
    assert sensors(plc, "X7", "X2") == (True, False)  # holds the part, taken from the feeder
    plc.set("R0", False)
    plc.set("R1", True)
    plc.set("Y4", False)
    plc.advance(0.19)
    assert sensors(plc, "X7", "X3") == (True, False)
    plc.advance(0.02)
    assert sensors(plc, "X7", "X3") == (False, True)  # released into the nest
    cup = plc.devices["cup"]
    assert (cup["picked"], cup["placed"], cup["lost"], cup["holding"]) == (1, 1, 0, False)


def test_a_part_released_elsewhere_is_lost(plc):
    plc.add_source(sensor="X2", interval=0.0, name="feeder")
    plc.add_vacuum(valve="Y4", sensor="X7", source="feeder", build=0.0, release=0.0, name="cup")
    plc.set("Y4", True)
    assert plc.get("X7") is True
    plc.set("Y4", False)
    assert plc.get("X7") is False
    assert plc.devices["cup"]["lost"] == 1


def test_source_with_interval_demand_and_take_relay(plc):
    plc.add_source(sensor="X2", interval=0.5, demand="Y0", take="X5", name="belt")
    plc.advance(2.0)
    assert plc.get("X2") is False                     # no demand, no part
    plc.set("Y0", True)
    plc.advance(0.49)
    assert plc.get("X2") is False
    plc.advance(0.02)
    assert plc.get("X2") is True
    plc.set("X5", True)                               # an ejector's end sensor takes it
    assert plc.get("X2") is False
    plc.set("X5", False)
    plc.advance(0.51)
    assert plc.get("X2") is True
    assert plc.take("belt") is True and plc.take("belt") is False
    assert (plc.devices["belt"]["arrived"], plc.devices["belt"]["taken"]) == (2, 2)


def test_devices_run_on_the_steady_clock_through_link_transactions(plc):
    plc.clock = "steady"
    plc.map_io(x_words=1, y_words=1, y_shift=100)
    plc.add_cylinder(valve="Y0", retracted="X0", extended="X1", stroke=0.2)
    link = kvo_mew.VedUzavur("sim://" + plc.name)
    try:
        link.set_multi_uint16(1, "D100", [1])         # the valve through the PLC program
        begin = time.monotonic()
        while link.get_multi_uint16(1, "D0", 1)[0] != 0b10 and time.monotonic() - begin < 5:
            time.sleep(0.005)
        assert 0.2 <= time.monotonic() - begin < 1.5  # the input copy sees the arrived rod
    finally:
        link.close()


def test_clock_modes(plc):
    now = plc.now
    plc.advance(1.5)
    assert plc.now == pytest.approx(now + 1.5)
    plc.clock = "steady"
    assert plc.clock == "steady" and plc.now >= now + 1.5
    with pytest.raises(ValueError):
        plc.advance(1)
    with pytest.raises(ValueError):
        plc.clock = "fast"


@pytest.mark.parametrize("call, error", [
    (lambda p: p.add_cylinder(valve="D0"), kvo_mew.AddressError),
    (lambda p: p.add_cylinder(valve=0), TypeError),
    (lambda p: p.add_cylinder(valve="Y0", stroke=0), ValueError),
    (lambda p: p.add_cylinder(valve="Y0", stroke="1"), TypeError),
    (lambda p: p.add_cylinder(valve="Y0", leave=float("inf")), ValueError),
    (lambda p: p.add_source(sensor="X0", name=""), ValueError),
    (lambda p: p.add_vacuum(valve="Y0", sensor="X0", source="nothing"), KeyError),
    (lambda p: p.add_vacuum(valve="Y0", sensor="X0", source="c"), ValueError),
    (lambda p: p.add_vacuum(valve="Y0", sensor="X0", source="s", pick_at=3), TypeError),
    (lambda p: p.add_cylinder(valve="Y9", name="c"), ValueError),
    (lambda p: p.jam("s"), ValueError),
    (lambda p: p.jam("c", "stuck"), ValueError),
    (lambda p: p.jam("nothing"), KeyError),
    (lambda p: p.take("c"), ValueError),
    (lambda p: p.advance(-1), ValueError),
    (lambda p: p.trace_start(-1), ValueError),
])
def test_refused_arguments_change_nothing(plc, call, error):
    plc.add_cylinder(valve="Y1", name="c")
    plc.add_source(sensor="X9", name="s")
    before = plc.devices
    with pytest.raises(error):
        call(plc)
    assert plc.devices == before
