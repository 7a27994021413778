"""The differential test's child process: our XManager, YManager, the bit
access and refresh steps of MachineBase, and FPMachine's transfers over a
simulated PLC (the native channel) against the plain-Python baseline
(bench/baseline), over hostile cases: the image's own lists passed
back to it, tuples, lists of other lengths, words and indexes whose
operators clear, shrink, grow, refill or replace the lists, re-enter the
image, or raise.

Each generated case is a recipe, played once on each implementation with
objects of its own; after every step the result (or the exception's type
and text) and the state of every list must agree. A crash kills this
process, which the parent reports.

Usage: python image_diff_child.py EXAMPLES (KVO_DIFF_RANDOM=1: other cases
than the suite's fixed ones)
"""
import faulthandler
import os
import queue
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

import kvo_fa  # noqa: E402
import kvo_mew  # noqa: E402
from bench.baseline import fp_machine as plain_fp_machine, machine as plain_machine  # noqa: E402
from bench.baseline import xmanager as plain_xmanager  # noqa: E402

IMPLEMENTATIONS = {
    "ours": (kvo_fa.XManager, kvo_fa.YManager, kvo_fa.MachineBase),
    "plain": (plain_xmanager.XManager, plain_xmanager.YManager, plain_machine.MachineBase),
}


class Hostile(Exception):
    pass


class World:
    """The lists one implementation's objects work on, by name, and what a
    hostile operator does to them."""

    def __init__(self):
        self.owners = {}  # name -> (object, attribute) holding that list
        self.given = None  # the last list handed to an operation
        self.reenter = None

    def target(self, name):
        if name == "given":
            return self.given
        owner = self.owners.get(name)
        return getattr(*owner) if owner else None

    def act(self, action):
        kind, name = action
        if kind == "raise":
            raise Hostile("%s on %s" % action)
        if kind == "reenter":
            if self.reenter:
                self.reenter()
            return
        target = self.target(name)
        if not isinstance(target, list):
            return
        if kind == "clear":
            target.clear()
        elif kind == "pop" and target:
            target.pop()
        elif kind == "append":
            target.append(7)
        elif kind == "fill":
            target[:] = [int("9")] * len(target)
        elif kind == "rebind" and name in self.owners:
            setattr(*self.owners[name], list(target))
        # Reuse freed memory at once, so a dangling pointer reads garbage.
        junk = [[n] * 8 for n in range(64)]
        del junk


class Hooked:
    """Mixin: the operator named `trigger` first does `action` (`times` times)."""

    def hook(self, operator):
        if operator == self.trigger and self.times > 0:
            self.times -= 1
            self.world.act(self.action)


def hooked(cls, value, label, trigger, action, times, world):
    obj = cls(value)
    obj.label, obj.trigger, obj.action, obj.times, obj.world = label, trigger, action, times, world
    return obj


class Word(Hooked, int):
    def __eq__(self, other):
        self.hook("eq")
        return int.__eq__(self, other)

    def __ne__(self, other):
        self.hook("ne")
        return int.__ne__(self, other)

    def __and__(self, other):
        self.hook("and")
        return int.__and__(self, other)

    def __rand__(self, other):
        self.hook("and")
        return int.__rand__(self, other)

    def __or__(self, other):
        self.hook("or")
        return int.__or__(self, other)

    __hash__ = int.__hash__


class Index(Hooked, int):
    def __floordiv__(self, other):
        self.hook("floordiv")
        return int.__floordiv__(self, other)

    def __mod__(self, other):
        self.hook("mod")
        return int.__mod__(self, other)

    def __index__(self):
        self.hook("index")
        return int(self)


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


def make(desc, world, label="?"):
    """The object a descriptor stands for, made for `world`."""
    kind = desc[0]
    if kind == "plain":
        return desc[1]
    if kind == "word":
        return hooked(Word, desc[1], label, desc[2], desc[3], desc[4], world)
    if kind == "index":
        return hooked(Index, desc[1], label, desc[2], desc[3], desc[4], world)
    if kind == "truth":
        return Truth(desc[1])
    raise AssertionError(desc)


