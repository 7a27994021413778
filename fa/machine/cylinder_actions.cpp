// Cylinder actions of MachineBase.
#include "fa/machine/actions.h"
#include "fa/module/module.h"

namespace fa {

namespace {

py::object not_built(py::handle, const Args &) {
    raise(PyExc_NotImplementedError, "not built yet");
}

} // namespace

const FunctionSpec kTriggerCylinder{"trigger_cylinder",
                                    not_built,
                                    {{"y"},
                                     {"value"},
                                     {"x_src", nullptr, "None"},
                                     {"x_dst", nullptr, "None"},
                                     {"timeout", nullptr, "7"},
                                     {"wait_time", nullptr, "0"},
                                     {"check_interval", nullptr, "0.1"}}};
const FunctionSpec kTriggerDyCylinder{"trigger_dy_cylinder",
                                      not_built,
                                      {{"y0"},
                                       {"value0"},
                                       {"y1"},
                                       {"value1", nullptr, "None"},
                                       {"x_src", nullptr, "None"},
                                       {"x_dst", nullptr, "None"},
                                       {"timeout", "float", "7.0"},
                                       {"wait_time", "float", "0.0"},
                                       {"check_interval", "float", "0.1"},
                                       {"y0_stop_value", "bool", "False"},
                                       {"y1_stop_value", "bool", "False"}}};

} // namespace fa
