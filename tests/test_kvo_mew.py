"""The PLC link VedUzavur over a simulated PLC: every operation, names, layout, errors."""
import threading

import pytest

import kvo_mew


def test_constructor_keeps_port_baudrate_and_keywords():
    link = kvo_mew.VedUzavur("sim://kw", baudrate=115200, timeout=0.5)
    assert (link.port, link.baudrate, link.options) == ("sim://kw", 115200, {"timeout": 0.5})
    assert kvo_mew.VedUzavur("sim://kw").baudrate == 9600
    kvo_mew.reset_simulators()


@pytest.mark.parametrize("port", ["", "sim://", "SIM://x", "mqtt://plc:502", "tcp://plc:0", None, 3])
def test_port_without_transport_is_refused(port):
    with pytest.raises(kvo_mew.LinkError, match="no transport for port"):
        kvo_mew.VedUzavur(port)


# (setter, getter, name, value written, value read back)
ROUND_TRIPS = [
    ("set_coil", "get_coil", "X1F", True, True),
    ("set_coil", "get_coil", "R999F", 1, True),
    ("set_coil_uint16", "get_coil_uint16", "WY0", 0x8001, 0x8001),
    ("set_coil_uint16", "get_coil_uint16", "WR999", 0xFFFF, 0xFFFF),
    ("set_uint32", "get_uint32", "D10", 0xFFFFFFFF, 0xFFFFFFFF),
    ("set_uint32", "get_uint32", "DT99998", 0x12345678, 0x12345678),
]


@pytest.mark.parametrize("setter, getter, name, value, back", ROUND_TRIPS)
def test_single_element_round_trip(link, setter, getter, name, value, back):
    getattr(link, setter)(1, name, value)
    assert getattr(link, getter)(1, name) == back


@pytest.mark.parametrize("setter, getter, values", [
    ("set_multi_uint16", "get_multi_uint16", [0, 1, 0xFFFF, 0x1234]),
    ("set_multi_uint32", "get_multi_uint32", [0, 0xFFFFFFFF, 0x10000]),
    ("set_multi_int32", "get_multi_int32", [-2147483648, -1, 0, 2147483647]),
])
@pytest.mark.parametrize("name", ["D100", "DT200", "WX10", "WY0", "WR5"])
def test_block_round_trip(link, setter, getter, values, name):
    getattr(link, setter)(1, name, values)
    result = getattr(link, getter)(1, name, len(values))
    assert type(result) is list and result == values


def test_get_multi_uint16_returns_a_list_of_words_first_word_first(link, plc):
    for i in range(3):
        plc.set("D%d" % (7 + i), 100 + i)
    words = link.get_multi_uint16(1, "D7", 3)
    assert type(words) is list and words == [100, 101, 102]
    assert all(type(w) is int for w in words)
    assert link.get_multi_uint16(1, "D7", 0) == []


def test_set_uint16_and_tuple_values(link, plc):
    link.set_uint16(1, "D5", 0xBEEF)
    link.set_uint16(1, "WY2", 7)
    link.set_multi_uint16(1, "D6", (1, 2))
    assert (plc.get("D5"), plc.get("WY2"), plc.get("D6"), plc.get("D7")) == (0xBEEF, 7, 1, 2)


def test_set_multi_uint16_only_reads_its_values(link):
    values = [1, 2, 3]
    link.set_multi_uint16(1, "D0", values)
    assert values == [1, 2, 3]
    values[0] = 99
    assert link.get_multi_uint16(1, "D0", 1) == [1]


@pytest.mark.parametrize("relay, word, bit", [
    ("X0", "WX0", 0), ("XF", "WX0", 15), ("X000", "WX0", 0), ("X1F", "WX1", 15), ("X1f", "WX1", 15),
    ("Y10", "WY1", 0), ("R9F", "WR9", 15), ("R100", "WR10", 0), ("X12F", "WX12", 15), ("R999F", "WR999", 15),
])
def test_relay_is_bit_of_its_relay_word(link, relay, word, bit):
    link.set_coil(1, relay, True)
    assert link.get_coil_uint16(1, word) == 1 << bit
    link.set_coil_uint16(1, word, 0xFFFF ^ (1 << bit))
    assert link.get_coil(1, relay) is False


def test_x_y_r_and_d_are_separate_areas(link, plc):
    link.set_uint16(1, "WX3", 1)
    link.set_uint16(1, "WY3", 2)
    link.set_uint16(1, "WR3", 3)
    link.set_uint16(1, "DT3", 4)
    assert [plc.get(n) for n in ("WX3", "WY3", "WR3", "D3")] == [1, 2, 3, 4]


