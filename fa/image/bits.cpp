#include "fa/image/bits.h"

#include "fa/module/module.h"

namespace fa {

namespace {

// The common case without allocations: an int index into a list of ints
// that fit a machine word. Returns -1 when the slow path must decide.
int read_bit_fast(PyObject *words, PyObject *index) {
    if (!PyLong_CheckExact(index) || !PyList_CheckExact(words)) return -1;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (overflow || (n == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return -1;
    }
    long long word = n >= 0 ? n / 16 : -((-n + 15) / 16);
    long long shift = n - word * 16;
    Py_ssize_t size = PyList_GET_SIZE(words);
    if (word < 0) word += size;
    if (word < 0 || word >= size) return -1; // let the host raise its IndexError
    PyObject *value = PyList_GET_ITEM(words, static_cast<Py_ssize_t>(word));
    if (!PyLong_CheckExact(value)) return -1;
    long long w = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow || (w == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return -1;
    }
    return ((w >> shift) & 1) ? 1 : 0;
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