def show(value):
    """A value as both implementations can agree on it."""
    if isinstance(value, Hooked):
        return (type(value).__name__, value.label, int(value))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [show(v) for v in value])
    if isinstance(value, (bool, int, float, str, bytes, type(None))):
        return (type(value).__name__, value)
    if hasattr(value, "_XManager__x_words"):
        return ("image", type(value).__name__, show(value._XManager__x_words), show(value._XManager__x_words_old))
    return (type(value).__name__,)


def outcome(call):
    try:
        return ("value", show(call()))
    except (Exception, AssertionError) as error:
        return ("error", type(error).__name__, str(error))


def state(world):
    return {name: show(world.target(name)) for name in sorted(world.owners)}


# --- descriptors -----------------------------------------------------------

TARGETS = ["current", "old", "given"]
MACHINE_TARGETS = ["x_current", "x_old", "y", "y_old", "given"]
KINDS = ["clear", "pop", "append", "fill", "rebind", "raise", "reenter"]


def actions(targets):
    return st.tuples(st.sampled_from(KINDS), st.sampled_from(targets))


def hostile_word(targets):
    # != and & are what the image's loops and bit reads use; == and | the rest.
    triggers = st.sampled_from(["ne", "ne", "and", "and", "eq", "or"])
    return st.tuples(st.just("word"), st.integers(0, 0xFFFF), triggers, actions(targets), st.integers(1, 2))


def int_words(targets):
    plain = st.one_of(st.integers(0, 0xFFFF), st.integers(-2 ** 70, 2 ** 70), st.booleans())
    return st.one_of(plain.map(lambda v: ("plain", v)), hostile_word(targets), hostile_word(targets))


def any_words(targets):
    odd = st.sampled_from([1.5, None, "a"]).map(lambda v: ("plain", v))
    return st.one_of(int_words(targets), int_words(targets), int_words(targets), odd)


def indexes(targets):
    """Bit indexes, mostly inside an image of up to three words."""
    plain = st.one_of(st.integers(-48, 47), st.integers(-48, 47), st.integers(-48, 47), st.integers(-99, 99),
                      st.sampled_from([2 ** 70, True, 1.0, "3", None]))
    hostile = st.tuples(st.just("index"), st.integers(-48, 47), st.sampled_from(["floordiv", "mod", "index"]),
                        actions(targets), st.integers(1, 2))
    return st.one_of(plain.map(lambda v: ("plain", v)), hostile)


def word_lists(words, size):
    return st.lists(words, min_size=size, max_size=size)


def given_words(words, aliases, size):
    """What an operation is handed: a list (mostly of the image's length), a
    tuple, one of the image's own lists, or None."""
    return st.one_of(
        st.tuples(st.just("list"), word_lists(words, size)),
        st.tuples(st.just("list"), word_lists(words, size)),
        st.tuples(st.just("list"), st.lists(words, min_size=0, max_size=4)),
        st.tuples(st.just("tuple"), st.lists(words, min_size=0, max_size=3)),
        st.tuples(st.just("alias"), st.sampled_from(aliases)),
        st.tuples(st.just("alias"), st.sampled_from(aliases)),
        st.just(("none",)),
    )


def realise(given, world, aliases):
    kind = given[0]
    if kind == "alias":
        return world.target(aliases[given[1]])
    if kind == "none":
        return None
    items = [make(d, world, "g%d" % i) for i, d in enumerate(given[1])]
    if kind == "tuple":
        return tuple(items)
    world.given = items
    return items


# --- the image -------------------------------------------------------------

IMAGE_ALIASES = {"current": "current", "old": "old"}


@st.composite
def image_cases(draw):
    size = draw(st.integers(1, 3))
    words = any_words(TARGETS)
    construction = draw(st.sampled_from(["x", "y", "y-shared"]))
    current = draw(word_lists(words, size))
    old = draw(word_lists(words, size))
    idx = indexes(TARGETS)
    step = st.one_of(
        st.tuples(st.just("update"), given_words(words, ["current", "old"], size)),
        st.tuples(st.sampled_from(["x", "getitem", "rising", "falling", "wx"]), idx),
        st.tuples(st.sampled_from(["event_occured", "copy", "copy_old", "word_count"])),
        st.tuples(st.just("_get"), given_words(words, ["current", "old"], size), idx),
    )
    return construction, current, old, draw(st.lists(step, min_size=1, max_size=6))


