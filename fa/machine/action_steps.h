// Steps shared by the blocking actions. Every step goes through the
// instance, so a subclass's own accessors and flag check are the ones used.
//
// The steps report an error as our bodies do: false (a truth value of -1,
// a null object) with the Python error set. Nothing here throws, so an
// action that ends in StopException, AbortByOtherException or a fault costs
// no C++ unwinding on its way out.
#pragma once

#include "fa/module/calls.h"
#include "fa/module/module.h"

namespace fa {

// Raises AbortByOtherException on a fault, StopException on a stop.
inline bool flag_check(py::handle self) { return bool(call_method(self, names()._check_stop_and_exception_flags)); }

inline int can_not_go_on(py::handle self) { return truth_or_error(call_method(self, names().can_not_go_on)); }

// self.x(x) as it is, and as a truth value.
inline py::object x_of(py::handle self, py::handle x) { return call_method(self, names().x, x); }
inline int read_x(py::handle self, py::handle x) { return truth_or_error(x_of(self, x)); }

inline bool set_y(py::handle self, py::handle y, py::handle value) {
    return bool(call_method(self, names().set_y, y, value));
}

// The module's clock (_now) in seconds.
inline bool clock(double &seconds) {
    py::object value = call_global(names()._now);
    if (!value) return false;
    seconds = PyFloat_AsDouble(value.ptr());
    return !(seconds == -1.0 && PyErr_Occurred());
}

// Seconds since `begin` on the module's clock.
inline bool elapsed(double begin, double &seconds) {
    if (!clock(seconds)) return false;
    seconds -= begin;
    return true;
}

// `elapsed op limit`, the time since `begin` as a float compared with the
// limit object by the host's operator: 1, 0 or -1.
inline int elapsed_against(double begin, py::handle limit, int op) {
    double seconds;
    if (!elapsed(begin, seconds)) return -1;
    py::object passed = steal(PyFloat_FromDouble(seconds));
    return passed ? PyObject_RichCompareBool(passed.ptr(), limit.ptr(), op) : -1;
}

// Whether self.x(sensor) reads `target`: 1, 0 or -1.
inline int at_target(py::handle self, py::handle sensor, bool target) {
    int state = read_x(self, sensor);
    return state < 0 ? -1 : bool(state) == target;
}

// Flag check and sleep until self.x(sensor) reads `target`, without limit.
inline bool wait_for_target(py::handle self, py::handle sensor, bool target, py::handle check_interval) {
    for (;;) {
        int done = at_target(self, sensor, target);
        if (done) return done > 0;
        if (!flag_check(self) || !pause(check_interval)) return false;
    }
}

// Flag check and sleep while the time since `begin` is within `limit`
// (up to it when `inclusive`, else below it).
inline bool wait_out(py::handle self, double begin, double limit, bool inclusive, py::handle check_interval) {
    for (;;) {
        double passed;
        if (!elapsed(begin, passed)) return false;
        if (!(inclusive ? passed <= limit : passed < limit)) return true;
        if (!flag_check(self) || !pause(check_interval)) return false;
    }
}

// The last step of the actions: a stop or fault raises, a pause holds the
// caller until start or reset lifts it.
inline bool wait_while_held(py::handle self, py::handle check_interval) {
    for (;;) {
        int held = can_not_go_on(self);
        if (held <= 0) return held == 0;
        if (!flag_check(self) || !pause(check_interval)) return false;
    }
}

} // namespace fa
