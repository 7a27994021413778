"""LinkWatchdog end to end: a machine whose link goes silent while stations
wait for a sensor gets the watchdog's "link down" fault, every station ends
with AbortByOtherException, and reset recovers once the link is back; on the
simulated PLC (the serial line: test_link_on_a_line.py)."""
import re
import threading
import time

import pytest

import kvo_fa
import kvo_mew

DEAD = 10 ** 9   # fail_next: every transaction from now on


def wait_until(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.01)


class Stations:
    """Station threads blocked in wait_for_signal, with what ended each."""

    def __init__(self, machine, count=2, sensor="X0"):
        self.ended = [None] * count
        self.threads = [threading.Thread(target=self._wait, args=(machine, sensor, i)) for i in range(count)]
        for thread in self.threads:
            thread.start()

    def _wait(self, machine, sensor, i):
        try:
            machine.wait_for_signal(sensor, True, timeout=20, check_interval=0.02)
            self.ended[i] = "done"
        except Exception as error:
            self.ended[i] = error

    def join(self):
        for thread in self.threads:
            thread.join(30)
        assert not any(thread.is_alive() for thread in self.threads)
        return self.ended


@pytest.fixture
def fp(plc, machines):
    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    offered = []
    machine.exception_event.subscribe(offered.append)   # returns None: does not take the fault
    machine.start()
    machine.sync_xy_refresher()
    return machine, offered


def test_a_dead_link_ends_every_station_with_abort_and_reset_recovers(plc, fp):
    machine, offered = fp
    link = machine.native_machine_handle
    with kvo_mew.LinkWatchdog(machine, 0.3) as watchdog:
        assert watchdog.link is link and watchdog.machine is machine and watchdog.limit == 0.3
        stations = Stations(machine)
        plc.latency = 0.05            # each failed transaction takes a while, as a time-out does
        plc.fail_next(DEAD)
        ended = stations.join()
        assert [type(e) for e in ended] == [kvo_fa.AbortByOtherException] * 2
        fault = watchdog.fault
        assert offered == [fault] and watchdog.tripped
        assert isinstance(fault, kvo_mew.LinkDownError) and isinstance(fault, kvo_mew.LinkError)
        assert re.fullmatch(r"PLC link down for \d+\.\d s: sim://%s station 1: simulated PLC '%s' failed the "
                            r"get_multi_uint16 transaction of station 1 \(fail_next\)" % (plc.name, plc.name),
                            str(fault)), str(fault)
        assert (fault.port, fault.station, fault.cause) == ("sim://" + plc.name, 1, "other")
        assert fault.seconds > 0.3 and fault.last_error is link.health.last_error
        assert link.health.up is False and link.health.failures["other"] > 0

        # Reset while the link is still down: the limit runs again from the reset.
        machine.reset()
        wait_until(lambda: len(offered) == 2)
        assert machine.can_not_go_on()

        # The link comes back: reset recovers and the watchdog is armed again.
        plc.latency = 0
        plc.fail_next(0)
        wait_until(lambda: link.health.up)
        machine.reset()
        plc.set("X0", True)
        machine.wait_for_signal("X0", True, timeout=5, check_interval=0.02)
        assert not watchdog.tripped and len(offered) == 2
    assert watchdog.closed


def test_a_subscriber_that_takes_the_fault_hears_it_again_after_another_limit(plc, machines):
    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    taken = []
    machine.exception_event.subscribe(lambda fault: taken.append((fault, threading.current_thread())) or True)
    machine.start()
    with kvo_mew.LinkWatchdog(machine, 0.2):
        plc.latency = 0.05
        plc.fail_next(DEAD)
        wait_until(lambda: len(taken) >= 2)
        assert not machine.can_not_go_on()
        # Offered off the refresh thread: the subscriber may use the machine.
        assert taken[0][1] is not threading.main_thread()
        machine.set_y("Y0", True)
        plc.fail_next(0)
        plc.latency = 0


def test_a_stopped_machine_is_left_alone(plc, fp):
    machine, offered = fp
    machine.stop()
    with kvo_mew.LinkWatchdog(machine, 0.1) as watchdog:
        plc.fail_next(DEAD)
        time.sleep(0.6)
        assert watchdog.fault is None and offered == []
        plc.fail_next(0)


def test_check_from_the_callers_thread_sees_a_hanging_transaction(plc, fp):
    machine, offered = fp
    with kvo_mew.LinkWatchdog(machine, 0.2) as watchdog:
        plc.latency = 1.5           # the refresh thread hangs in one transaction
        time.sleep(0.1)
        assert watchdog.check() is False or offered
        stations = Stations(machine, count=1)
        wait_until(lambda: watchdog.check() or watchdog.tripped, 5)
        assert [type(e) for e in stations.join()] == [kvo_fa.AbortByOtherException]
        assert str(watchdog.fault).startswith("PLC link down for ")
        plc.latency = 0


@pytest.mark.parametrize("args, error, message", [
    ((0,), ValueError, "limit must be more than 0"),
    (("1",), TypeError, "limit must be a number of seconds"),
    ((0.5, 3), TypeError, "link must be a VedUzavur"),
])
def test_bad_arguments_are_refused(fp, args, error, message):
    machine, _ = fp
    with pytest.raises(error, match=message):
        kvo_mew.LinkWatchdog(machine, *args)


def test_an_fef_machine_is_watched_through_its_plc_link(plc, machines):
    machine = kvo_fa.FEFMachine("sim://" + plc.name, 2)
    machines.append(machine)
    machine.start()
    with kvo_mew.LinkWatchdog(machine, 0.2) as watchdog:
        assert watchdog.link is machine.plc
        stations = Stations(machine, count=1, sensor=0)   # FEFMachine names bits by number
        plc.latency = 0.05
        plc.fail_next(DEAD)
        assert [type(e) for e in stations.join()] == [kvo_fa.AbortByOtherException]
        assert watchdog.fault.station == 1 and "sim://%s station 1: " % plc.name in str(watchdog.fault)
        plc.fail_next(0)
        plc.latency = 0


def test_a_machine_without_a_link_needs_one_given(link):
    with pytest.raises(TypeError, match="found no VedUzavur link on object: pass link="):
        kvo_mew.LinkWatchdog(object())
    watchdog = kvo_mew.LinkWatchdog(object(), 1, link)
    watchdog.close()
    watchdog.close()
