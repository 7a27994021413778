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

constexpr const char *kYShift = "_FPMachine__y_shift";
constexpr const char *kStation = "_FPMachine__station";

py::object init(py::handle self, const Args &a) {
    name("MachineBase").attr("__init__")(self, a[0], a[1]);
    py::dict options = a.kwargs();
    options["baudrate"] = a[4];
    self.attr("_plc") = name("_Fp")(a[3], **options);
    self.attr(kYShift) = a[2];
    self.attr(kStation) = a[5];
    return py::none();
}

py::object native_machine_handle(py::handle self, const Args &) { return self.attr("_plc"); }

// The transfers go through the machine's own forwarding methods, so a
// subclass that redefines one changes the transfers too.
py::object do_get_x_uint16(py::handle self, const Args &) {
    return self.attr("get_multi_uint16")("D0", self.attr("x_manager").attr("word_count"));
}

py::object do_get_y_uint16(py::handle self, const Args &) {
    return self.attr("get_multi_uint16")(checked(fp_output_block(self).release().ptr()), self.attr("y_word_count"));
}

py::object do_set_y_uint16(py::handle self, const Args &a) {
    return self.attr("set_multi_uint16")(checked(fp_output_block(self).release().ptr()), a[0]);
}

// Link call `op(station, *args)`.
template <typename... A>
py::object forward(py::handle self, const char *op, A &&...args) {
    return self.attr("_plc").attr(op)(self.attr(kStation), std::forward<A>(args)...);
}

py::object get_coil(py::handle self, const Args &a) { return forward(self, "get_coil", a[0]); }
py::object get_uint32(py::handle self, const Args &a) { return forward(self, "get_uint32", a[0]); }
py::object get_multi_uint16(py::handle self, const Args &a) { return forward(self, "get_multi_uint16", a[0], a[1]); }
py::object get_multi_uint32(py::handle self, const Args &a) { return forward(self, "get_multi_uint32", a[0], a[1]); }
py::object get_multi_int32(py::handle self, const Args &a) { return forward(self, "get_multi_int32", a[0], a[1]); }

// Setters discard the link's result.
template <const char *Op>
py::object setter(py::handle self, const Args &a) {
    forward(self, Op, a[0], a[1]);
    return py::none();
}

constexpr char kSetUint16[] = "set_uint16";
constexpr char kSetMultiUint16Op[] = "set_multi_uint16";
constexpr char kSetUint32[] = "set_uint32";
constexpr char kSetMultiUint32[] = "set_multi_uint32";
constexpr char kSetMultiInt32[] = "set_multi_int32";
constexpr char kSetCoil[] = "set_coil";

py::object start(py::handle self, const Args &) {
    self.attr("_plc").attr("start")();
    name("MachineBase").attr("start")(self);
    return py::none();
}

py::object set_y_sync(py::handle self, const Args &a) {
    py::handle element = a[0], value = a[1];
    self.attr("set_y")(element, value);
    // set_y takes any true value as 1, so the bit is compared with the truth
    // of `value`: a value such as 2 is met by the bit it set instead of
    // waiting for ever. No time-out: the wait also ends by a stop or fault.
    py::bool_ wanted(truth(value));
    while (!equal(self.attr("y")(element), wanted)) {
        self.attr("check_stop_and_exception_flags")();
        sleep(a[2]);
    }
    return py::none();
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
const FunctionSpec kGetCoil{"get_coil", get_coil, {{"name"}}};
const FunctionSpec kGetUint32{"get_uint32", get_uint32, {{"name"}}};
const FunctionSpec kGetMultiUint32{"get_multi_uint32", get_multi_uint32, {{"name"}, {"count"}}};
const FunctionSpec kGetMultiInt32{"get_multi_int32", get_multi_int32, {{"name"}, {"count"}}};
const FunctionSpec kSetUint16Spec{"set_uint16", setter<kSetUint16>, {{"name"}, {"value", "int"}}};
const FunctionSpec kSetUint32Spec{"set_uint32", setter<kSetUint32>, {{"name"}, {"value"}}};
const FunctionSpec kSetMultiUint32Spec{"set_multi_uint32", setter<kSetMultiUint32>, {{"name"}, {"values"}}};
const FunctionSpec kSetMultiInt32Spec{"set_multi_int32", setter<kSetMultiInt32>, {{"name"}, {"values"}}};
const FunctionSpec kSetCoilSpec{"set_coil", setter<kSetCoil>, {{"name"}, {"value"}}};
const FunctionSpec kStart{"start", start, {}};
const FunctionSpec kSetYSync{"set_y_sync", set_y_sync, {{"name", "str"}, {"value", "bool"}, {"check_interval", "float", "0.02"}}};

} // namespace

namespace fp {
const FunctionSpec kDoGetX{"do_get_x_uint16", do_get_x_uint16, {}};
const FunctionSpec kDoGetY{"do_get_y_uint16", do_get_y_uint16, {}};
const FunctionSpec kDoSetY{"do_set_y_uint16", do_set_y_uint16, {{"values", "list"}}};
const FunctionSpec kGetMultiUint16{"get_multi_uint16", get_multi_uint16, {{"name"}, {"count"}}};
const FunctionSpec kSetMultiUint16{"set_multi_uint16", setter<kSetMultiUint16Op>, {{"name", "str"}, {"values", "list"}}};
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
