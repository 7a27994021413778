#include "fa/image/bits.h"

#include <optional>

#include "core/bits.h"
#include "fa/module/calls.h"
#include "fa/module/module.h"

namespace fa {

namespace {

namespace core = kvo::core;

// An exact int as 64 bits; false when it is none or does not fit.
bool as_int64(PyObject *obj, int64_t &value) {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    value = v;
    return true;
}

// The common case without allocations: an int index into a list of ints
// that fit a machine word. Returns -1 when the slow path must decide.
int read_bit_fast(PyObject *words, PyObject *index) {
    int64_t n = 0, word = 0;
    if (!PyList_CheckExact(words) || !as_int64(index, n)) return -1;
    core::BitAddress at = core::split_bit_index(n);
    std::optional<size_t> position = core::word_position(at.word, size_t(PyList_GET_SIZE(words)));
    if (!position) return -1; // let the host raise its IndexError
    if (!as_int64(PyList_GET_ITEM(words, Py_ssize_t(*position)), word)) return -1;
    return core::bit_of(word, at.shift) ? 1 : 0;
}

} // namespace

bool split_bit_index(py::handle index, BitAddress &at) {
    py::object sixteen = steal(PyLong_FromLong(16));
    if (!sixteen || !(at.word = steal(PyNumber_FloorDivide(index.ptr(), sixteen.ptr())))) return false;
    return bool(at.shift = steal(PyNumber_Remainder(index.ptr(), sixteen.ptr())));
}

int read_bit(py::handle words, py::handle index) {
    int fast = read_bit_fast(words.ptr(), index.ptr());
    if (fast >= 0) return fast;
    // In the order of the host's words[index // 16] & (1 << index % 16) != 0,
    // each step's result held while the next may run Python code.
    py::object sixteen = steal(PyLong_FromLong(16));
    if (!sixteen) return -1;
    py::object position = steal(PyNumber_FloorDivide(index.ptr(), sixteen.ptr()));
    if (!position) return -1;
    py::object word = steal(PyObject_GetItem(words.ptr(), position.ptr()));
    if (!word) return -1;
    py::object shift = steal(PyNumber_Remainder(index.ptr(), sixteen.ptr()));
    if (!shift) return -1;
    py::object one = steal(PyLong_FromLong(1));
    py::object mask = one ? steal(PyNumber_Lshift(one.ptr(), shift.ptr())) : one;
    if (!mask) return -1;
    py::object bit = steal(PyNumber_And(word.ptr(), mask.ptr()));
    if (!bit) return -1;
    // The host's !=, without the identity shortcut of RichCompareBool.
    py::object zero = steal(PyLong_FromLong(0));
    py::object differs = zero ? steal(PyObject_RichCompare(bit.ptr(), zero.ptr(), Py_NE)) : zero;
    return differs ? PyObject_IsTrue(differs.ptr()) : -1;
}

} // namespace fa
