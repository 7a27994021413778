#include "fa/image/bits.h"

#include <optional>

#include "core/bits.h"
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

BitAddress split_bit_index(py::handle index) {
    py::int_ sixteen(16);
    BitAddress address;
    address.word = checked(PyNumber_FloorDivide(index.ptr(), sixteen.ptr()));
    address.shift = checked(PyNumber_Remainder(index.ptr(), sixteen.ptr()));
    return address;
}

py::object item(py::handle sequence, py::handle index) { return checked(PyObject_GetItem(sequence.ptr(), index.ptr())); }

bool read_bit(py::handle words, py::handle index) {
    int fast = read_bit_fast(words.ptr(), index.ptr());
    if (fast >= 0) return fast == 1;
    BitAddress at = split_bit_index(index);
    py::object word = item(words, at.word);
    py::object mask = checked(PyNumber_Lshift(py::int_(1).ptr(), at.shift.ptr()));
    py::object bit = checked(PyNumber_And(word.ptr(), mask.ptr()));
    return not_equal(bit, py::int_(0));
}

} // namespace fa
