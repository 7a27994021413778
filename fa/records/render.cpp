#include "fa/records/render.h"

#include "fa/module/module.h"

#include <string>

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

py::str render(const Piece &piece) {
    switch (piece.how) {
    case Render::Literal:
        return py::str(piece.text);
    case Render::Text:
        return py::str(piece.value);
    case Render::Integer:
        return checked(PyObject_Format(to_integer(piece.value).ptr(), py::str("d").ptr()));
    case Render::Seconds:
        return checked(PyObject_Format(piece.value.ptr(), py::str(".01f").ptr()));
    }
    return py::str();
}

} // namespace

py::str compose(std::initializer_list<Piece> pieces) {
    py::list parts;
    for (const Piece &piece : pieces) parts.append(render(piece));
    return py::str("").attr("join")(parts);
}

} // namespace fa
