"""Callback devices: sensors computed by a Python function of relays, evaluated by
the simulated PLC's device clock on whatever thread updates the devices."""
import sys
import threading
import time

import pytest

import kvo_mew


@pytest.fixture
def manual(plc):
    plc.clock = "manual"
    return plc


def test_sensor_follows_the_function_of_its_relays(manual):
    seen = []

    def force_ok(press_down, part_present):
        seen.append((press_down, part_present))
        return press_down and part_present

    assert manual.add_callback("X3", ["X1", "X2"], force_ok) == "X3"
    assert manual.get("X3") is False
    manual.set("X1", True)
    assert manual.get("X3") is False
    manual.set("X2", True)
    assert manual.get("X3") is True
    assert (True, True) in seen and all(type(a) is bool for pair in seen for a in pair)
    info = manual.devices["X3"]
    assert info["kind"] == "callback" and info["value"] is True and info["relays"] == "X1 X2"
    assert len(seen) - 1 <= info["calls"] <= len(seen)  # reading the state updates the devices once more


def test_delay_holds_each_new_value_until_it_has_lasted(manual):
    manual.add_callback("X3", "Y0", lambda on: on, delay=0.25, name="force")
    manual.set("Y0", True)
    manual.advance(0.125)
    assert manual.get("X3") is False
    manual.advance(0.125)
    assert manual.get("X3") is True
    manual.set("Y0", False)
    manual.advance(0.125)
    manual.set("Y0", True)      # back before the delay ran out: no change shows
    manual.advance(0.25)
    assert manual.get("X3") is True


def test_link_transactions_update_callback_devices(plc):
    plc.map_io(1, 1, 100)
    plc.add_callback("X0", ["Y0"], lambda y0: not y0)
    link = kvo_mew.VedUzavur("sim://" + plc.name)
    try:
        assert link.get_multi_uint16(1, "D0", 1) == [1]
        link.set_multi_uint16(1, "D100", [1])
        assert link.get_multi_uint16(1, "D0", 1) == [0]
    finally:
        link.close()


@pytest.mark.parametrize("argument, error", [
    ({"function": 3}, TypeError),
    ({"relays": 5}, TypeError),
    ({"relays": ["D0"]}, kvo_mew.AddressError),
    ({"sensor": "Q1"}, kvo_mew.AddressError),
    ({"delay": -1}, ValueError),
    ({"delay": "1"}, TypeError),
])
def test_bad_arguments_are_refused(manual, argument, error):
    kwargs = {"sensor": "X3", "relays": ["X1"], "function": bool, **argument}
    with pytest.raises(error):
        manual.add_callback(**kwargs)
    assert manual.devices == {}


def test_a_failing_function_is_reported_once_and_stops_the_device(manual, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    manual.add_callback("X3", ["X1"], lambda x1: 1 / 0 if x1 else False, name="broken")
    manual.set("X1", True)
    manual.get("X3")
    manual.advance(1.0)
    assert len(reports) == 1 and reports[0].exc_type is ZeroDivisionError
    assert "callback device 'broken'" in str(reports[0].object)
    info = manual.devices["broken"]
    assert "ZeroDivisionError" in info["error"] and info["value"] is False


def test_a_function_that_uses_the_plc_or_a_link_gets_link_error_not_a_deadlock(manual, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    link = kvo_mew.VedUzavur("sim://" + manual.name)
    try:
        manual.add_callback("X3", ["X1"], lambda x1: x1 and manual.get("X0"), name="plc")
        manual.add_callback("X4", ["X1"], lambda x1: x1 and link.get_coil(1, "X0"), name="link")
        link.set_coil(1, "X1", True)  # the update runs in this link transaction
        assert sorted(r.exc_type.__name__ for r in reports) == ["LinkError", "LinkError"]
        assert "cannot use a simulated PLC" in str(reports[0].exc_value) + str(reports[1].exc_value)
        assert link.get_coil(1, "X1") is True  # the link still serves
    finally:
        link.close()


def test_machine_threads_and_direct_access_run_callbacks_concurrently(plc, machines):
    import kvo_fa

    plc.map_io(1, 1, 100)
    plc.add_callback("X3", ["Y0", "X2"], lambda y0, x2: y0 and x2)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    machine.start()
    stop = threading.Event()

    def poke():
        while not stop.is_set():
            plc.set("X2", not plc.get("X2"))
            _ = plc.now, plc.counts, plc.devices

    pokers = [threading.Thread(target=poke) for _ in range(2)]
    for t in pokers:
        t.start()
    try:
        for value in (True, False, True):
            machine.set_y("Y0", value)
            machine.sync_xy_refresher()
    finally:
        stop.set()
        for t in pokers:
            t.join()
    plc.set("X2", True)
    machine.wait_for_signal("X3", True, timeout=5, check_interval=0.01)


def test_the_function_is_released_when_the_plc_goes_with_a_link():
    import gc
    import weakref

    class Function:
        def __call__(self, x1):
            return x1

    function = Function()
    ref = weakref.ref(function)
    plc = kvo_mew.simulator("callback-release")
    plc.add_callback("X3", ["X1"], function)
    link = kvo_mew.VedUzavur("sim://callback-release")
    link.get_coil(1, "X3")
    del function, plc
    kvo_mew.reset_simulators()   # the link still holds the PLC
    gc.collect()
    assert ref() is not None
    closer = threading.Thread(target=link.close)  # drops it without the GIL held
    closer.start()
    closer.join()
    gc.collect()
    assert ref() is None


def test_a_ctrl_c_in_the_function_reaches_the_program_and_the_device_goes_on(manual, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    pressed = []

    def function(x1):
        if x1 and not pressed:
            pressed.append(True)
            raise KeyboardInterrupt
        return x1

    manual.add_callback("X3", ["X1"], function, name="pressed")
    with pytest.raises(KeyboardInterrupt):
        manual.set("X1", True)
        for _ in range(50):  # the pending Ctrl-C is raised at the next check
            time.sleep(0.001)
    assert reports == [] and not manual.devices["pressed"].get("error")
    manual.advance(1.0)
    assert manual.get("X3") is True
