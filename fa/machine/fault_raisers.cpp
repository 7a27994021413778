// Fault raisers of MachineBase: name the bits, build the fault, offer it to
// the subscribers, and record and raise it when none of them takes it.
#include "fa/machine/actions.h"
#include "fa/module/module.h"

namespace fa {

namespace {

// An int (a bool too) is a bit index and is named the machine's way;
// names, None and anything else are reported as given.
py::object bit_name(py::handle self, const char *prefix, py::handle bit) {
    if (PyLong_Check(bit.ptr())) return self.attr("index_to_name")(prefix, bit);
    return py::reinterpret_borrow<py::object>(bit);
}

// The machine's fault path for a fault already built.
py::object take_fault(py::handle self, py::object fault) {
    if (truth(self.attr("_handle_exception")(fault))) return py::none();
    self.attr("_MachineBase__exception") = fault;
    self.attr("_exception_flag") = py::bool_(true);
    raise_object(fault);
}

py::object raise_cylinder_exception(py::handle self, const Args &a) {
    py::object y = bit_name(self, "Y", a[0]);
    py::object x_src = bit_name(self, "X", a[2]);
    py::object x_dst = bit_name(self, "X", a[3]);
    return take_fault(self, name("CylinderException")(y, a[1], x_src, x_dst, a[4], a[5]));
}

py::object raise_dy_cylinder_exception(py::handle self, const Args &a) {
    py::object y0 = bit_name(self, "Y", a[0]);
    py::object y1 = bit_name(self, "Y", a[2]);
    py::object x_src = bit_name(self, "X", a[4]);
    py::object x_dst = bit_name(self, "X", a[5]);
    return take_fault(self, name("DYCylinderException")(y0, a[1], y1, a[3], x_src, x_dst, a[6], a[7]));
}

py::object raise_vacuum_exception(py::handle self, const Args &a) {
    py::object y = bit_name(self, "Y", a[0]);
    py::object x = bit_name(self, "X", a[2]);
    return take_fault(self, name("VacuumException")(y, a[1], x, a[3], a[4]));
}

py::object raise_motor_exception(py::handle self, const Args &a) {
    return take_fault(self, name("MotorException")(a[0]));
}

py::object raise_x_exception(py::handle self, const Args &a) {
    py::object x = bit_name(self, "X", a[0]);
    return take_fault(self, name("XException")(x, a[1], a[2]));
}

// The communication object travels with the fault, so whoever handles it
// can answer the station that raised it.
py::object raise_tco_exception(py::handle self, const Args &a) {
    py::object tco = name("ThreadCommunicationObject")(a[0]);
    return take_fault(self, name("TCOException")(tco));
}

} // namespace

const FunctionSpec kRaiseCylinderException{"raise_cylinder_exception",
                                           raise_cylinder_exception,
                                           {{"y"}, {"value"}, {"x_src"}, {"x_dst"}, {"timeout"}, {"wait_time"}}};
const FunctionSpec kRaiseDyCylinderException{
    "raise_dy_cylinder_exception",
    raise_dy_cylinder_exception,
    {{"y0"}, {"value0"}, {"y1"}, {"value1"}, {"x_src"}, {"x_dst"}, {"timeout"}, {"wait_time"}}};
const FunctionSpec kRaiseVacuumException{
    "raise_vacuum_exception", raise_vacuum_exception, {{"y"}, {"value"}, {"x"}, {"x_target"}, {"timeout"}}};
const FunctionSpec kRaiseMotorException{"raise_motor_exception", raise_motor_exception, {{"motor"}}};
const FunctionSpec kRaiseXException{"raise_x_exception", raise_x_exception, {{"x"}, {"value"}, {"timeout"}}};
const FunctionSpec kRaiseTcoException{"raise_tco_exception", raise_tco_exception, {{"desc"}}};

} // namespace fa
