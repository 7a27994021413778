// Vacuum actions of MachineBase: switch the vacuum outputs, then wait for
// the sensors or, without sensors, a fixed time.
#include "fa/machine/action_steps.h"
#include "fa/machine/actions.h"

namespace fa {

namespace {

// Flag check and sleep while less than `wait_time` has passed since `begin`.
bool fixed_wait(py::handle self, double begin, double wait_time, py::handle check_interval) {
    return wait_out(self, begin, wait_time, false, check_interval);
}

// Unlike the cylinders, a time-out of 0 is a limit here: the sensor is read
// once and reported at once if it is off target. A pause does not hold it.
py::object trigger_vacuum(py::handle self, const Args &a) {
    py::handle y = a[0], value = a[1], x = a[2], x_target = a[3];
    double timeout = a.as_double(4), wait_time = a.as_double(5);
    py::handle check_interval = a[6];

    double begin;
    if (!set_y(self, y, value) || !clock(begin)) return {};
    if (x.is_none()) {
        if (!fixed_wait(self, begin, wait_time, check_interval)) return {};
        return none();
    }
    if (!assertion(!x_target.is_none())) return {};
    for (;;) {
        double passed;
        if (!elapsed(begin, passed)) return {};
        if (!(passed <= timeout)) break;
        if (!flag_check(self)) return {};
        py::object state = x_of(self, x);
        if (!state) return {};
        int reached = same(state, x_target);
        if (reached < 0) return {};
        if (reached) break;
        if (!pause(check_interval)) return {};
    }
    py::object state = x_of(self, x);
    if (!state) return {};
    int off = differs(state, x_target);
    if (off < 0) return {};
    if (off && !call_method(self, names().raise_vacuum_exception, y, value, x, x_target, a[4])) return {};
    return none();
}

py::object trigger_multi_vacuums(py::handle self, const Args &a) {
    py::handle x_list = a[2], x_target_list = a[3];
    double wait_time = a.as_double(5);
    py::handle check_interval = a[6];

    // zip refuses a list that is not iterable before any output is set.
    py::object pairs = call_global(names().zip, a[0], a[1]);
    if (!pairs) return {};
    py::object each = steal(PyObject_GetIter(pairs.ptr()));
    if (!each) return {};
    while (py::object pair = steal(PyIter_Next(each.ptr()))) {
        py::object zero = steal(PyLong_FromLong(0)), one = steal(PyLong_FromLong(1));
        if (!zero || !one) return {};
        py::object y = steal(PyObject_GetItem(pair.ptr(), zero.ptr()));
        if (!y) return {};
        py::object value = steal(PyObject_GetItem(pair.ptr(), one.ptr()));
        if (!value || !call_method(self, names().trigger_vacuum, y, value)) return {};
    }
    if (PyErr_Occurred()) return {};

    if (!x_list.is_none()) {
        if (!assertion(!x_target_list.is_none())) return {};
        if (!call_method(self, names().wait_for_multi_signals, x_list, x_target_list, a[4], check_interval)) return {};
        return none();
    }
    double begin;
    if (!clock(begin) || !fixed_wait(self, begin, wait_time, check_interval)) return {};
    return none();
}

} // namespace

const FunctionSpec kTriggerVacuum{"trigger_vacuum",
                                  trigger_vacuum,
                                  {{"y"},
                                   {"value"},
                                   {"x", nullptr, "None"},
                                   {"x_target", nullptr, "None"},
                                   {"timeout", "float", "_inf"},
                                   {"wait_time", "float", "0.0"},
                                   {"check_interval", "float", "0.1"}}};
const FunctionSpec kTriggerMultiVacuums{"trigger_multi_vacuums",
                                        trigger_multi_vacuums,
                                        {{"y_list"},
                                         {"value_list"},
                                         {"x_list", nullptr, "None"},
                                         {"x_target_list", nullptr, "None"},
                                         {"timeout", "float", "_inf"},
                                         {"wait_time", "float", "0.0"},
                                         {"check_interval", "float", "0.1"}}};

} // namespace fa
