// FEFMachine: a chain of I/O modules on one link, module k being station k.
// Image word k - 1 is module k's coil word: inputs "WX0", outputs "WY0".
// Every transfer visits the modules in order 1, 2, 3, ...
#include "fa/backends/fef_machine.h"
#include "fa/backends/native_transfer.h"
#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"

namespace fa {

namespace {

py::object init(py::handle self, const Args &a) {
    name("MachineBase").attr("__init__")(self, a[1], a[1]);
    self.attr("plc") = name("_Fp")(a[0], py::arg("baudrate") = a[2]);
    self.attr("xy_module_count") = a[1];
    return py::none();
}

// A new list with one coil word per module, word k - 1 from station k.
py::object read_modules(py::handle self, const char *coil) {
    py::object count = self.attr("xy_module_count");
    Py_ssize_t n = PyNumber_AsSsize_t(count.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) raise_current();
    py::list result(n > 0 ? n : 0);
    for (Py_ssize_t i = 0; i < n; ++i) result[i] = py::int_(0);
    for (Py_ssize_t i = 0; i < n; ++i) result[i] = self.attr("plc").attr("get_coil_uint16")(i + 1, coil);
    return std::move(result);
}

py::object do_get_x_uint16(py::handle self, const Args &) { return read_modules(self, "WX0"); }

py::object do_get_y_uint16(py::handle self, const Args &) { return read_modules(self, "WY0"); }

py::object do_set_y_uint16(py::handle self, const Args &a) {
    py::handle values = a[0];
    if (values.is_none()) raise(PyExc_TypeError, "do_set_y_uint16() needs a list of words, not None");
    // Every word is written, changed or not; the size is read again at each
    // step because the link may run Python code.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.ptr()); ++i) {
        py::object word = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(values.ptr(), i));
        self.attr("plc").attr("set_coil_uint16")(i + 1, "WY0", word);
    }
    return py::none();
}

// The machine's threads end before the link is closed, so no refresh cycle
// is using it.
py::object close(py::handle self, const Args &) {
    name("MachineBase").attr("close")(self);
    self.attr("plc").attr("close")();
    return py::none();
}

const FunctionSpec kInit{"__init__", init, {{"port"}, {"xy_module_count", nullptr, "1"}, {"baudrate", nullptr, "115200"}}};
const FunctionSpec kClose{"close", close, {}};

} // namespace

namespace fef {
const FunctionSpec kDoGetX{"do_get_x_uint16", do_get_x_uint16, {}};
const FunctionSpec kDoGetY{"do_get_y_uint16", do_get_y_uint16, {}};
const FunctionSpec kDoSetY{"do_set_y_uint16", do_set_y_uint16, {{"values", "list"}}};
} // namespace fef

py::object build_FEFMachine() {
    py::object cls = ClassDef("FEFMachine", "MachineBase")
        .method(kInit)
        .method(fef::kDoGetX)
        .method(fef::kDoGetY)
        .method(fef::kDoSetY)
        .method(kClose)
        .build();
    backends::load_link_api();
    return cls;
}

} // namespace fa
