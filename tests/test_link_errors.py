"""How the link reports a failure: the exception's type follows what failed,
the link keeps the very exception it raised as its last error, and the C API
(kvo_mew._C_API, called here through ctypes as another extension calls it)
refuses what the Python method refuses, with the same exception."""
import ctypes
import sys
import threading

import pytest

import kvo_mew


class CApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_int), ("link_type", ctypes.c_void_p),
                ("get_multi_uint16", ctypes.c_void_p), ("set_multi_uint16", ctypes.c_void_p),
                ("get_coil_uint16", ctypes.c_void_p), ("set_coil_uint16", ctypes.c_void_p)]


def c_api():
    pointer_of = ctypes.pythonapi.PyCapsule_GetPointer
    pointer_of.restype = ctypes.c_void_p
    pointer_of.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api = CApi.from_address(pointer_of(kvo_mew._C_API, b"kvo_mew._C_API"))
    assert api.version == 1
    words = ctypes.POINTER(ctypes.c_uint16)
    obj = ctypes.py_object
    # PYFUNCTYPE keeps the GIL and raises the exception a function set.
    kinds = {
        "get_multi_uint16": ctypes.PYFUNCTYPE(ctypes.c_int, obj, obj, obj, ctypes.c_ssize_t, words),
        "set_multi_uint16": ctypes.PYFUNCTYPE(ctypes.c_int, obj, obj, obj, words, ctypes.c_ssize_t),
        "get_coil_uint16": ctypes.PYFUNCTYPE(ctypes.c_int, obj, obj, obj, words),
        "set_coil_uint16": ctypes.PYFUNCTYPE(ctypes.c_int, obj, obj, obj, ctypes.c_uint16),
    }
    return {name: kind(getattr(api, name)) for name, kind in kinds.items()}


def c_call(api, link, op, station, name, values):
    """Runs `op` through the C API: (status, words)."""
    buffer = (ctypes.c_uint16 * max(len(values), 1))(*values)
    if op == "get_multi_uint16":
        return api[op](link, station, name, len(values), buffer), list(buffer)[:len(values)]
    if op == "set_multi_uint16":
        return api[op](link, station, name, buffer, len(values)), values
    if op == "get_coil_uint16":
        return api[op](link, station, name, buffer), [buffer[0]]
    return api[op](link, station, name, values[0]), values


def py_call(link, op, station, name, values):
    if op == "get_multi_uint16":
        return link.get_multi_uint16(station, name, len(values))
    if op == "set_multi_uint16":
        return link.set_multi_uint16(station, name, values)
    if op == "get_coil_uint16":
        return link.get_coil_uint16(station, name)
    return link.set_coil_uint16(station, name, values[0])


REFUSED = [
    ("get_multi_uint16", 0, "D0", [0]),
    ("get_multi_uint16", 1, "X0", [0]),
    ("get_multi_uint16", 1, 5, [0]),
    ("get_multi_uint16", 1, "D99999", [0, 0]),
    ("get_multi_uint16", "1", "D0", [0]),
    ("set_multi_uint16", 256, "D0", [1]),
    ("set_multi_uint16", 1, "Q7", [1]),
    ("get_coil_uint16", 1, "D0", [0]),
    ("get_coil_uint16", 1.5, "WX0", [0]),
    ("set_coil_uint16", 1, "WX1000", [1]),
]


@pytest.mark.parametrize("op, station, name, values", REFUSED)
def test_c_api_refuses_what_the_method_refuses_with_the_same_exception(link, plc, op, station, name, values):
    api = c_api()
    with pytest.raises(Exception) as by_method:
        py_call(link, op, station, name, values)
    with pytest.raises(Exception) as by_c_api:
        c_call(api, link, op, station, name, values)
    assert type(by_c_api.value) is type(by_method.value)
    assert str(by_c_api.value) == str(by_method.value)
    assert plc.counts == {}  # refused before any transaction


def test_c_api_moves_words_and_raises_a_failed_transaction_as_the_method_does(link, plc):
    api = c_api()
    assert c_call(api, link, "set_multi_uint16", 1, "D10", [7, 8, 9]) == (0, [7, 8, 9])
    assert c_call(api, link, "get_multi_uint16", 1, "D10", [0, 0, 0]) == (0, [7, 8, 9])
    assert c_call(api, link, "set_coil_uint16", 1, "WY2", [0x8001]) == (0, [0x8001])
    assert c_call(api, link, "get_coil_uint16", 1, "WY2", [0]) == (0, [0x8001])
    plc.fail_next(1)
    with pytest.raises(kvo_mew.LinkError, match="fail_next") as failed:
        c_call(api, link, "get_multi_uint16", 1, "D10", [0])
    assert type(failed.value) is kvo_mew.LinkError
    assert link.health.last_error is failed.value


def test_c_api_refuses_an_object_that_is_no_link():
    api = c_api()
    with pytest.raises(TypeError, match="needs a kvo_mew.VedUzavur, not object"):
        c_call(api, object(), "get_multi_uint16", 1, "D0", [0])


def failing_transaction(kind, link, plc):
    if kind == "fail_next":
        plc.fail_next(1)
        link.get_multi_uint16(1, "D0", 1)
    elif kind == "closed":
        plc.latency = 5
        closer = threading.Timer(0.2, link.close)
        closer.start()
        try:
            link.get_multi_uint16(1, "D0", 1)
        finally:
            closer.cancel()
            closer.join()
    else:
        ident = threading.get_ident()
        kvo_mew.VedUzavur.interrupt_thread(ident)
        try:
            link.set_coil(1, "Y0", True)
        finally:
            kvo_mew.VedUzavur.resume_thread(ident)


@pytest.mark.parametrize("kind, cause, text", [
    ("fail_next", "other", "failed the get_multi_uint16 transaction of station 1 (fail_next)"),
    ("closed", "closed", "get_multi_uint16() station 1: link closed"),
    ("interrupted", "interrupted", "set_coil() station 1: transaction interrupted"),
])
def test_a_failed_transaction_raises_a_plain_link_error_kept_as_the_last_error(link, plc, kind, cause, text):
    with pytest.raises(kvo_mew.LinkError) as failed:
        failing_transaction(kind, link, plc)
    assert type(failed.value) is kvo_mew.LinkError
    assert text in str(failed.value)
    assert link.health.last_error is failed.value
    assert link.health.last_cause == cause
    assert link.health.failed == 1


@pytest.mark.parametrize("call, error", [
    (lambda link: link.get_coil(1, "D0"), kvo_mew.AddressError),
    (lambda link: link.get_coil(300, "X0"), kvo_mew.AddressError),
    (lambda link: link.set_uint16(1, "D0", -1), ValueError),
    (lambda link: link.set_multi_uint32(1, "D0", {1}), TypeError),
])
def test_a_refused_call_counts_no_transaction_and_keeps_no_last_error(link, plc, call, error):
    with pytest.raises(error):
        call(link)
    assert link.health.transactions == 0 and link.health.last_error is None
    assert plc.counts == {}


def test_a_callback_device_function_cannot_start_a_link_it_runs_inside(plc, link, monkeypatch):
    # Its thread holds the link for the transaction that updates the devices:
    # starting the link there would wait for itself.
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    plc.add_callback("X3", ["X1"], lambda x1: x1 and link.start(), name="starter")
    link.set_coil(1, "X1", True)
    assert [r.exc_type for r in reports] == [kvo_mew.LinkError]
    assert "a callback device's function cannot use a PLC link" in str(reports[0].exc_value)
    assert link.get_coil(1, "X1") is True  # the link still serves