def test_double_words_are_low_word_first(link, plc):
    link.set_uint32(1, "D10", 0x12345678)
    assert (plc.get("D10"), plc.get("D11")) == (0x5678, 0x1234)
    link.set_multi_int32(1, "D20", [-2, 65536])
    assert [plc.get("D%d" % i) for i in range(20, 24)] == [0xFFFE, 0xFFFF, 0, 1]
    assert link.get_multi_uint32(1, "D20", 2) == [0xFFFFFFFE, 65536]
    assert link.get_uint32(1, "D20") == 0xFFFFFFFE


def test_each_station_has_its_own_memory(link, plc):
    for station in (1, 2, 3):
        link.set_coil_uint16(station, "WY0", station * 10)
        link.set_uint16(station, "D0", station)
    assert [link.get_coil_uint16(s, "WY0") for s in (1, 2, 3)] == [10, 20, 30]
    assert [plc.get("D0", station=s) for s in (1, 2, 3, 4)] == [1, 2, 3, 0]
    assert link.get_coil_uint16(255, "WY0") == 0


def test_links_naming_one_simulator_share_it(link, plc):
    other = kvo_mew.VedUzavur("sim://" + plc.name)
    other.set_uint16(1, "D1", 42)
    assert link.get_multi_uint16(1, "D1", 1) == [42]
    kvo_mew.VedUzavur("sim://elsewhere").set_uint16(1, "D1", 7)
    assert link.get_multi_uint16(1, "D1", 1) == [42]


REFUSED = [
    # unknown names and wrong kinds of element
    (kvo_mew.AddressError, "get_coil", (1, "x0")),
    (kvo_mew.AddressError, "get_coil", (1, "X")),
    (kvo_mew.AddressError, "get_coil", (1, "XA0")),
    (kvo_mew.AddressError, "get_coil", (1, "X1G")),
    (kvo_mew.AddressError, "set_coil", (1, "R1000F", True)),
    (kvo_mew.AddressError, "set_coil", (1, "T5", True)),
    (kvo_mew.AddressError, "set_coil", (1, "D0", True)),
    (kvo_mew.AddressError, "set_coil", (1, "", True)),
    (kvo_mew.AddressError, "set_coil_uint16", (1, "D0", 1)),
    (kvo_mew.AddressError, "set_coil_uint16", (1, "X0", 1)),
    (kvo_mew.AddressError, "set_uint16", (1, "X0", 1)),
    (kvo_mew.AddressError, "set_uint16", (1, "W0", 1)),
    (kvo_mew.AddressError, "set_uint16", (1, "D", 1)),
    (kvo_mew.AddressError, "set_uint16", (1, "D-1", 1)),
    (kvo_mew.AddressError, "set_uint16", (1, "D 1", 1)),
    (kvo_mew.AddressError, "set_multi_uint16", (1, "DX1", [1])),
    # outside the memory
    (kvo_mew.AddressError, "set_uint16", (1, "D100000", 1)),
    (kvo_mew.AddressError, "set_uint16", (1, "D99999999999999999999", 1)),
    (kvo_mew.AddressError, "set_coil_uint16", (1, "WY1000", 1)),
    (kvo_mew.AddressError, "set_multi_uint16", (1, "D99999", [1, 2])),
    # only plain ASCII numbers, although Python's int() reads these
    (kvo_mew.AddressError, "get_coil", (1, "X\u0661F")),
    (kvo_mew.AddressError, "get_coil", (1, "X+1F")),
    (kvo_mew.AddressError, "get_coil", (1, "X1\u20ac")),
    (kvo_mew.AddressError, "set_uint16", (1, "D1_0", 1)),
    (kvo_mew.AddressError, "set_uint16", (1, "WQ1", 1)),
    (kvo_mew.AddressError, "set_multi_uint16", (1, "WY998", [1, 2, 3])),
    (kvo_mew.AddressError, "set_uint32", (1, "D99999", 1)),
    (kvo_mew.AddressError, "set_multi_int32", (1, "D99998", [1, 2])),
    (kvo_mew.AddressError, "get_multi_uint16", (1, "D0", 100001)),
    (kvo_mew.AddressError, "get_multi_uint32", (1, "D0", 50001)),
    # stations
    (kvo_mew.AddressError, "set_uint16", (0, "D0", 1)),
    (kvo_mew.AddressError, "set_uint16", (256, "D0", 1)),
    (TypeError, "set_uint16", ("1", "D0", 1)),
    (TypeError, "set_uint16", (1.0, "D0", 1)),
    # values
    (TypeError, "set_uint16", (1, 100, 1)),
    (TypeError, "set_uint16", (1, "D0", 1.0)),
    (TypeError, "set_uint16", (1, "D0", "1")),
    (TypeError, "set_uint16", (1, "D0", None)),
    (ValueError, "set_uint16", (1, "D0", 65536)),
    (ValueError, "set_uint16", (1, "D0", -1)),
    (ValueError, "set_coil_uint16", (1, "WY0", 1 << 70)),
    (ValueError, "set_coil", (1, "Y0", 2)),
    (TypeError, "set_coil", (1, "Y0", "on")),
    (ValueError, "set_uint32", (1, "D0", 1 << 32)),
    (ValueError, "set_uint32", (1, "D0", -1)),
    (TypeError, "set_multi_uint16", (1, "D0", 5)),
    (TypeError, "set_multi_uint16", (1, "D0", "12")),
    (TypeError, "set_multi_uint16", (1, "D0", [1, 2, None])),
    (ValueError, "set_multi_uint16", (1, "D0", [1, 2, 65536])),
    (ValueError, "set_multi_uint32", (1, "D0", [1, -1])),
    (ValueError, "set_multi_int32", (1, "D0", [1, 2147483648])),
    (ValueError, "get_multi_uint16", (1, "D0", -1)),
    (TypeError, "get_multi_uint16", (1, "D0", 2.0)),
]


