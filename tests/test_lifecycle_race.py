"""Lifecycle calls racing on one machine: start on one thread (a plant's
resume command) while close, or reset, runs on another. Each close returns,
and the machine ends closed. Run in a child process: a close that never
returns would keep the test process alive."""
import os
import subprocess
import sys
import textwrap

import pytest

RACE = textwrap.dedent(
    """
    import sys, threading, time
    import kvo_fa, kvo_mew

    plc = kvo_mew.simulator("race")
    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://race")
    rounds, other = int(sys.argv[1]), sys.argv[2]
    done = threading.Event()

    def resume():
        while not done.is_set():
            machine.start()
            time.sleep(0.001)

    resumer = threading.Thread(target=resume)
    resumer.start()
    longest = 0.0
    try:
        for _ in range(rounds):
            began = time.monotonic()
            getattr(machine, other)()
            longest = max(longest, time.monotonic() - began)
    finally:
        done.set()
        resumer.join()
        machine.close()
    alive = [t for t in threading.enumerate() if t is not threading.main_thread()]
    print(f"longest {longest:.3f} s, threads left {len(alive)}", flush=True)
    """
)


@pytest.mark.parametrize("other", ["close", "reset"])
def test_close_or_reset_racing_start_always_returns(other):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    try:
        run = subprocess.run([sys.executable, "-c", RACE, "150", other], env=env, capture_output=True, text=True,
                             timeout=90)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{other}() racing start() never returned")
    assert run.returncode == 0, run.stderr
    assert "threads left 0" in run.stdout, run.stdout


EDGE_RESUME = textwrap.dedent(
    """
    import threading, time
    import kvo_fa, kvo_mew

    plc = kvo_mew.simulator("edge-resume")
    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://edge-resume")
    handling = threading.Event()

    def resume_on_edge(snapshot):
        handling.set()
        time.sleep(0.3)        # close begins meanwhile, on the main thread
        machine.start()        # gives way: the machine is closing

    machine.register_edge_event_handler(resume_on_edge)
    machine.start()
    plc.set("WX0", 1)
    assert handling.wait(10)
    machine.close()
    alive = [t for t in threading.enumerate() if t is not threading.main_thread()]
    print(f"threads left {len(alive)}", flush=True)
    """
)


def test_a_start_from_an_edge_handler_gives_way_to_close():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    try:
        run = subprocess.run([sys.executable, "-c", EDGE_RESUME], env=env, capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("close() waited for ever for the edge thread that called start()")
    assert run.returncode == 0, run.stderr
    assert "threads left 0" in run.stdout, run.stdout


def test_an_unhashable_machine_starts_resets_and_closes(plc, machines):
    import kvo_fa

    class Unhashable(kvo_fa.FPMachine):
        def __eq__(self, other):  # and so no __hash__
            return False

    plc.map_io(1, 1, 100)
    machine = Unhashable(1, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    machine.start()
    machine.reset()
    machine.close()
    assert machine.is_stopped()
