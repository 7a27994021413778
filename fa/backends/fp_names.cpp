// FP element addressing. Relay names (X, Y, R) are a decimal word number
// followed by one hexadecimal bit digit and stand for word * 16 + bit; word
// names (D, DT, W + one letter) stand for their decimal number. Parsing uses
// the host's indexing, slicing and int() so malformed names fail exactly as
// the host's own operations do.
#include "fa/backends/fp_names.h"

#include "fa/module/module.h"

namespace fa {

namespace {

// obj[i], with the host's errors ("string index out of range", ...).
py::object at(py::handle obj, Py_ssize_t i) { return checked(PySequence_GetItem(obj.ptr(), i)); }

// obj[start:stop]
py::object slice(py::handle obj, Py_ssize_t start, Py_ssize_t stop) {
    return checked(PySequence_GetSlice(obj.ptr(), start, stop));
}

Py_ssize_t length(py::handle obj) {
    Py_ssize_t n = PyObject_Size(obj.ptr());
    if (n < 0) raise_current();
    return n;
}

bool is(py::handle ch, const char *text) { return equal(ch, py::str(text)); }

bool is_relay_letter(py::handle ch) { return is(ch, "X") || is(ch, "Y") || is(ch, "R"); }

// int(text) / int(text, base=16) of the host.
py::object to_int(py::handle text, int base) {
    return checked(PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyLong_Type), "Oi", text.ptr(), base));
}

// A byte-string name is the same name as its text.
py::object as_text(py::handle name) {
    if (PyBytes_Check(name.ptr()))
        return checked(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(name.ptr()), PyBytes_GET_SIZE(name.ptr()), nullptr));
    return py::reinterpret_borrow<py::object>(name);
}

py::object name_to_index(py::handle, const Args &a) {
    py::object name = as_text(a[0]);
    py::object first = at(name, 0);
    if (is_relay_letter(first)) {
        py::object digits = slice(name, 1, PY_SSIZE_T_MAX);
        Py_ssize_t n = length(digits);
        check(n <= 4);
        py::object dec_part = n > 0 ? slice(digits, 0, n - 1) : py::object(py::str(""));
        if (length(dec_part) == 0) dec_part = py::str("0");
        // digits[-1]: an empty remainder (a bare letter) is an index error
        py::object hex_part = at(digits, -1);
        py::object word = to_int(dec_part, 10);
        py::object bit = to_int(hex_part, 16);
        return checked(PyNumber_Add(checked(PyNumber_Multiply(word.ptr(), py::int_(16).ptr())).ptr(), bit.ptr()));
    }
    if (is(first, "D")) {
        if (is(at(name, 1), "T")) return to_int(slice(name, 2, PY_SSIZE_T_MAX), 10);
        return to_int(slice(name, 1, PY_SSIZE_T_MAX), 10);
    }
    if (is(first, "W")) return to_int(slice(name, 2, PY_SSIZE_T_MAX), 10);
    raise(PyExc_ValueError, "Invalid FP element name: %S", name.ptr());
}

// "%d" / "%d%X" formatting of the host.
py::object format(const char *fmt, py::handle values) { return checked(PyUnicode_Format(py::str(fmt).ptr(), values.ptr())); }

py::object index_to_name(py::handle, const Args &a) {
    py::handle prefix = a[0], index = a[1];
    if (PyUnicode_Check(index.ptr())) return py::reinterpret_borrow<py::object>(index);
    py::object first = at(prefix, 0);
    if (is_relay_letter(first)) {
        py::object sixteen = py::int_(16);
        py::object word = checked(PyNumber_FloorDivide(index.ptr(), sixteen.ptr()));
        py::object bit = checked(PyNumber_Remainder(index.ptr(), sixteen.ptr()));
        return checked(PyNumber_Add(prefix.ptr(), format("%d%X", py::make_tuple(word, bit)).ptr()));
    }
    if (is(first, "D") || is(first, "W"))
        return checked(PyNumber_Add(prefix.ptr(), format("%d", py::make_tuple(index)).ptr()));
    raise(PyExc_ValueError, "Invalid FP element prefix: %S", prefix.ptr());
}

} // namespace

const FunctionSpec kFpNameToIndex{"name_to_index", name_to_index, {{"name"}}};
const FunctionSpec kFpIndexToName{"index_to_name", index_to_name, {{"prefix", "str"}, {"index", "int"}}, "str"};

} // namespace fa
