// Fault raisers of MachineBase.
#include "fa/machine/actions.h"
#include "fa/module/module.h"

namespace fa {

namespace {

py::object not_built(py::handle, const Args &) {
    raise(PyExc_NotImplementedError, "not built yet");
}

} // namespace

const FunctionSpec kRaiseCylinderException{
    "raise_cylinder_exception", not_built, {{"y"}, {"value"}, {"x_src"}, {"x_dst"}, {"timeout"}, {"wait_time"}}};
const FunctionSpec kRaiseDyCylinderException{
    "raise_dy_cylinder_exception",
    not_built,
    {{"y0"}, {"value0"}, {"y1"}, {"value1"}, {"x_src"}, {"x_dst"}, {"timeout"}, {"wait_time"}}};
const FunctionSpec kRaiseVacuumException{
    "raise_vacuum_exception", not_built, {{"y"}, {"value"}, {"x"}, {"x_target"}, {"timeout"}}};
const FunctionSpec kRaiseMotorException{"raise_motor_exception", not_built, {{"motor"}}};
const FunctionSpec kRaiseXException{"raise_x_exception", not_built, {{"x"}, {"value"}, {"timeout"}}};
const FunctionSpec kRaiseTcoException{"raise_tco_exception", not_built, {{"desc"}}};

} // namespace fa
