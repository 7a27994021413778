"""The yardstick of the benchmarks: the measured operations of kvo_fa written
in plain Python, as a machine builder would write them without the module.

Each class follows the documented behaviour step by step (the same checks, the
same locks taken in the same order, the same calls through the instance), in
ordinary idiomatic Python with no tricks: word loops are `for` loops over list
positions, locks are `threading.Lock` used with `with`, private fields are
double-underscore attributes. It covers what the benchmarks measure and what a
started machine needs to idle: the word image, the machine record with its bit
access, refresh loop, lifecycle and fault raise, the FP element names and the
FP machine over a `kvo_mew` link, and the worker.
"""
from .exceptions import (AbortByOtherException, DeadWorkerException, FAException, FATimeoutException,
                         StopException, XException)
from .fp_machine import FPMachine
from .machine import MachineBase
from .worker import Job, Worker
from .xmanager import XManager, YManager

__all__ = ["AbortByOtherException", "DeadWorkerException", "FAException", "FATimeoutException", "FPMachine",
           "Job", "MachineBase", "StopException", "Worker", "XException", "XManager", "YManager"]
