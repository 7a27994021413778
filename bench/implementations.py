"""The two implementations every case is measured on: kvo_fa and the
plain-Python baseline. Each gives its classes under the same names and a way
to replace its module-level `_sleep` alias, which the refresh loop looks up at
every cycle."""
import contextlib

import kvo_fa

from . import baseline
from .baseline import machine as baseline_machine
from .baseline import worker as baseline_worker


class Implementation:
    def __init__(self, name, classes, alias_modules):
        self.name = name
        self.XManager = classes.XManager
        self.MachineBase = classes.MachineBase
        self.FPMachine = classes.FPMachine
        self.Worker = classes.Worker
        self.XException = classes.XException
        self._alias_modules = alias_modules

    @contextlib.contextmanager
    def sleep_replaced(self, replacement):
        saved = [module._sleep for module in self._alias_modules]
        for module in self._alias_modules:
            module._sleep = replacement
        try:
            yield
        finally:
            for module, original in zip(self._alias_modules, saved):
                module._sleep = original

    def __repr__(self):
        return self.name


KVO_FA = Implementation("kvo_fa", kvo_fa, [kvo_fa])
BASELINE = Implementation("baseline", baseline, [baseline_machine, baseline_worker])
IMPLEMENTATIONS = (KVO_FA, BASELINE)

