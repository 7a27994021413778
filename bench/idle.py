"""Idle cost: the CPU a started FPMachine on sim:// with 8 idle workers takes
while nothing happens (its threads only wake at their fixed rates)."""
import resource
import time

from .fixtures import fp_machine

IDLE_WORKERS = 8


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def idle_cpu(implementation, seconds):
    """CPU seconds per wall second of the idle machine and workers."""
    machine, close = fp_machine(implementation)
    workers = [implementation.Worker(None, "idle%d" % i) for i in range(IDLE_WORKERS)]
    machine.start()
    try:
        for worker in workers:
            worker.start()
        time.sleep(0.2)  # past the start-up
        cpu, wall = cpu_seconds(), time.monotonic()
        time.sleep(seconds)
        return (cpu_seconds() - cpu) / (time.monotonic() - wall)
    finally:
        for worker in workers:
            worker.stop()
        close()
