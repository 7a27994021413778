// Signal waits of MachineBase: block until inputs reach their target states,
// polling the input image at a fixed interval.
#include "fa/machine/action_steps.h"
#include "fa/machine/actions.h"

namespace fa {

namespace {

// wait_for_signal uses its arguments as given: `timeout` None or not
// greater than 0 means no limit, `check_interval` goes to _sleep as it is.
py::object wait_for_signal(py::handle self, const Args &a) {
    py::handle x = a[0], value = a[1], timeout = a[2], check_interval = a[3];
    double begin;
    if (!clock(begin)) return {};
    py::object zero = steal(PyLong_FromLong(0));
    for (;;) {
        // The input is tested before any sleep: a signal already there
        // costs nothing.
        py::object state = x_of(self, x);
        if (!state) return {};
        int off = differs(state, value);
        if (off <= 0) {
            if (off < 0) return {};
            break;
        }
        if (!pause(check_interval) || !flag_check(self)) return {};
        if (timeout.is_none()) continue;
        int limited = PyObject_RichCompareBool(timeout.ptr(), zero.ptr(), Py_GT);
        if (limited < 0) return {};
        if (!limited) continue;
        int late = elapsed_against(begin, timeout, Py_GT);
        if (late < 0) return {};
        // A subscriber that takes the fault lets the wait go on with the
        // same start, so every later pass reports again.
        if (late && !call_method(self, names().raise_x_exception, x, value, timeout)) return {};
    }
    if (!wait_while_held(self, check_interval)) return {};
    return none();
}

// Pairs of (input, target) up to the shorter of the two lists, formed once;
// value_list may be one bool standing for every input.
py::object input_target_pairs(py::handle x_list, py::handle value_list) {
    py::object targets = borrow(value_list.ptr());
    if (PyBool_Check(value_list.ptr())) {
        Py_ssize_t count = PyObject_Length(x_list.ptr());
        if (count < 0) return {};
        targets = steal(PyList_New(count));
        if (!targets) return {};
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_INCREF(value_list.ptr());
            PyList_SET_ITEM(targets.ptr(), i, value_list.ptr());
        }
    }
    py::object pairs = call_global(names().zip, x_list, targets);
    if (!pairs) return {};
    return steal(PySequence_List(pairs.ptr()));
}

// pair[index]
py::object member(py::handle pair, long index) {
    py::object key = steal(PyLong_FromLong(index));
    return key ? steal(PyObject_GetItem(pair.ptr(), key.ptr())) : key;
}

// The first input off its target (x and value), or none: 1, 0 or -1.
int first_off_target(py::handle self, py::handle pairs, py::object &ng_x, py::object &target_value) {
    // Every pass re-examines all inputs from the first, so one that fell
    // off target again is caught.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.ptr()); ++i) {
        py::handle pair = PyList_GET_ITEM(pairs.ptr(), i);
        py::object x = member(pair, 0);
        if (!x) return -1;
        py::object value = member(pair, 1);
        if (!value) return -1;
        py::object state = x_of(self, x);
        if (!state) return -1;
        int off = differs(state, value);
        if (off) {
            ng_x = x;
            target_value = value;
            return off;
        }
    }
    return 0;
}

py::object wait_for_multi_signals(py::handle self, const Args &a) {
    double timeout = a.as_double(2);
    py::handle check_interval = a[3];
    double begin;
    if (!clock(begin)) return {};
    py::object pairs = input_target_pairs(a[0], a[1]);
    if (!pairs) return {};
    for (;;) {
        if (!pause(check_interval)) return {};
        py::object ng_x = none(), target_value = boolean(false);
        int off = first_off_target(self, pairs, ng_x, target_value);
        if (off < 0) return {};
        if (!off) break;
        if (!flag_check(self)) return {};
        if (timeout <= 0) continue;
        double passed;
        if (!elapsed(begin, passed)) return {};
        if (passed > timeout && !call_method(self, names().raise_x_exception, ng_x, target_value, a[2])) return {};
    }
    if (!wait_while_held(self, check_interval)) return {};
    return none();
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
