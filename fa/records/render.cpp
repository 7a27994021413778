#include "fa/records/render.h"

#include "fa/module/calls.h"
#include "fa/module/module.h"

#include <unordered_map>

namespace fa {

namespace {

// The integer conversion of a target state: ints (bools included) as they
// are, other objects through __int__ (or __index__); anything else is
// "an integer is required".
py::object to_integer(py::handle value) {
    PyObject *v = value.ptr();
    PyNumberMethods *nb = Py_TYPE(v)->tp_as_number;
    if (!PyLong_Check(v) && !(nb && (nb->nb_int || nb->nb_index)))
        raise(PyExc_TypeError, "an integer is required");
    PyObject *result = PyLong_Check(v) ? PyNumber_Long(v) : (nb->nb_int ? nb->nb_int(v) : PyNumber_Index(v));
    if (!result) raise_current();
    py::object owned = py::reinterpret_steal<py::object>(result);
    if (!PyLong_Check(result))
        raise(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result)->tp_name);
    return owned;
}

// The fixed texts are static, so each is decoded once and kept for the life
// of the process.
PyObject *literal(const char *text) {
    static std::unordered_map<const char *, PyObject *> decoded;
    auto found = decoded.find(text);
    if (found != decoded.end()) return found->second;
    PyObject *str = PyUnicode_FromString(text);
    if (!str) raise_current();
    decoded.emplace(text, str);
    return str;
}

// format(value, ".01f"); a float or an int that fits a double is rendered
// here as the host's float formatting would.
py::object seconds_text(PyObject *value) {
    double v = 0;
    if (PyFloat_CheckExact(value)) {
        v = PyFloat_AS_DOUBLE(value);
    } else if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow || n > (1LL << 53) || n < -(1LL << 53))
            return checked(PyObject_Format(value, names.format_seconds));
        v = static_cast<double>(n);
    } else {
        return checked(PyObject_Format(value, names.format_seconds));
    }
    char *text = PyOS_double_to_string(v, 'f', 1, 0, nullptr);
    if (!text) raise_current();
    py::object result = steal(PyUnicode_FromString(text));
    PyMem_Free(text);
    return checked(result.release().ptr());
}

py::object render(const Piece &piece) {
    switch (piece.how) {
    case Render::Literal:
        return borrow(literal(piece.text));
    case Render::Text:
        return checked(PyObject_Str(piece.value.ptr()));
    case Render::Integer:
        // format(n, "d") of an exact int is its str().
        return checked(PyObject_Str(to_integer(piece.value).ptr()));
    case Render::Seconds:
        return seconds_text(piece.value.ptr());
    }
    return borrow(names.empty_text);
}

} // namespace

py::str compose(std::initializer_list<Piece> pieces) {
    py::object parts = checked(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (const Piece &piece : pieces) PyList_SET_ITEM(parts.ptr(), i++, render(piece).release().ptr());
    return py::reinterpret_steal<py::str>(checked(PyUnicode_Join(names.empty_text, parts.ptr())).release());
}

} // namespace fa
