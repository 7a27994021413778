"""kvo_kit's virtual clock and pytest fixtures: machine time-outs and simulated
devices on virtual time, deterministic and fast."""
import threading
import time

import pytest

import kvo_fa
from kvo_kit.clock import VirtualClock


def test_install_replaces_the_time_aliases_and_uninstall_puts_them_back():
    saved = kvo_fa._now, kvo_fa._sleep, kvo_fa._Thread
    with VirtualClock() as clock:
        assert kvo_fa._now() == VirtualClock.START
        kvo_fa._sleep(7.0)
        assert kvo_fa._now() == VirtualClock.START + 7.0 and clock.elapsed == 7.0
    assert (kvo_fa._now, kvo_fa._sleep, kvo_fa._Thread) == saved


def test_sleepers_wake_in_time_order_one_at_a_time(virtual_clock):
    woke = []

    def sleeper(name, seconds):
        virtual_clock.sleep(seconds)
        woke.append((name, virtual_clock.elapsed))
        virtual_clock.sleep(1.0)
        woke.append((name + "+1", virtual_clock.elapsed))

    threads = [kvo_fa._Thread(target=sleeper, args=(name, s)) for name, s in (("c", 3.0), ("a", 1.0), ("b", 1.5))]
    for t in threads:
        t.start()
    virtual_clock.sleep(10.0)
    for t in threads:
        t.join()
    assert woke == [("a", 1.0), ("b", 1.5), ("a+1", 2.0), ("b+1", 2.5), ("c", 3.0), ("c+1", 4.0)]


def test_wait_until_gives_up_after_its_virtual_time_out(virtual_clock):
    began = time.monotonic()
    with pytest.raises(TimeoutError):
        virtual_clock.wait_until(lambda: False, timeout=3600, interval=0.5)
    assert virtual_clock.elapsed == pytest.approx(3600)
    assert time.monotonic() - began < 60


def test_a_thread_blocked_outside_the_clock_does_not_hang_it(virtual_clock):
    gate = threading.Event()
    done = []

    def station():
        virtual_clock.sleep(0.5)
        done.append(virtual_clock.elapsed)
        gate.set()

    t = kvo_fa._Thread(target=station)
    t.start()
    assert gate.wait(30)  # the test's thread waits on an Event, not on the clock
    t.join()
    assert done == [0.5]


def test_device_clock_runs_on_virtual_time(virtual_clock, sim_plc):
    assert sim_plc.clock == "manual"
    sim_plc.add_cylinder(valve="Y0", retracted="X0", extended="X1", stroke=5.0)
    sim_plc.set("Y0", True)
    virtual_clock.sleep(4.9)
    assert not sim_plc.get("X1")
    virtual_clock.sleep(0.2)
    assert sim_plc.get("X1")


def test_machine_time_out_of_seven_seconds_fires_at_seven_virtual_seconds(virtual_clock, sim_plc, fp_machine):
    machine = fp_machine(1, 1, 100)
    machine.start()
    began = time.monotonic()
    with pytest.raises(kvo_fa.XException) as raised:
        machine.wait_for_signal("X1", True, 7)
    assert str(raised.value) == "等待输入信号 X1 超时！目标状态：1，超时时间：7.0秒。"
    assert virtual_clock.elapsed == pytest.approx(7.0, abs=0.11)
    assert time.monotonic() - began < 7.0


def test_cylinder_cycles_take_the_same_virtual_time_every_time(virtual_clock, sim_plc, fp_machine):
    sim_plc.add_cylinder(valve="Y0", retracted="X0", extended="X1", stroke=1.3)
    machine = fp_machine(1, 1, 100)
    machine.start()
    cycles = []
    for _ in range(3):
        began = virtual_clock.elapsed
        machine.trigger_cylinder("Y0", True, "X0", "X1", 7, 0, 0.05)
        out = virtual_clock.elapsed - began
        machine.trigger_cylinder("Y0", False, "X1", "X0", 7, 0, 0.05)
        machine.wait_for_signal("X0", True, 7, 0.05)
        cycles.append((round(out, 9), round(virtual_clock.elapsed - began, 9)))
    # the stroke plus at most one refresh and one poll each way, exactly alike
    assert 1.3 <= cycles[0][0] <= 1.4 and 2.6 <= cycles[0][1] <= 2.8
    assert len(set(cycles[1:])) == 1


def test_worker_group_fixture_stops_its_workers(worker_group, virtual_clock):
    done = []

    class Station(kvo_fa.Worker):
        def work(self, task):
            kvo_fa._sleep(5.0)
            done.append((task, virtual_clock.elapsed))

    worker_group.add(Station(worker_group, "s"))
    worker_group.start_all()
    worker_group.put_task("s", "t")
    virtual_clock.wait_until(lambda: done, timeout=60)
    assert done[0][0] == "t" and 5.0 <= done[0][1] <= 5.2
