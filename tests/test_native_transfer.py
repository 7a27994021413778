"""The refresh cycle over a genuine kvo_mew link moves words natively; any
other link, or a transfer or forwarding method overridden or replaced, takes
the Python path. Both move the same words with the same link traffic."""
import tracemalloc

import pytest

import kvo_fa
import kvo_mew
from backend_fakes import links  # noqa: F401  (fixture)

WORDS = 200


@pytest.fixture
def sim(request):
    kvo_mew.reset_simulators()
    name = "native_" + request.node.name.replace("[", "_").replace("]", "")
    yield "sim://" + name, kvo_mew.simulator(name)
    kvo_mew.reset_simulators()


def cycle(machine):
    machine._refresh_x()
    machine._refresh_y()


class SuperGetX(kvo_fa.FPMachine):
    def do_get_x_uint16(self):
        self.seen = getattr(self, "seen", 0) + 1
        return super().do_get_x_uint16()


class SuperForwarding(kvo_fa.FPMachine):
    def get_multi_uint16(self, name, count):
        self.seen = getattr(self, "seen", 0) + 1
        return super().get_multi_uint16(name, count)


class SuperGetY(kvo_fa.FPMachine):
    def do_get_y_uint16(self):
        self.seen = getattr(self, "seen", 0) + 1
        return super().do_get_y_uint16()


class SuperSetY(kvo_fa.FPMachine):
    def do_set_y_uint16(self, values):
        self.seen = getattr(self, "seen", 0) + 1
        return super().do_set_y_uint16(values)


class SuperSetForwarding(kvo_fa.FPMachine):
    def set_multi_uint16(self, name, values):
        self.seen = getattr(self, "seen", 0) + 1
        return super().set_multi_uint16(name, values)


class SuperFefGetX(kvo_fa.FEFMachine):
    def do_get_x_uint16(self):
        self.seen = getattr(self, "seen", 0) + 1
        return super().do_get_x_uint16()


def run_fp(cls, port, plc):
    """Inputs, an output write and a read-back; what the machine and the PLC end with."""
    m = cls(3, 2, 100, port, station=4)
    plc.set("D0", 0x8001, station=4)
    plc.set("D2", 7, station=4)
    cycle(m)
    x_after_first = (list(m.x_manager.copy_old()), [m.wx(i) for i in range(3)], m._ee_queue.qsize())
    m.set_y(17, True)  # Y11: word 1, bit 1
    cycle(m)
    written = [plc.get("D100", station=4), plc.get("D101", station=4)]
    plc.set("D100", 0x1234, station=4)
    cycle(m)
    return dict(x=x_after_first, written=written, y=(list(m._y_words), list(m._y_words_old)),
                queue=m._ee_queue.qsize(), counts=plc.counts, seen=getattr(m, "seen", 0))


@pytest.mark.parametrize("cls, calls", [(SuperGetX, 3), (SuperForwarding, 5), (SuperGetY, 2), (SuperSetY, 1),
                                        (SuperSetForwarding, 1)])
def test_fp_native_and_python_paths_move_the_same_words(sim, cls, calls):
    port, plc = sim
    native = run_fp(kvo_fa.FPMachine, port, plc)
    kvo_mew.reset_simulators()
    python = run_fp(cls, port, kvo_mew.simulator(port[len("sim://"):]))
    assert python.pop("seen") == calls and native.pop("seen") == 0  # the override ran every time
    assert native == python
    assert native["x"] == ([0, 0, 0], [0x8001, 0, 7], 1)
    assert native["written"] == [0, 2]
    assert native["y"] == ([0x1234, 2], [0x1234, 2])
    assert native["counts"] == {"get_multi_uint16": 5, "set_multi_uint16": 1}


