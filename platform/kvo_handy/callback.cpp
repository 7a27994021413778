// kvo_handy.Callback: a small multicast callback. It holds callables in
// subscription order (each once); calling it calls each in turn with the
// same arguments. A handler's exception (or a failing comparison while
// subscribing) is set and the member returns null, as in kvo_mew
// (platform/common/result.h).
#include <pybind11/pybind11.h>

#include "platform/common/not_none.h"
#include "platform/common/result.h"

namespace py = pybind11;

namespace {

class Callback {
public:
    py::object subscribe(py::object fn) {
        int found = PySequence_Contains(handlers_.ptr(), fn.ptr());
        if (found < 0 || (!found && PyList_Append(handlers_.ptr(), fn.ptr()) < 0)) return {};
        return py::none();
    }
    py::object unsubscribe(py::object fn) {
        int found = PySequence_Contains(handlers_.ptr(), fn.ptr());
        if (found <= 0) return found < 0 ? py::object() : py::none();
        // The first equal one, as list.remove finds it.
        Py_ssize_t at = PySequence_Index(handlers_.ptr(), fn.ptr());
        if (at < 0 || PySequence_DelItem(handlers_.ptr(), at) < 0) return {};
        return py::none();
    }
    void unsubscribe_all() { handlers_ = py::list(); }
    py::object handlers() const {
        return py::reinterpret_steal<py::object>(PyList_GetSlice(handlers_.ptr(), 0, PY_SSIZE_T_MAX));
    }
    py::object call(py::args args, py::kwargs kwargs) {
        // A snapshot, so a handler may (un)subscribe while being called.
        py::object snapshot = handlers();
        if (!snapshot) return {};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.ptr()); ++i) {
            PyObject *result = PyObject_Call(PyList_GET_ITEM(snapshot.ptr(), i), args.ptr(), kwargs.ptr());
            if (!result) return {};
            Py_DECREF(result);
        }
        return py::none();
    }
    size_t size() const { return size_t(PyList_GET_SIZE(handlers_.ptr())); }

private:
    py::list handlers_;
};

} // namespace

PYBIND11_MODULE(kvo_handy, m) {
    m.doc() = "Small helpers shared by kvo modules.";
    py::class_<Callback>(m, "Callback", "A multicast callback: calling it calls every subscriber in order.")
        .def(py::init<>())
        .def("subscribe", platform::checked<void>(&Callback::subscribe), py::arg("callback"))
        .def("unsubscribe", platform::checked<void>(&Callback::unsubscribe), py::arg("callback"))
        .def("unsubscribe_all", platform::not_none(&Callback::unsubscribe_all))
        .def_property_readonly("handlers", platform::checked<py::list>(&Callback::handlers))
        .def("__call__", platform::checked<void>(&Callback::call))
        .def("__len__", platform::not_none(&Callback::size));
}
