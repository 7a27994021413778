// Fault raisers of MachineBase: name the bits, build the fault, offer it to
// the subscribers, and record and raise it when none of them takes it.
#include "fa/machine/actions.h"
#include "fa/machine/machine_members.h"
#include "fa/machine/machine_support.h"
#include "fa/module/calls.h"
#include "fa/module/dispatch.h"
#include "fa/module/module.h"
#include "fa/records/exceptions.h"

namespace fa {

namespace {

using machine::take_fault;

OwnMethod own_index_to_name(&Names::index_to_name, machine::kIndexToName);

// An int (a bool too) is a bit index and is named the machine's way;
// names, None and anything else are reported as given.
py::object bit_name(py::handle self, PyObject *prefix, py::handle bit) {
    if (PyLong_Check(bit.ptr())) return own_index_to_name.call(self, prefix, bit);
    return borrow(bit.ptr());
}

py::object raise_cylinder_exception(py::handle self, const Args &a) {
    py::object y = bit_name(self, names().prefix_y, a[0]);
    if (!y) return {};
    py::object x_src = bit_name(self, names().prefix_x, a[2]);
    if (!x_src) return {};
    py::object x_dst = bit_name(self, names().prefix_x, a[3]);
    if (!x_dst) return {};
    return take_fault(self,
                      new_exception(names().CylinderException, own_cylinder_init, y, a[1], x_src, x_dst, a[4], a[5]));
}

py::object raise_dy_cylinder_exception(py::handle self, const Args &a) {
    py::object y0 = bit_name(self, names().prefix_y, a[0]);
    if (!y0) return {};
    py::object y1 = bit_name(self, names().prefix_y, a[2]);
    if (!y1) return {};
    py::object x_src = bit_name(self, names().prefix_x, a[4]);
    if (!x_src) return {};
    py::object x_dst = bit_name(self, names().prefix_x, a[5]);
    if (!x_dst) return {};
    return take_fault(self,
                      new_exception(names().DYCylinderException, own_dy_cylinder_init, y0, a[1], y1, a[3], x_src, x_dst,
                                    a[6], a[7]));
}

py::object raise_vacuum_exception(py::handle self, const Args &a) {
    py::object y = bit_name(self, names().prefix_y, a[0]);
    if (!y) return {};
    py::object x = bit_name(self, names().prefix_x, a[2]);
    if (!x) return {};
    return take_fault(self, new_exception(names().VacuumException, own_vacuum_init, y, a[1], x, a[3], a[4]));
}

py::object raise_motor_exception(py::handle self, const Args &a) {
    return take_fault(self, new_exception(names().MotorException, own_motor_init, a[0]));
}

py::object raise_x_exception(py::handle self, const Args &a) {
    py::object x = bit_name(self, names().prefix_x, a[0]);
    if (!x) return {};
    return take_fault(self, new_exception(names().XException, own_x_init, x, a[1], a[2]));
}

// The communication object travels with the fault, so whoever handles it
// can answer the station that raised it.
py::object raise_tco_exception(py::handle self, const Args &a) {
    py::object tco = call_global(names().ThreadCommunicationObject, a[0]);
    if (!tco) return {};
    return take_fault(self, new_exception(names().TCOException, own_tco_init, tco));
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