def test_fef_native_and_python_paths_move_the_same_words(sim):
    port, plc = sim
    results = []
    for cls in (kvo_fa.FEFMachine, SuperFefGetX):
        kvo_mew.reset_simulators()
        plc = kvo_mew.simulator(port[len("sim://"):])
        m = cls(port, 3)
        plc.set("WX0", 5, station=2)
        cycle(m)
        m.set_y(33, True)  # module 3, bit 1
        cycle(m)
        plc.set("WY0", 9, station=1)
        cycle(m)
        results.append(([m.wx(i) for i in range(3)], list(m._y_words), list(m._y_words_old),
                        [plc.get("WY0", station=s) for s in (1, 2, 3)], plc.counts))
        m.close()
    assert results[0] == results[1]
    assert results[0] == ([0, 5, 0], [9, 0, 2], [9, 0, 2], [9, 0, 2],
                          {"get_coil_uint16": 15, "set_coil_uint16": 3})


def test_a_machine_with_its_own_attribute_lookup_is_asked_for_every_method(sim):
    port, plc = sim
    looked_up = []

    class Watched(kvo_fa.FPMachine):
        def __getattribute__(self, name):
            if name.startswith(("do_", "get_multi", "set_multi", "_refresh")):
                looked_up.append(name)
            return super().__getattribute__(name)

    m = Watched(1, 1, 100, port)
    m.set_y(0, True)
    m._refresh_x()
    m._refresh_y()
    m._refresh_y()
    assert looked_up == ["_refresh_x", "do_get_x_uint16", "get_multi_uint16", "_refresh_y", "do_set_y_uint16",
                         "set_multi_uint16", "_refresh_y", "do_get_y_uint16", "get_multi_uint16"]
    assert plc.get("D100") == 1


def test_a_method_replaced_on_the_instance_is_called(sim):
    port, plc = sim
    m = kvo_fa.FPMachine(1, 1, 100, port)
    calls = []
    m.do_get_x_uint16 = lambda: calls.append("x") or [3]
    m.do_get_y_uint16 = lambda: calls.append("y") or [4]
    cycle(m)
    assert calls == ["x", "y"] and m.wx(0) == 3 and m.wy(0) == 4
    m.set_multi_uint16 = lambda name, values: calls.append((name, list(values)))
    m.set_y(0, True)
    cycle(m)
    assert calls[-1] == ("D100", [5]) and plc.counts == {}


def test_a_fake_link_is_used(links):
    m = kvo_fa.FPMachine(2, 1, 100, "COM1", station=3)
    links[0].data[(3, 1)] = 9
    cycle(m)
    assert m.wx(1) == 9
    assert links[0].ops("get_multi_uint16") == [("get_multi_uint16", 3, "D0", 2), ("get_multi_uint16", 3, "D100", 1)]


def test_a_link_subclass_or_a_replaced_link_method_takes_the_python_path(sim, monkeypatch):
    port, plc = sim
    calls = []

    class Link(kvo_mew.VedUzavur):
        def get_multi_uint16(self, *args):
            calls.append(args)
            return super().get_multi_uint16(*args)

    m = kvo_fa.FPMachine(1, 1, 100, port)
    m._plc = Link(port)
    cycle(m)
    assert calls == [(1, "D0", 1), (1, "D100", 1)]
    m._plc = kvo_mew.VedUzavur(port)
    original = kvo_mew.VedUzavur.get_multi_uint16
    monkeypatch.setattr(kvo_mew.VedUzavur, "get_multi_uint16",
                        lambda link, *args: calls.append(args) or original(link, *args))
    cycle(m)
    assert calls[2:] == [(1, "D0", 1), (1, "D100", 1)]


def test_link_failures_and_refused_arguments_raise_as_on_the_python_path(sim):
    port, plc = sim
    for cls in (kvo_fa.FPMachine, SuperGetX):
        m = cls(1, 1, 100, port)
        plc.fail_next()
        with pytest.raises(kvo_mew.LinkError):
            m._refresh_x()
        m._FPMachine__station = 300
        with pytest.raises(kvo_mew.AddressError, match=r"^get_multi_uint16\(\) station 300 is out of range 1..255$"):
            m._refresh_x()
        m._FPMachine__station = 1
        m._y_words[0] = 70000  # not a word: the link refuses it
        with pytest.raises(ValueError, match=r"^set_multi_uint16\(\) values\[0\] 70000 is out of range 0..65535$"):
            m._refresh_y()
        assert m._y_words_old == [0]
        m._y_words[0] = True  # the link takes a bool as 1
        m._refresh_y()
        assert plc.get("D100") == 1 and m._y_words_old == [True]


