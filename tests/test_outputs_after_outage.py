"""After a refresh cycle that failed, the next cycle that reaches the PLC
writes the whole output image before anything is read back, so a PLC that
came back with its outputs cleared gets the outputs the program set."""
import kvo_fa
from machine_fakes import make_machine, wait_until  # noqa: F401


def outage(plc):
    """The line goes down, and the PLC comes back with its outputs cleared."""
    plc.y = [0] * len(plc.y)
    raise OSError("line down")


def test_outputs_are_rewritten_after_a_failed_cycle(make_machine):
    machine = make_machine(1, 1)
    machine.start()
    machine.set_y(0, True)
    machine.set_y(5, True)
    machine.sync_xy_refresher()
    assert machine.plc.y == [0x21]
    writes = len(machine.plc.writes)
    machine.plc.script["get_x"].append(lambda: outage(machine.plc))
    machine.sync_xy_refresher()
    machine.sync_xy_refresher()
    assert machine.plc.y == [0x21] and machine.y(0) and machine.y(5)
    assert len(machine.plc.writes) == writes + 1  # one rewrite, then read-backs again
    machine.plc.y = [0x40]                   # changed in the PLC: read back as before
    wait_until(lambda: machine.wy(0) == 0x40)


def test_a_failed_rewrite_is_tried_again(make_machine):
    machine = make_machine(1, 1)
    machine.start()
    machine.set_y(1, True)
    machine.sync_xy_refresher()
    machine.plc.script["get_x"].append(lambda: outage(machine.plc))
    machine.plc.script["set_y"].append(OSError("still down"))
    wait_until(lambda: machine.plc.y == [2])
    assert machine.y(1)


def test_fp_machine_on_a_simulated_plc_that_lost_its_outputs(plc, machines):
    plc.map_io(x_words=1, y_words=1, y_shift=100)
    m = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(m)
    m.start()
    m.set_y("Y0", True)
    m.set_y("Y5", True)
    m.sync_xy_refresher()
    assert plc.get("D100") == 0x21
    plc.fail_next(1000)                     # the line goes down
    plc.reset_counts()
    wait_until(lambda: plc.counts.get("get_multi_uint16", 0) >= 1)
    plc.set("D100", 0)                      # the PLC restarts with its outputs cleared
    plc.set("WY0", 0)
    plc.fail_next(0)                        # and the line comes back
    m.sync_xy_refresher()
    m.sync_xy_refresher()
    assert plc.get("D100") == 0x21 and plc.get("Y5") and m.y("Y0")
