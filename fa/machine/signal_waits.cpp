// Signal waits of MachineBase.
#include "fa/machine/actions.h"
#include "fa/module/module.h"

namespace fa {

namespace {

py::object not_built(py::handle, const Args &) {
    raise(PyExc_NotImplementedError, "not built yet");
}

} // namespace

const FunctionSpec kWaitForSignal{
    "wait_for_signal", not_built, {{"x"}, {"value"}, {"timeout", nullptr, "None"}, {"check_interval", nullptr, "0.1"}}};
const FunctionSpec kWaitForMultiSignals{
    "wait_for_multi_signals",
    not_built,
    {{"x_list"}, {"value_list"}, {"timeout", "float", "_inf"}, {"check_interval", "float", "0.1"}},
    nullptr,
    "\n\t\tx_list: 需要等待的输入端口的名称列表\n\t\tvalue_list: "
    "各个输入端口对应的目标状态，正常情况下也是一个列表。为了使用的方便，也可以是一个bool值对象，这个时候，"
    "表示所有输入端口目标值都是一样的。\n\t\t"};

} // namespace fa
