"""Both back-ends end to end over kvo_mew's simulated PLC."""
import os
import subprocess
import sys
import time

import pytest

import kvo_fa
import kvo_mew

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture
def sim(request):
    kvo_mew.reset_simulators()
    name = "backends_" + request.node.name.replace("[", "_").replace("]", "")
    plc = kvo_mew.simulator(name)
    yield "sim://" + name, plc
    kvo_mew.reset_simulators()


def eventually(condition, seconds=3.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


def test_fp_inputs_from_d0_outputs_to_y_shift_on_its_station(sim, machines):
    port, plc = sim
    m = kvo_fa.FPMachine(2, 2, 50, port, station=2)
    machines.append(m)
    plc.set("D1", 0x0004, station=2)
    plc.set("D51", 0x1000, station=2)
    plc.set("D1", 0xFFFF)  # station 1 is another PLC
    m.start()
    m.sync_xy_refresher()
    assert m.x("X12") and m.wx(1) == 4 and m.wx(0) == 0
    assert m.y("Y1C") and m.wy(1) == 0x1000
    m.set_y_sync("Y3", True)
    m.sync_xy_refresher()
    assert plc.get("D50", station=2) == 8 and plc.get("D51", station=2) == 0x1000
    assert plc.get("D50") == 0


def test_fp_with_the_plc_program_and_link_left_open(sim, machines):
    port, plc = sim
    plc.map_io(1, 1, 100)
    m = kvo_fa.FPMachine(1, 1, 100, port, 115200)
    machines.append(m)
    m.start()
    plc.set("X5", True)
    m.sync_xy_refresher()
    assert m.x("X5") and m.wx(0) == 0x20
    m.set_y("Y0", True)
    m.sync_xy_refresher()
    m.sync_xy_refresher()
    assert plc.get("Y0") is True
    m.close()
    # the link stays open: the application may still use it
    assert m.get_multi_uint16("D100", 1) == [1]
    assert m.native_machine_handle.get_coil(1, "Y0") is True


def test_fp_refresh_survives_link_failures_and_rewrites_outputs(sim, machines, capsys):
    port, plc = sim
    m = kvo_fa.FPMachine(1, 1, 100, port)
    machines.append(m)
    m.start()
    m.sync_xy_refresher()
    plc.fail_next(3)
    m.set_y("Y2", True)
    plc.set("D0", 0x0080)
    m.sync_xy_refresher()
    assert plc.get("D100") == 4 and m.x("X7")
    m.close()
    printed = capsys.readouterr().out
    assert printed.count("\n") >= 3  # each failed cycle printed its error


def test_fef_modules_over_the_simulator(sim, machines):
    port, plc = sim
    m = kvo_fa.FEFMachine(port, 3)
    machines.append(m)
    m.start()
    plc.set("WX0", 0b10, station=2)
    m.sync_xy_refresher()
    assert m.x(17) and [m.wx(k) for k in range(3)] == [0, 2, 0]
    m.set_y(47, True)
    m.sync_xy_refresher()
    assert [plc.get("WY0", station=s) for s in (1, 2, 3)] == [0, 0, 0x8000]
    plc.set("WY0", 7, station=1)  # changed in the PLC: read back into the image
    m.sync_xy_refresher()
    m.sync_xy_refresher()
    assert m.wy(0) == 7


def test_fef_reset_reopens_and_sees_input_changes(sim, machines):
    port, plc = sim
    m = kvo_fa.FEFMachine(port, 2)
    machines.append(m)
    edges = []
    m.register_edge_event_handler(lambda snap: edges.append(snap.wx(1)))
    m.start()
    plc.set("WX0", 1, station=2)
    m.sync_xy_refresher()
    eventually(lambda: edges == [1])  # close discards undelivered snapshots
    m.reset()  # closes the link; its next call reopens it
    plc.set("WX0", 3, station=2)
    m.sync_xy_refresher()
    assert m.wx(1) == 3
    eventually(lambda: edges == [1, 3])


@pytest.mark.parametrize("example", ["fp_machine.py", "fef_modules.py"])
def test_examples_run_and_close(example):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(kvo_fa.__file__)))
    done = subprocess.run([sys.executable, os.path.join(ROOT, "examples", example)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.rstrip().endswith("closed")
