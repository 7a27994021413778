// FPMachine: a machine on an FP-series PLC. The input image is the block of
// data words from D0, the output image the block from D<y_shift>; every link
// operation carries the machine's station number first. The link stays open
// when the machine closes (it is reachable as native_machine_handle).
#include "fa/backends/fp_machine.h"
#include "fa/backends/fp_names.h"
#include "fa/backends/native_transfer.h"
#include "fa/module/calls.h"
#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/instance_attrs.h"
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
    if (!call_base(names().__init__, self, a[0], a[1])) return {};
    py::dict options = a.kwargs();
    if (PyDict_SetItem(options.ptr(), names().baudrate, a.ptr(4)) < 0) return {};
    py::object link_class = global(names()._Fp);
    py::object port = link_class ? steal(PyTuple_Pack(1, a.ptr(3))) : link_class;
    py::object link = port ? steal(PyObject_Call(link_class.ptr(), port.ptr(), options.ptr())) : port;
    if (!link || !set(self, names()._plc, link)) return {};
    if (!set(self, names()._FPMachine__y_shift, a[2]) || !set(self, names()._FPMachine__station, a[5])) return {};
    return none();
}

py::object native_machine_handle(py::handle self, const Args &) { return instance_get(self, names()._plc); }

// The transfers go through the machine's own forwarding methods, so a
// subclass that redefines one changes the transfers too.
py::object do_get_x_uint16(py::handle self, const Args &) {
    py::object x_manager = instance_get(self, names().x_manager);
    py::object count = x_manager ? get(x_manager, names().word_count) : x_manager;
    if (!count) return {};
    return call_method(self, names().get_multi_uint16, names().block_d0, count);
}

py::object do_get_y_uint16(py::handle self, const Args &) {
    py::object block = fp_output_block(self);
    py::object count = block ? get(self, names().y_word_count) : block;
    if (!count) return {};
    return call_method(self, names().get_multi_uint16, block, count);
}

py::object do_set_y_uint16(py::handle self, const Args &a) {
    py::object block = fp_output_block(self);
    if (!block) return {};
    return call_method(self, names().set_multi_uint16, block, a[0]);
}

// Link call `self._plc.<op>(self.__station, *args)`.
template <typename... A>
py::object forward(py::handle self, PyObject *op, A... args) {
    py::object link = instance_get(self, names()._plc);
    py::object station = link ? instance_get(self, names()._FPMachine__station) : link;
    if (!station) return {};
    return call_method(link, op, station, args...);
}

// Getters return the link's result.
template <PyObject *Names::*Op>
py::object getter1(py::handle self, const Args &a) { return forward(self, names().*Op, a[0]); }
template <PyObject *Names::*Op>
py::object getter2(py::handle self, const Args &a) { return forward(self, names().*Op, a[0], a[1]); }

// Setters discard the link's result.
template <PyObject *Names::*Op>
py::object setter(py::handle self, const Args &a) {
    if (!forward(self, names().*Op, a[0], a[1])) return {};
    return none();
}

py::object start(py::handle self, const Args &) {
    py::object link = instance_get(self, names()._plc);
    if (!link || !call_method(link, names().start)) return {};
    if (!call_base(names().start, self)) return {};
    return none();
}

py::object set_y_sync(py::handle self, const Args &a) {
    py::handle element = a[0], value = a[1];
    if (!call_method(self, names().set_y, element, value)) return {};
    // set_y takes any true value as 1, so the bit is compared with the truth
    // of `value`: a value such as 2 is met by the bit it set instead of
    // waiting for ever. No time-out: the wait also ends by a stop or fault.
    int on = truth_of(value);
    if (on < 0) return {};
    py::object wanted = boolean(on);
    for (;;) {
        int met = same(call_method(self, names().y, element), wanted);
        if (met) return met < 0 ? py::object() : none();
        if (!call_method(self, names().check_stop_and_exception_flags) || !pause(a[2])) return {};
    }
}

const FunctionSpec kInit{"__init__",
                         init,
                         {{"x_word_count"},
                          {"y_word_count"},
                          {"y_shift"},
                          {"port"},
                          {"baudrate", nullptr, "9600"},
                          {"station", nullptr, "1"},
                          var_kwargs("kwargs")}};
