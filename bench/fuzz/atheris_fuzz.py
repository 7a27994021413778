"""Coverage-guided fuzzing (atheris) of the argument binder of kvo_fa's
function type and of the element-name parsers of kvo_fa (FPMachine) and
kvo_mew (the link's and the simulated PLC's names).

    PYTHONPATH=build/dev python3 bench/fuzz/atheris_fuzz.py -runs=200000

Arguments are libFuzzer's (-runs=N, -max_total_time=S, a corpus folder).
Atheris guides by the coverage of the Python code it instruments; the C++
of the modules only gives guidance when they are built with clang's
-fsanitize=fuzzer-no-link, which this project's gcc build does not do. Any
Python exception is fine; a crash or a leaked C++ exception is a finding.
"""
import re
import sys

import atheris

with atheris.instrument_imports():
    import kvo_fa
    import kvo_mew

LEAKED = re.compile(r"Caught an unknown exception|std::|basic_string|bad_alloc|vector::|Unable to cast")


class Machine(kvo_fa.MachineBase):
    def do_get_x_uint16(self):
        return [0, 0]

    def do_get_y_uint16(self):
        return [0, 0]

    def do_set_y_uint16(self, values):
        pass


kvo_mew.reset_simulators()
kvo_mew.simulator("atheris").map_io(x_words=2, y_words=2, y_shift=100)
MACHINE = Machine(2, 2)  # never started: every wait ends at once with StopException
FP = kvo_fa.FPMachine(2, 2, 100, "sim://atheris")
PLC = kvo_mew.simulator("atheris")
LINK = kvo_mew.VedUzavur("sim://atheris")
MANAGER = kvo_fa.XManager([1, 2], [0, 0])

# Our functions whose binder is fuzzed (waits are fine: the machine is stopped).
BOUND = [getattr(obj, name) for obj in (MACHINE, MANAGER) for name in dir(type(obj))
         if not name.startswith("__") and kvo_fa.__name__ in repr(type(getattr(type(obj), name, None)))
         and name not in ("_update", "_eeh_thread_func", "start", "reset")]
BOUND += [kvo_fa.XManager._get, kvo_fa.Job, kvo_fa.FAException, kvo_fa.CylinderException, kvo_fa.ThreadCommunicationObject]
NAMES = ["x", "index", "value", "timeout", "check_interval", "name", "prefix", "words", "item", "bogus", "self"]


@atheris.instrument_func
def value(fdp):
    kind = fdp.ConsumeIntInRange(0, 8)
    if kind == 0:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))
    if kind == 1:
        return fdp.ConsumeFloat()
    if kind == 2:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12))
    if kind == 3:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8))
    if kind == 4:
        return None
    if kind == 5:
        return fdp.ConsumeBool()
    if kind == 6:
        return [value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 7:
        return tuple(value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    return kvo_fa.StopException()


def element_name(fdp):
    prefix = fdp.PickValueInList(["X", "Y", "R", "WX", "WY", "WR", "D", "DT", "L", "", "x", "DX"])
    return prefix + fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 8))


@atheris.instrument_func
def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    target = fdp.ConsumeIntInRange(0, 3)
    try:
        if target == 0:
            function = fdp.PickValueInList(BOUND)
            args = [value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 6))]
            kwargs = {fdp.PickValueInList(NAMES): value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 2))}
            function(*args, **kwargs)
        elif target == 1:
            FP.name_to_index(element_name(fdp))
        elif target == 2:
            FP.index_to_name(fdp.PickValueInList(["X", "Y", "R", "D", "WX", ""]), fdp.ConsumeInt(4))
        else:
            name = element_name(fdp)
            if fdp.ConsumeBool():
                PLC.get(name)
            else:
                LINK.get_multi_uint16(1, name, fdp.ConsumeIntInRange(0, 4))
    except Exception as error:
        if isinstance(error, SystemError) or LEAKED.search(str(error)):
            raise


def main():
    atheris.Setup(sys.argv, one_input)
    try:
        atheris.Fuzz()
    finally:
        MACHINE.close()
        FP.close()


if __name__ == "__main__":
    main()
