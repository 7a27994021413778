// Cylinder actions of MachineBase: set the valve outputs, then watch the
// cylinder leave its starting position and reach its target, both within
// one time limit counted from the setting of the outputs. A phase without
// a sensor becomes a blind wait derived from wait_time.
#include "fa/machine/action_steps.h"
#include "fa/machine/actions.h"

namespace fa {

namespace {

py::object half(py::handle seconds) {
    py::object two = steal(PyLong_FromLong(2));
    return two ? steal(PyNumber_TrueDivide(seconds.ptr(), two.ptr())) : two;
}

// The single-solenoid move; `timeout`, `wait_time` and `check_interval` are
// used unconverted: `timeout` None or not greater than 0 means no limit.
struct SingleCylinder {
    py::handle self;
    py::handle y, value, x_src, x_dst, timeout;
    py::object wait_time;
    py::handle check_interval;
    double begin = 0;

    // 1, 0 or -1.
    int limited() {
        if (timeout.is_none()) return 0;
        py::object zero = steal(PyLong_FromLong(0));
        return zero ? PyObject_RichCompareBool(timeout.ptr(), zero.ptr(), Py_GT) : -1;
    }

    bool report() {
        return bool(call_method(self, names().raise_cylinder_exception, y, value, x_src, x_dst, timeout, wait_time));
    }

    // Flag check and sleep until the time since `begin` exceeds `limit`.
    bool blind_wait(py::handle limit) {
        for (;;) {
            int within = elapsed_against(begin, limit, Py_LE);
            if (within <= 0) return within == 0;
            if (!flag_check(self) || !pause(check_interval)) return false;
        }
    }

    // Waits for `sensor` to read `target`, reporting a fault when the time
    // limit passes first.
    bool reach(py::handle sensor, bool target) {
        int limit = limited();
        if (limit <= 0) return limit == 0 && wait_for_target(self, sensor, target, check_interval);
        for (;;) {
            int within = elapsed_against(begin, timeout, Py_LE);
            if (within < 0) return false;
            if (!within) break;
            if (!flag_check(self)) return false;
            int done = at_target(self, sensor, target);
            if (done < 0) return false;
            if (done) break;
            if (!pause(check_interval)) return false;
        }
        int done = at_target(self, sensor, target);
        return done > 0 || (done == 0 && report());
    }

    bool run() {
        if (!set_y(self, y, value) || !clock(begin)) return false;

        // Leaving the starting position.
        if (!x_src.is_none()) {
            if (!reach(x_src, false)) return false;
        } else {
            py::object limit = half(wait_time);
            if (!limit || !blind_wait(limit)) return false;
        }

        // Reaching the target position.
        if (!x_dst.is_none()) {
            if (!reach(x_dst, true)) return false;
        } else {
            // Without any sensor the whole move is the half wait of phase 1.
            if (x_src.is_none()) {
                wait_time = half(wait_time);
                if (!wait_time) return false;
            }
            if (!blind_wait(wait_time)) return false;
        }

        return wait_while_held(self, check_interval);
    }
};

py::object trigger_cylinder(py::handle self, const Args &a) {
    SingleCylinder move{self, a[0], a[1], a[2], a[3], a[4], borrow(a.ptr(5)), a[6]};
    if (!move.run()) return {};
    return none();
}

// The supervised move of a double-solenoid cylinder. While the machine can
// not go on, both coils go to their stop values; when it resumes they get
// their move values back and the time limit starts again.
struct DoubleCylinder {
    py::handle self;
    py::handle y0, value0, y1;
    py::object value1;
    py::handle x_src, x_dst;
    double timeout, wait_time;
    py::handle check_interval, y0_stop_value, y1_stop_value;
    double begin = 0;

    bool drive() { return set_y(self, y0, value0) && set_y(self, y1, value1); }

    bool hold_if_needed() {
        int held = can_not_go_on(self);
        if (held <= 0) return held == 0;
        // A stop or a fault raises here and leaves the coils at their stop
        // values; only a pause is outlasted.
        return set_y(self, y0, y0_stop_value) && set_y(self, y1, y1_stop_value) &&
               wait_while_held(self, check_interval) && flag_check(self) && drive() && clock(begin);
    }

    // The time-limited wait for `sensor` to read `target`.
    bool supervise(py::handle sensor, bool target) {
        for (;;) {
            double passed;
            if (!elapsed(begin, passed)) return false;
            if (!(passed <= timeout)) break; // a NaN limit ends the wait too
            if (!hold_if_needed() || !flag_check(self)) return false;
            int done = at_target(self, sensor, target);
            if (done < 0) return false;
            if (done) break;
            if (!pause(check_interval)) return false;
        }
        int done = at_target(self, sensor, target);
        if (done) return done > 0;
        py::object limit = steal(PyFloat_FromDouble(timeout)), wait = steal(PyFloat_FromDouble(wait_time));
        if (!limit || !wait) return false;
        return bool(call_method(self, names().raise_dy_cylinder_exception, y0, value0, y1, value1, x_src, x_dst, limit,
                                wait));
    }

    bool wait_for(py::handle sensor, bool target) { return wait_for_target(self, sensor, target, check_interval); }

    bool blind_wait(double limit) { return wait_out(self, begin, limit, true, check_interval); }

    bool run() {
        if (!set_y(self, y0, value0)) return false;
        if (value1.is_none()) {
            int on = truth_of(value0);
            if (on < 0) return false;
            value1 = boolean(!on);
        }
        if (!set_y(self, y1, value1) || !clock(begin)) return false;

        // Leaving the starting position.
        if (!x_src.is_none()) {
            if (!(timeout > 0 ? supervise(x_src, false) : wait_for(x_src, false))) return false;
        } else if (!blind_wait(wait_time * 0.5)) {
            return false;
        }

        // Reaching the target position.
        if (!x_dst.is_none()) {
            if (!(timeout > 0 ? supervise(x_dst, true) : wait_for(x_dst, true))) return false;
        } else {
            if (x_src.is_none()) wait_time = wait_time * 0.5;
            if (!blind_wait(wait_time)) return false;
        }

        return wait_while_held(self, check_interval);
    }
};

py::object trigger_dy_cylinder(py::handle self, const Args &a) {
    DoubleCylinder move{self,
                        a[0],
                        a[1],
                        a[2],
                        borrow(a.ptr(3)),
                        a[4],
                        a[5],
                        a.as_double(6),
                        a.as_double(7),
                        a[8],
                        a[9],
                        a[10]};
    if (!move.run()) return {};
    return none();
}

} // namespace

const FunctionSpec kTriggerCylinder{"trigger_cylinder",
                                    trigger_cylinder,
                                    {{"y"},
                                     {"value"},
                                     {"x_src", nullptr, "None"},
                                     {"x_dst", nullptr, "None"},
                                     {"timeout", nullptr, "7"},
                                     {"wait_time", nullptr, "0"},
                                     {"check_interval", nullptr, "0.1"}}};
const FunctionSpec kTriggerDyCylinder{"trigger_dy_cylinder",
                                      trigger_dy_cylinder,
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