def test_the_native_path_builds_no_word_lists(sim):
    port, plc = sim
    for i in range(WORDS):
        plc.set("D%d" % i, 1000 + i)
    grown = {}
    for cls in (kvo_fa.FPMachine, SuperGetX):
        m = cls(WORDS, 1, 5000, port)
        m._refresh_x()  # the image now holds the words: nothing changes below
        tracemalloc.start()
        try:
            m._refresh_x()
            grown[cls] = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert m.wx(WORDS - 1) == 1000 + WORDS - 1
    # a list of WORDS new ints takes more than 28 bytes a word
    assert grown[SuperGetX] > 28 * WORDS
    assert grown[kvo_fa.FPMachine] < 1000


def test_an_image_with_its_own_update_gets_the_words_through_it(sim):
    port, plc = sim
    seen = []

    class Image(kvo_fa.XManager):
        def update(self, x_words):
            seen.append(list(x_words))
            return super().update(x_words)

    m = kvo_fa.FPMachine(2, 1, 100, port)
    m.x_manager = Image(count=2)
    plc.set("D1", 6)
    m._refresh_x()
    assert seen == [[0, 6]] and m.wx(1) == 6 and m._ee_queue.qsize() == 1
    m.x_manager = kvo_fa.XManager(count=2)
    m.x_manager.update = lambda words: seen.append(words) or False
    m._refresh_x()
    assert seen[-1] == [0, 6] and m._ee_queue.qsize() == 1


def run_updater(machine):
    """A few cycles of the machine's own updater thread."""
    machine.start()
    try:
        for _ in range(3):
            machine.sync_xy_refresher()
    finally:
        machine.close()


def test_the_updater_thread_uses_a_fake_link_and_replaced_methods(sim, links):
    m = kvo_fa.FPMachine(2, 1, 100, "COM1", station=3)
    links[0].data[(3, 1)] = 9
    m.set_y(0, True)
    run_updater(m)
    assert m.wx(1) == 9 and links[0].data[(3, 100)] == 1
    assert links[0].ops("set_multi_uint16") == [("set_multi_uint16", 3, "D100", [1])]
    assert len(links[0].ops("get_multi_uint16")) >= 6

    port, plc = sim
    kvo_fa._Fp = kvo_mew.VedUzavur  # the links fixture puts its own back afterwards
    m = kvo_fa.FPMachine(2, 1, 100, port)
    seen = []
    forward = m.get_multi_uint16
    m.get_multi_uint16 = lambda name, count: seen.append(name) or forward(name, count)
    plc.set("D1", 5)
    run_updater(m)
    m._plc.close()
    assert m.wx(1) == 5 and seen.count("D0") >= 3 and seen.count("D100") >= 3


def test_word_count_properties_of_subclasses_size_the_native_reads(sim):
    port, plc = sim

    class Fewer(kvo_fa.XManager):
        word_count = property(lambda self: 1)

    class FewerOutputs(kvo_fa.FPMachine):
        y_word_count = property(lambda self: 1)

    m = FewerOutputs(2, 2, 100, port)
    m.x_manager = Fewer([0, 0], [0, 0])
    plc.set("D0", 5)
    plc.set("D1", 6)
    plc.set("D100", 7)
    plc.set("D101", 8)
    with pytest.raises(IndexError, match="x_words has 1 words, the image has 2"):
        m._refresh_x()
    m.x_manager = kvo_fa.XManager([0, 0], [0, 0])
    cycle(m)
    assert [m.wx(0), m.wx(1)] == [5, 6]
    assert list(m._y_words) == [7, 0] and list(m._y_words_old) == [7, 0]
    m.close()