def play_image(case, implementation):
    XManager, YManager, _ = IMPLEMENTATIONS[implementation]
    construction, current_descs, old_descs, steps = case
    world = World()
    current = [make(d, world, "c%d" % i) for i, d in enumerate(current_descs)]
    old = [make(d, world, "o%d" % i) for i, d in enumerate(old_descs)]
    if construction == "x":
        image = XManager(current, old)
    elif construction == "y":
        image = YManager(current, old)
    else:
        image = YManager(current, current)  # one list as both
    del current, old
    world.owners = {"current": (image, "_XManager__x_words"), "old": (image, "_XManager__x_words_old")}
    world.reenter = lambda: image.update([0] * len(image._XManager__x_words))
    trace = []
    for step in steps:
        op = step[0]
        if op == "update":
            given = realise(step[1], world, IMAGE_ALIASES)
            result = outcome(lambda: image.update(given))
        elif op == "_get":
            words = realise(step[1], world, IMAGE_ALIASES)
            index = make(step[2], world, "i")
            result = outcome(lambda: XManager._get(words, index))
        elif op in ("x", "rising", "falling", "wx"):
            index = make(step[1], world, "i")
            result = outcome(lambda: getattr(image, op)(index))
        elif op == "getitem":
            index = make(step[1], world, "i")
            result = outcome(lambda: image[index])
        elif op == "word_count":
            result = outcome(lambda: image.word_count)
        else:
            result = outcome(getattr(image, op))
        world.given = None
        trace.append((step, result, state(world)))
    return trace


# --- the machine -----------------------------------------------------------

MACHINE_ALIASES = {"current": "x_current", "old": "x_old", "y": "y", "y_old": "y_old"}


def machine_class(base):
    class Machine(base):
        def do_get_x_uint16(self):
            return self.scripted("x")

        def do_get_y_uint16(self):
            return self.scripted("y")

        def do_set_y_uint16(self, values):
            self.written.append(show(values))

        def scripted(self, which):
            given = self.script.pop(0) if self.script else ("list", [])
            return realise(given, self.world, MACHINE_ALIASES)

    return Machine


MACHINES = {name: machine_class(parts[2]) for name, parts in IMPLEMENTATIONS.items()}


@st.composite
def machine_cases(draw):
    x_count, y_count = draw(st.integers(1, 2)), draw(st.integers(1, 2))
    # Words from the PLC must be ints on our side (a difference kept on purpose).
    words = int_words(MACHINE_TARGETS)
    y_words = draw(word_lists(words, y_count))
    idx = st.one_of(indexes(MACHINE_TARGETS), st.sampled_from(["5", b"17", " 3", "x"]).map(lambda v: ("plain", v)))
    values = st.one_of(st.sampled_from([True, False, 0, 1, None, "", 2.5]).map(lambda v: ("plain", v)),
                       st.booleans().map(lambda v: ("truth", v)))
    script = st.one_of(given_words(words, ["current", "old", "y", "y_old"], x_count),
                       given_words(words, ["current", "old", "y", "y_old"], y_count))
    step = st.one_of(
        st.tuples(st.sampled_from(["x", "y", "wx", "wy", "rising", "falling"]), idx),
        st.tuples(st.just("set_y"), idx, values),
        st.tuples(st.just("_refresh_x"), script),
        st.tuples(st.just("_refresh_y"), script),
    )
    return x_count, y_count, y_words, draw(st.lists(step, min_size=1, max_size=6))


def play_machine(case, implementation):
    x_count, y_count, y_descs, steps = case
    world = World()
    machine = MACHINES[implementation](x_count, y_count)
    machine.world, machine.script, machine.written = world, [], []
    machine._y_words[:] = [make(d, world, "y%d" % i) for i, d in enumerate(y_descs)]
    image = machine.x_manager
    world.owners = {"x_current": (image, "_XManager__x_words"), "x_old": (image, "_XManager__x_words_old"),
                    "y": (machine, "_y_words"), "y_old": (machine, "_y_words_old")}
    world.reenter = lambda: machine.x_manager.update([0] * x_count)
    trace = []
    for step in steps:
        op = step[0]
        if op in ("_refresh_x", "_refresh_y"):
            machine.script = [step[1]]
            result = outcome(getattr(machine, op))
        elif op == "set_y":
            index, value = make(step[1], world, "i"), make(step[2], world, "v")
            result = outcome(lambda: machine.set_y(index, value))
        else:
            index = make(step[1], world, "i")
            result = outcome(lambda: getattr(machine, op)(index))
        snapshots = []
        while True:
            try:
                snapshots.append(show(machine._ee_queue.get_nowait()))
            except queue.Empty:
                break
        world.given = None
        trace.append((step, result, state(world), snapshots, machine.written[:]))
        del machine.written[:]
    return trace


