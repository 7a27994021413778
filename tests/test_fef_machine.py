import threading

import pytest

import kvo_fa
from backend_fakes import links  # noqa: F401  (fixture)


@pytest.fixture
def fef(links, machines):
    def build(*args, **kwargs):
        m = kvo_fa.FEFMachine(*args, **kwargs)
        machines.append(m)
        return m, links[-1]
    return build


def test_members_in_order():
    own = [k for k in vars(kvo_fa.FEFMachine) if (not k.startswith("_") or k == "__init__")]
    assert own == ["__init__", "do_get_x_uint16", "do_get_y_uint16", "do_set_y_uint16", "close"]


def test_one_module_by_default(fef):
    m, plc = fef("COM7")
    assert plc.args == ("COM7",) and plc.kwargs == {"baudrate": 115200}
    assert m.plc is plc and m.xy_module_count == 1
    assert m.x_word_count == 1 and m.y_word_count == 1
    m.start()
    m.sync_xy_refresher()
    m.close()
    assert plc.ops("get_coil_uint16")[0] == ("get_coil_uint16", 1, "WX0")
    assert "start" not in [c[0] for c in plc.calls]


def test_constructor_takes_nothing_else(links):
    with pytest.raises(TypeError):
        kvo_fa.FEFMachine("COM1", 1, 9600, station=2)
    with pytest.raises(TypeError):
        kvo_fa.FEFMachine("COM1", 1, 9600, 2)
    assert links == []


def test_module_map_and_cycle_order(fef):
    m, plc = fef("COM1", 3, baudrate=57600)
    assert plc.kwargs == {"baudrate": 57600}
    plc.coils[(2, "WX0")] = 0b10
    plc.coils[(3, "WY0")] = 0x8000
    m.start()
    m.sync_xy_refresher()
    assert m.x(17) and not m.x(16) and not m.x(1)
    assert m.wx(1) == 2 and m.y(47) and m.wy(2) == 0x8000
    m.close()
    cycle = [("get_coil_uint16", s, "WX0") for s in (1, 2, 3)] + [("get_coil_uint16", s, "WY0") for s in (1, 2, 3)]
    calls = plc.ops("get_coil_uint16", "set_coil_uint16")
    assert len(calls) >= 6 and len(calls) % 6 == 0
    assert calls == cycle * (len(calls) // 6)


def test_a_change_writes_every_word_in_module_order(fef):
    m, plc = fef("COM1", 3)
    m.start()
    m.sync_xy_refresher()
    m.set_y(17, True)
    m.sync_xy_refresher()
    m.close()
    writes = plc.ops("set_coil_uint16")
    assert writes == [("set_coil_uint16", 1, "WY0", 0), ("set_coil_uint16", 2, "WY0", 2),
                      ("set_coil_uint16", 3, "WY0", 0)]


def test_transfers_directly(fef):
    m, plc = fef("COM1", 3)
    assert m.do_set_y_uint16([10, 20, 30]) is None
    assert plc.calls == [("set_coil_uint16", 1, "WY0", 10), ("set_coil_uint16", 2, "WY0", 20),
                         ("set_coil_uint16", 3, "WY0", 30)]
    first, second = m.do_get_y_uint16(), m.do_get_y_uint16()
    assert first == [10, 20, 30] and first is not second and type(first) is list
    assert m.do_get_x_uint16() == [0, 0, 0]


@pytest.mark.parametrize("values", [(1, 2, 3), None, "abc"])
def test_do_set_y_uint16_needs_a_list(fef, values):
    m, plc = fef("COM1", 3)
    with pytest.raises(TypeError):
        m.do_set_y_uint16(values)
    assert plc.calls == []


def test_close_ends_threads_before_closing_the_link(fef):
    m, plc = fef("COM1", 2)
    baseline = set(threading.enumerate())
    alive_at_close = []
    plc.on_close = lambda: alive_at_close.append([t for t in threading.enumerate() if t not in baseline])
    m.start()
    m.sync_xy_refresher()
    m.close()
    assert alive_at_close == [[]]
    assert plc.calls[-1] == ("close",)


def test_reset_closes_the_link_and_starts_new_threads_without_link_start(fef):
    m, plc = fef("COM1", 2)
    m.start()
    m.sync_xy_refresher()
    m.reset()
    plc.coils[(2, "WX0")] = 1
    m.sync_xy_refresher()
    assert m.x(16)
    m.close()
    ops = [c[0] for c in plc.calls]
    assert ops.count("close") == 2 and "start" not in ops