const FunctionSpec kNativeMachineHandle{"native_machine_handle", native_machine_handle, {}};
const FunctionSpec kGetCoil{"get_coil", getter1<&Names::get_coil>, {{"name"}}};
const FunctionSpec kGetUint32{"get_uint32", getter1<&Names::get_uint32>, {{"name"}}};
const FunctionSpec kGetMultiUint32{"get_multi_uint32", getter2<&Names::get_multi_uint32>, {{"name"}, {"count"}}};
const FunctionSpec kGetMultiInt32{"get_multi_int32", getter2<&Names::get_multi_int32>, {{"name"}, {"count"}}};
const FunctionSpec kSetUint16Spec{"set_uint16", setter<&Names::set_uint16>, {{"name"}, {"value", "int"}}};
const FunctionSpec kSetUint32Spec{"set_uint32", setter<&Names::set_uint32>, {{"name"}, {"value"}}};
const FunctionSpec kSetMultiUint32Spec{"set_multi_uint32", setter<&Names::set_multi_uint32>, {{"name"}, {"values"}}};
const FunctionSpec kSetMultiInt32Spec{"set_multi_int32", setter<&Names::set_multi_int32>, {{"name"}, {"values"}}};
const FunctionSpec kSetCoilSpec{"set_coil", setter<&Names::set_coil>, {{"name"}, {"value"}}};
const FunctionSpec kStart{"start", start, {}};
const FunctionSpec kSetYSync{"set_y_sync", set_y_sync, {{"name", "str"}, {"value", "bool"}, {"check_interval", "float", "0.02"}}};

} // namespace

namespace fp {
const FunctionSpec kDoGetX{"do_get_x_uint16", do_get_x_uint16, {}};
const FunctionSpec kDoGetY{"do_get_y_uint16", do_get_y_uint16, {}};
const FunctionSpec kDoSetY{"do_set_y_uint16", do_set_y_uint16, {{"values", "list"}}};
const FunctionSpec kGetMultiUint16{"get_multi_uint16", getter2<&Names::get_multi_uint16>, {{"name"}, {"count"}}};
const FunctionSpec kSetMultiUint16{"set_multi_uint16", setter<&Names::set_multi_uint16>, {{"name", "str"}, {"values", "list"}}};
} // namespace fp

py::object fp_output_block(py::handle self) {
    py::object shift = instance_get(self, names()._FPMachine__y_shift);
    if (!shift) return {};
    // The name made for the last shift seen, kept with it (GIL held): every
    // refresh cycle asks for the same block, and an exact int never changes.
    PyObject *&last_shift = g_state->last_shift, *&last_block = g_state->last_block;
    if (shift.ptr() == last_shift) return borrow(last_block);
    py::object args = steal(PyTuple_Pack(1, shift.ptr()));
    py::object block = args ? steal(PyUnicode_Format(names().block_format, args.ptr())) : py::object();
    if (block && PyLong_CheckExact(shift.ptr()) && PyUnicode_CheckExact(block.ptr())) {
        Py_XDECREF(last_shift);
        Py_XDECREF(last_block);
        last_shift = shift.inc_ref().ptr();
        last_block = block.inc_ref().ptr();
    }
    return block;
}

py::object build_FPMachine() {
    py::object cls = ClassDef("FPMachine", "MachineBase")
        .method(kInit)
        .property(kNativeMachineHandle)
        .method(fp::kDoGetX)
        .method(fp::kDoGetY)
        .method(fp::kDoSetY)
        .method(kGetCoil)
        .method(kGetUint32)
        .method(fp::kGetMultiUint16)
        .method(kGetMultiUint32)
        .method(kGetMultiInt32)
        .method(kSetUint16Spec)
        .method(fp::kSetMultiUint16)
        .method(kSetUint32Spec)
        .method(kSetMultiUint32Spec)
        .method(kSetMultiInt32Spec)
        .method(kSetCoilSpec)
        .method(kFpNameToIndex)
        .method(kFpIndexToName)
        .method(kStart)
        .method(kSetYSync)
        .build();
    backends::load_link_api();
    return cls;
}

} // namespace fa