# --- the machine on a simulated FP PLC: the native transfers ------------------

FP_MACHINES = {"ours": kvo_fa.FPMachine, "plain": plain_fp_machine.FPMachine}
Y_SHIFT = 100


@st.composite
def fp_cases(draw):
    x_count, y_count = draw(st.integers(1, 2)), draw(st.integers(1, 2))
    words = int_words(MACHINE_TARGETS)
    x_image = draw(st.none() | word_lists(words, x_count))
    y_words = draw(word_lists(words, y_count))
    alias = draw(st.sampled_from(["none", "x", "y"]))  # the previous list is the current one
    plc_word = st.integers(0, 0xFFFF)
    step = st.one_of(
        st.tuples(st.sampled_from(["_refresh_x", "_refresh_y"])),
        st.tuples(st.just("set_y"), st.integers(-16, 31).map(lambda v: ("plain", v)),
                  st.booleans().map(lambda v: ("plain", v))),
        st.tuples(st.sampled_from(["x", "y"]), indexes(MACHINE_TARGETS)),
        st.tuples(st.just("plc"), st.sampled_from(["D0", "D1", "D100", "D101"]), plc_word),
    )
    return x_count, y_count, x_image, y_words, alias, draw(st.lists(step, min_size=1, max_size=8))


def play_fp(case, implementation):
    x_count, y_count, x_descs, y_descs, alias, steps = case
    kvo_mew.reset_simulators()
    plc = kvo_mew.simulator("diff")
    world = World()
    machine = FP_MACHINES[implementation](x_count, y_count, Y_SHIFT, "sim://diff")
    try:
        image = machine.x_manager
        if x_descs is not None:
            image._XManager__x_words[:] = [make(d, world, "x%d" % i) for i, d in enumerate(x_descs)]
        machine._y_words[:] = [make(d, world, "y%d" % i) for i, d in enumerate(y_descs)]
        if alias == "x":
            image._XManager__x_words_old = image._XManager__x_words
        elif alias == "y":
            machine._y_words_old = machine._y_words
        world.owners = {"x_current": (image, "_XManager__x_words"), "x_old": (image, "_XManager__x_words_old"),
                        "y": (machine, "_y_words"), "y_old": (machine, "_y_words_old")}
        world.reenter = lambda: machine.x_manager.update([0] * x_count)
        trace = []
        for step in steps:
            op = step[0]
            if op == "plc":
                result = outcome(lambda: plc.set(step[1], step[2]))
            elif op == "set_y":
                result = outcome(lambda: machine.set_y(make(step[1], world), make(step[2], world)))
            elif op in ("x", "y"):
                index = make(step[1], world, "i")
                result = outcome(lambda: getattr(machine, op)(index))
            else:
                result = outcome(getattr(machine, op))
            plc_words = [plc.get(name) for name in ("D100", "D101")]
            trace.append((step, result, state(world), machine._ee_queue.qsize(), plc_words))
        return trace
    finally:
        machine.close()
        machine._plc.close()


def agree(case, play):
    ours, plain = play(case, "ours"), play(case, "plain")
    for n, (mine, theirs) in enumerate(zip(ours, plain)):
        assert mine == theirs, "step %d differs:\n ours:  %r\n plain: %r" % (n, mine, theirs)


def main():
    faulthandler.enable()
    examples = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    # Fixed cases in the suite; KVO_DIFF_RANDOM=1 explores new ones.
    fixed = os.environ.get("KVO_DIFF_RANDOM") != "1"
    checks = settings(max_examples=examples, derandomize=fixed, deadline=None, database=None,
                      suppress_health_check=list(HealthCheck))
    checks(given(image_cases())(lambda case: agree(case, play_image)))()
    checks(given(machine_cases())(lambda case: agree(case, play_machine)))()
    checks(given(fp_cases())(lambda case: agree(case, play_fp)))()
    print("compared %d cases of each" % examples)


if __name__ == "__main__":
    main()