@pytest.mark.parametrize("error, op, args", REFUSED)
def test_refused_call_changes_nothing(link, plc, error, op, args):
    link.set_multi_uint16(1, "D0", [11, 12, 13])
    link.set_coil_uint16(1, "WY0", 0x00F0)
    before = ([plc.get("D%d" % i) for i in (0, 1, 2, 99998, 99999)],
              [plc.get(n) for n in ("WY0", "WY998", "WY999", "WX0", "WR99")], plc.counts)
    with pytest.raises(error) as caught:
        getattr(link, op)(*args)
    assert op + "()" in str(caught.value)
    after = ([plc.get("D%d" % i) for i in (0, 1, 2, 99998, 99999)],
             [plc.get(n) for n in ("WY0", "WY998", "WY999", "WX0", "WR99")], plc.counts)
    assert after == before  # no memory change, and no transaction reached the PLC


def test_address_error_is_a_link_error():
    assert issubclass(kvo_mew.AddressError, kvo_mew.LinkError)
    assert issubclass(kvo_mew.LinkError, Exception)


def test_link_opens_lazily_and_reopens_after_close(link, plc):
    assert not link.is_open
    assert link.get_coil(1, "X0") is False
    assert link.is_open
    link.close()
    link.close()
    assert not link.is_open
    link.set_coil_uint16(1, "WY0", 5)  # a machine's reset keeps refreshing through a closed link
    assert link.is_open and plc.get("WY0") == 5
    link.start()
    link.start()
    assert link.get_coil_uint16(1, "WY0") == 5


def test_reopened_link_attaches_to_a_fresh_simulator_after_reset(link, plc):
    link.set_uint16(1, "D0", 9)
    kvo_mew.reset_simulators()
    assert link.get_multi_uint16(1, "D0", 1) == [9]  # still attached to the old one
    link.close()
    assert link.get_multi_uint16(1, "D0", 1) == [0]
    assert kvo_mew.simulator(plc.name).counts == {"get_multi_uint16": 1}


def test_threads_hammering_one_plc_lose_no_update(plc):
    links = [kvo_mew.VedUzavur("sim://" + plc.name) for _ in range(2)]
    rounds, failures = 150, []

    def hammer(t):
        link = links[t % 2]
        try:
            for i in range(rounds):
                # set_coil is a read-modify-write of WR0 inside the PLC: bits
                # of other threads must survive it.
                link.set_coil(1, "R0%X" % t, i % 2 == 0)
                link.set_multi_uint32(1, "D%d" % (t * 2), [i])
                if link.get_multi_uint32(1, "D%d" % (t * 2), 1) != [i]:
                    failures.append((t, i))
                link.set_coil(2, "R0%X" % t, True)
        except Exception as e:  # noqa: BLE001 - reported below
            failures.append(e)

    threads = [threading.Thread(target=hammer, args=(t,)) for t in range(8)]
    try:
        for thread in threads:
            thread.start()
    finally:
        for thread in threads:
            thread.join()
    assert failures == []
    assert plc.get("WR0") == 0  # every thread's last write cleared its bit
    assert plc.get("WR0", station=2) == 0xFF
    assert sum(plc.counts.values()) == 8 * rounds * 4
    for link in links:
        link.close()


def test_kvo_fa_takes_its_link_class_from_here():
    import kvo_fa
    assert kvo_fa._Fp is kvo_mew.VedUzavur
