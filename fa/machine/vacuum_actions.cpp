// Vacuum actions of MachineBase.
#include "fa/machine/actions.h"
#include "fa/module/module.h"

namespace fa {

namespace {

py::object not_built(py::handle, const Args &) {
    raise(PyExc_NotImplementedError, "not built yet");
}

} // namespace

const FunctionSpec kTriggerVacuum{"trigger_vacuum",
                                  not_built,
                                  {{"y"},
                                   {"value"},
                                   {"x", nullptr, "None"},
                                   {"x_target", nullptr, "None"},
                                   {"timeout", "float", "_inf"},
                                   {"wait_time", "float", "0.0"},
                                   {"check_interval", "float", "0.1"}}};
const FunctionSpec kTriggerMultiVacuums{"trigger_multi_vacuums",
                                        not_built,
                                        {{"y_list"},
                                         {"value_list"},
                                         {"x_list", nullptr, "None"},
                                         {"x_target_list", nullptr, "None"},
                                         {"timeout", "float", "_inf"},
                                         {"wait_time", "float", "0.0"},
                                         {"check_interval", "float", "0.1"}}};

} // namespace fa
