import threading

import pytest

import kvo_fa
from backend_fakes import links  # noqa: F401  (fixture)


@pytest.fixture
def fp(links, machines):
    def build(*args, **kwargs):
        m = kvo_fa.FPMachine(*args, **kwargs)
        machines.append(m)
        return m, links[-1]
    return build


def test_members_in_order():
    own = [k for k in vars(kvo_fa.FPMachine) if (not k.startswith("_") or k == "__init__")]
    assert own == [
        "__init__", "native_machine_handle", "do_get_x_uint16", "do_get_y_uint16", "do_set_y_uint16",
        "get_coil", "get_uint32", "get_multi_uint16", "get_multi_uint32", "get_multi_int32", "set_uint16",
        "set_multi_uint16", "set_uint32", "set_multi_uint32", "set_multi_int32", "set_coil", "name_to_index",
        "index_to_name", "start", "set_y_sync"]
    assert issubclass(kvo_fa.FPMachine, kvo_fa.MachineBase)


def test_register_map_and_defaults(fp):
    m, plc = fp(2, 1, 100, "COM3")
    assert plc.args == ("COM3",) and plc.kwargs == {"baudrate": 9600}
    assert m.native_machine_handle is plc and m._plc is plc
    assert m._FPMachine__y_shift == 100 and m._FPMachine__station == 1
    plc.data.update({(1, 0): 0x8001, (1, 1): 0x0004, (1, 100): 0x0100})
    m.start()
    m.sync_xy_refresher()
    assert m.x("X0") and m.x("XF") and m.x("X12") and not m.x("X1")
    assert m.wx(1) == 4 and m.y("Y8")
    m.set_y("Y3", True)
    m.sync_xy_refresher()
    assert plc.data[(1, 100)] == 0x0108
    assert ("set_multi_uint16", 1, "D100", [0x0108]) in plc.calls
    m.close()
    gets = {c for c in plc.ops("get_multi_uint16")}
    assert gets == {("get_multi_uint16", 1, "D0", 2), ("get_multi_uint16", 1, "D100", 1)}
    assert "close" not in [c[0] for c in plc.calls]  # the link stays open


def test_station_and_extra_keywords_reach_the_link(fp):
    m, plc = fp(1, 2, 20, "COM1", 115200, station=3, timeout=0.5)
    assert plc.args == ("COM1",) and plc.kwargs == {"timeout": 0.5, "baudrate": 115200}
    m.start()
    m.set_y(17, True)
    m.sync_xy_refresher()
    m.close()
    assert {c[1] for c in plc.calls if c[0] != "start"} == {3}
    assert ("set_multi_uint16", 3, "D20", [0, 2]) in plc.calls


GETTERS = [("get_coil", ("R5",)), ("get_uint32", ("D10",)), ("get_multi_uint32", ("D10", 2)),
           ("get_multi_int32", ("D10", 2))]
SETTERS = [("set_uint16", ("D1", 7)), ("set_uint32", ("D1", 70000)), ("set_multi_uint32", ("D1", [1, 2])),
           ("set_multi_int32", ("D1", [-1])), ("set_coil", ("R5", True)), ("set_multi_uint16", ("D3", [4, 5]))]


@pytest.mark.parametrize("op, args", GETTERS + SETTERS)
def test_forwarding_passes_station_first(fp, op, args):
    m, plc = fp(1, 1, 10, "COM1", station=5)
    result = getattr(m, op)(*args)
    assert plc.calls == [(op, 5) + args]
    assert result == (("answer", op) if op.startswith("get_") else None)


def test_get_multi_uint16_returns_the_links_list(fp):
    m, plc = fp(1, 1, 10, "COM1", station=5)
    plc.data.update({(5, 0): 1, (5, 1): 2, (5, 2): 3})
    assert m.get_multi_uint16("D0", 3) == [1, 2, 3]
    assert plc.calls == [("get_multi_uint16", 5, "D0", 3)]


def test_transfers_use_overridden_forwarding(links, machines):
    seen = []

    class Spy(kvo_fa.FPMachine):
        def get_multi_uint16(self, name, count):
            seen.append((name, count))
            return [9] * count

        def set_multi_uint16(self, name, values):
            seen.append((name, values))
            return "written"

    m = Spy(2, 1, 7, "COM1")
    machines.append(m)
    assert m.do_get_x_uint16() == [9, 9] and m.do_get_y_uint16() == [9]
    assert m.do_set_y_uint16([1]) == "written"
    assert seen == [("D0", 2), ("D7", 1), ("D7", [1])]
    assert links[-1].calls == []


@pytest.mark.parametrize("call", [
    lambda m: m.do_set_y_uint16((1,)),
    lambda m: m.set_multi_uint16("D0", (1,)),
    lambda m: m.set_multi_uint16(b"D0", [1]),
    lambda m: m.set_y_sync(5, True),
    lambda m: m.set_y_sync("Y0", True, "soon"),
])
def test_argument_types_refused_before_any_link_call(fp, call):
    m, plc = fp(1, 1, 10, "COM1")
    with pytest.raises(TypeError):
        call(m)
    assert plc.calls == [] and m.wy(0) == 0


def test_start_calls_link_start_first_and_reset_again(fp):
    m, plc = fp(1, 1, 10, "COM1")
    baseline = set(threading.enumerate())
    threads_at_start = []
    plc.on_start = lambda: threads_at_start.append(set(threading.enumerate()) - baseline)
    m.start()
    m.sync_xy_refresher()
    m.reset()
    m.sync_xy_refresher()
    m.close()
    assert threads_at_start == [set(), set()]
    assert [c[0] for c in plc.calls].count("start") == 2
    assert "close" not in [c[0] for c in plc.calls]


def test_set_y_sync_returns_without_sleeping_when_bit_shows(fp, monkeypatch):
    m, plc = fp(1, 1, 10, "COM1")
    naps = []
    monkeypatch.setattr(kvo_fa, "_sleep", naps.append)
    m.set_y_sync("Y2", True)
    assert m.y(2) and m.wy(0) == 4
    m.set_y_sync("Y2", 0)
    assert m.wy(0) == 0
    m.set_y_sync("Y2", 2)  # any true value sets the bit and is met by it
    assert m.y(2)
    assert naps == []


def test_set_y_sync_ends_on_stop_or_fault(links, machines, monkeypatch):
    class Stuck(kvo_fa.FPMachine):
        def y(self, index):
            return False

    m = Stuck(1, 1, 10, "COM1")
    machines.append(m)
    naps = []
    monkeypatch.setattr(kvo_fa, "_sleep", naps.append)
    with pytest.raises(kvo_fa.StopException):  # a machine never started is stopped
        m.set_y_sync("Y1", True, 0.5)
    assert m.wy(0) == 2 and naps == []
    m._stop_flag = False
    m._exception_flag = True
    calls = []
    original = kvo_fa.MachineBase._check_stop_and_exception_flags

    def count_then_check(self):
        calls.append(1)
        if len(calls) >= 3:
            original(self)

    monkeypatch.setattr(Stuck, "check_stop_and_exception_flags", count_then_check)
    with pytest.raises(kvo_fa.AbortByOtherException):
        m.set_y_sync("Y1", True, 1)
    assert naps == [1.0, 1.0] and all(type(n) is float for n in naps)
