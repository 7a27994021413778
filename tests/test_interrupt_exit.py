"""Ctrl-C and interpreter exit with a machine and its stations still running.

Each case runs a program without try/finally in a child process: a started
FPMachine on sim://, optionally with stations blocked in waits that have no
time-out. The first Ctrl-C leaves it running (non-daemon threads), the second
ends it as it ends a plain Python program: by SIGINT, never by SIGABRT or
SIGSEGV from a thread the interpreter ends inside our code."""
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

PROGRAM = textwrap.dedent(
    """
    import sys, threading, time
    import kvo_fa, kvo_mew

    plc = kvo_mew.simulator("exit")
    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://exit")

    class Station(kvo_fa.Worker):
        def work(self, task):
            machine.wait_for_signal("X1", True)   # never comes: no time-out

    def run():
        machine.start()
        group = kvo_fa.WorkerGroup()
        for name in ("a", "b")[:int(sys.argv[1])]:
            group.add(Station(group, name))
            group.start(name)
            group.put_task(name, 1)
        print("ready", flush=True)

    if sys.argv[2] == "daemon":        # threads the interpreter ends at exit
        starter = threading.Thread(target=run, daemon=True)
        starter.start()
        starter.join()
        time.sleep(0.1 * int(sys.argv[3]))
        sys.exit(0)
    run()
    while True:
        time.sleep(1)
    """
)

ENDED_BY_CRASH = (-signal.SIGABRT, -signal.SIGSEGV, -signal.SIGBUS, 134, 139)


def child(*args: object) -> subprocess.Popen:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    process = subprocess.Popen([sys.executable, "-c", PROGRAM, *map(str, args)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=env)
    assert process.stdout.readline().strip() == b"ready"
    return process


def finish(process: subprocess.Popen, seconds: float = 20) -> object:
    try:
        return process.wait(seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return "still running"
    finally:
        process.stdout.close()
        process.stderr.close()


@pytest.mark.parametrize("stations", [0, 2])
@pytest.mark.parametrize("presses", [1, 2, 3])
def test_ctrl_c_ends_the_program_as_plain_python_does(stations, presses):
    rng = random.Random(f"{stations}-{presses}")
    for _ in range(3):
        process = child(stations, "main")
        for _ in range(presses):
            time.sleep(rng.uniform(0.05, 0.5))
            if process.poll() is None:
                process.send_signal(signal.SIGINT)
        if presses == 1:
            # The non-daemon threads keep it alive, as they would in plain Python.
            time.sleep(0.5)
            assert process.poll() is None
            process.send_signal(signal.SIGINT)
        status = finish(process)
        assert status == -signal.SIGINT, status


@pytest.mark.parametrize("tenths", [0, 1, 3])
def test_interpreter_exit_with_daemon_machine_threads_still_running(tenths):
    for _ in range(3):
        status = finish(child(2, "daemon", tenths))
        assert status not in ENDED_BY_CRASH and status == 0, status


LINK_POLLERS = textwrap.dedent(
    """
    import sys, threading, time
    import kvo_mew

    plc = kvo_mew.simulator("pollers")
    plc.map_io(1, 1, 100)
    link = kvo_mew.VedUzavur("sim://pollers")

    def poll():
        while True:
            link.get_multi_uint16(1, "D0", 2)   # the GIL given up and taken back, again and again

    for _ in range(3):
        threading.Thread(target=poll, daemon=True).start()
    time.sleep(0.2)
    sys.exit(0)
    """
)


def test_interpreter_exit_while_daemon_threads_poll_a_link():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    statuses = [subprocess.run([sys.executable, "-c", LINK_POLLERS], env=env, capture_output=True, timeout=60).returncode
                for _ in range(5)]
    assert statuses == [0] * 5
