// kvo_handy.Callback: a small multicast callback. It holds callables in
// subscription order (each once); calling it calls each in turn with the
// same arguments.
#include <pybind11/pybind11.h>

#include "platform/common/not_none.h"

namespace py = pybind11;

namespace {

class Callback {
public:
    void subscribe(py::object fn) {
        if (!contains(fn)) handlers_.append(fn);
    }
    void unsubscribe(py::object fn) {
        if (contains(fn)) handlers_.attr("remove")(fn);
    }
    void unsubscribe_all() { handlers_ = py::list(); }
    py::list handlers() const { return py::list(handlers_.attr("copy")()); }
    void call(py::args args, py::kwargs kwargs) {
        // A snapshot, so a handler may (un)subscribe while being called.
        py::list snapshot = handlers();
        for (py::handle fn : snapshot) fn(*args, **kwargs);
    }
    size_t size() const { return py::len(handlers_); }

private:
    bool contains(py::handle fn) const { return handlers_.contains(fn); }
    py::list handlers_;
};

} // namespace

PYBIND11_MODULE(kvo_handy, m) {
    m.doc() = "Small helpers shared by kvo modules.";
    py::class_<Callback>(m, "Callback", "A multicast callback: calling it calls every subscriber in order.")
        .def(py::init<>())
        .def("subscribe", platform::not_none(&Callback::subscribe), py::arg("callback"))
        .def("unsubscribe", platform::not_none(&Callback::unsubscribe), py::arg("callback"))
        .def("unsubscribe_all", platform::not_none(&Callback::unsubscribe_all))
        .def_property_readonly("handlers", platform::not_none(&Callback::handlers))
        .def("__call__", platform::not_none(&Callback::call))
        .def("__len__", platform::not_none(&Callback::size));
}
