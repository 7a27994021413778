// Signal waits of MachineBase: block until inputs reach their target states,
// polling the input image at a fixed interval.
#include "fa/machine/action_steps.h"
#include "fa/machine/actions.h"
#include "fa/module/names.h"

namespace fa {

namespace {

// wait_for_signal uses its arguments as given: `timeout` None or not
// greater than 0 means no limit, `check_interval` goes to _sleep as it is.
py::object wait_for_signal(py::handle self, const Args &a) {
    py::handle x = a[0], value = a[1], timeout = a[2], check_interval = a[3];
    double begin = now();
    // The input is tested before any sleep: a signal already there costs
    // nothing.
    while (not_equal(self.attr(names.x)(x), value)) {
        sleep(check_interval);
        flag_check(self);
        if (!timeout.is_none() && timeout > py::int_(0) && py::float_(elapsed(begin)) > timeout) {
            // A subscriber that takes the fault lets the wait go on with
            // the same start, so every later pass reports again.
            self.attr(names.raise_x_exception)(x, value, timeout);
        }
    }
    wait_while_held(self, check_interval);
    return py::none();
}

// value_list may be one bool standing for every input.
py::list input_target_pairs(py::handle x_list, py::handle value_list) {
    py::object targets = py::reinterpret_borrow<py::object>(value_list);
    if (PyBool_Check(value_list.ptr())) {
        Py_ssize_t count = PyObject_Length(x_list.ptr());
        if (count < 0) raise_current();
        py::list copies(count);
        for (Py_ssize_t i = 0; i < count; ++i) copies[i] = value_list;
        targets = copies;
    }
    // Pairs up to the shorter of the two, formed once.
    return new_list(name(names.zip)(x_list, targets));
}

py::object wait_for_multi_signals(py::handle self, const Args &a) {
    double timeout = a.as_double(2);
    py::handle check_interval = a[3];
    double begin = now();
    py::list zip_x = input_target_pairs(a[0], a[1]);
    for (;;) {
        sleep(check_interval);
        bool ok = true;
        py::object ng_x = py::none();
        py::object target_value = py::bool_(false);
        // Every pass re-examines all inputs from the first, so one that
        // fell off target again is caught.
        for (py::handle pair : zip_x) {
            py::object x = pair[py::int_(0)];
            py::object value = pair[py::int_(1)];
            if (not_equal(self.attr(names.x)(x), value)) {
                ng_x = x;
                target_value = value;
                ok = false;
                break;
            }
        }
        if (ok) break;
        flag_check(self);
        if (timeout > 0 && elapsed(begin) > timeout) self.attr(names.raise_x_exception)(ng_x, target_value, a[2]);
    }
    wait_while_held(self, check_interval);
    return py::none();
}

} // namespace

const FunctionSpec kWaitForSignal{"wait_for_signal",
                                  wait_for_signal,
                                  {{"x"}, {"value"}, {"timeout", nullptr, "None"}, {"check_interval", nullptr, "0.1"}}};
const FunctionSpec kWaitForMultiSignals{
    "wait_for_multi_signals",
    wait_for_multi_signals,
    {{"x_list"}, {"value_list"}, {"timeout", "float", "_inf"}, {"check_interval", "float", "0.1"}},
    nullptr,
    "\n\t\tx_list: 需要等待的输入端口的名称列表\n\t\tvalue_list: "
    "各个输入端口对应的目标状态，正常情况下也是一个列表。为了使用的方便，也可以是一个bool值对象，这个时候，"
    "表示所有输入端口目标值都是一样的。\n\t\t"};

} // namespace fa
