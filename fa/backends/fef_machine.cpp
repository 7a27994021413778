// FEFMachine: a chain of I/O modules on one link, module k being station k.
// Image word k - 1 is module k's coil word: inputs "WX0", outputs "WY0".
// Every transfer visits the modules in order 1, 2, 3, ...
#include "fa/backends/fef_machine.h"
#include "fa/backends/native_transfer.h"
#include "fa/module/classdef.h"
#include "fa/module/calls.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"

namespace fa {

namespace {

// MachineBase.<method>(self, args...), the base's own whatever a subclass says.
template <typename... A>
py::object call_base(PyObject *method, py::handle self, A... args) {
    py::object base = global(names().MachineBase);
    py::object function = base ? get(base, method) : base;
    return function ? call(function, self, args...) : function;
}

py::object init(py::handle self, const Args &a) {
    if (!call_base(names().__init__, self, a[1], a[1])) return {};
    py::object link_class = global(names()._Fp);
    py::object keywords = link_class ? steal(PyTuple_Pack(1, names().baudrate)) : link_class;
    if (!keywords) return {};
    PyObject *argv[] = {nullptr, a.ptr(0), a.ptr(2)};
    py::object link = steal(PyObject_Vectorcall(link_class.ptr(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                keywords.ptr()));
    if (!link || !set(self, names().plc, link) || !set(self, names().xy_module_count, a[1])) return {};
    return none();
}

// A new list with one coil word per module, word k - 1 from station k.
py::object read_modules(py::handle self, PyObject *coil) {
    py::object count = get(self, names().xy_module_count);
    if (!count) return {};
    Py_ssize_t n = PyNumber_AsSsize_t(count.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return {};
    py::object result = steal(PyList_New(n > 0 ? n : 0));
    if (!result) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *zero = PyLong_FromLong(0);
        if (!zero) return {};
        PyList_SET_ITEM(result.ptr(), i, zero);
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object station = steal(PyLong_FromSsize_t(i + 1));
        py::object link = station ? get(self, names().plc) : station;
        py::object word = link ? call_method(link, names().get_coil_uint16, station, coil) : link;
        // The list is ours alone: nothing else can have resized it.
        if (!word || PyList_SetItem(result.ptr(), i, word.release().ptr()) < 0) return {};
    }
    return result;
}

py::object do_get_x_uint16(py::handle self, const Args &) { return read_modules(self, names().coil_wx0); }

py::object do_get_y_uint16(py::handle self, const Args &) { return read_modules(self, names().coil_wy0); }

py::object do_set_y_uint16(py::handle self, const Args &a) {
    py::handle values = a[0];
    if (values.is_none()) return fail(PyExc_TypeError, "do_set_y_uint16() needs a list of words, not None");
    // Every word is written, changed or not; the size is read again at each
    // step because the link may run Python code.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.ptr()); ++i) {
        py::object word = borrow(PyList_GET_ITEM(values.ptr(), i));
        py::object station = steal(PyLong_FromSsize_t(i + 1));
        py::object link = station ? get(self, names().plc) : station;
        if (!link || !call_method(link, names().set_coil_uint16, station, names().coil_wy0, word)) return {};
    }
    return none();
}

// The machine's threads end before the link is closed, so no refresh cycle
// is using it.
py::object close(py::handle self, const Args &) {
    if (!call_base(names().close, self)) return {};
    py::object link = get(self, names().plc);
    if (!link || !call_method(link, names().close)) return {};
    return none();
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
