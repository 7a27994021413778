// Cylinder actions of MachineBase: set the valve outputs, then watch the
// cylinder leave its starting position and reach its target, both within
// one time limit counted from the setting of the outputs. A phase without
// a sensor becomes a blind wait derived from wait_time.
#include "fa/machine/action_steps.h"
#include "fa/machine/actions.h"
#include "fa/module/names.h"

namespace fa {

namespace {

py::object half(py::handle seconds) {
    return checked(PyNumber_TrueDivide(seconds.ptr(), py::int_(2).ptr()));
}

// Flag check and sleep until `elapsed` exceeds `limit`.
void blind_wait(py::handle self, double begin, py::handle limit, py::handle check_interval) {
    while (py::float_(elapsed(begin)) <= limit) {
        flag_check(self);
        sleep(check_interval);
    }
}

// trigger_cylinder uses its arguments unconverted: `timeout` None or not
// greater than 0 means no limit.
py::object trigger_cylinder(py::handle self, const Args &a) {
    py::handle y = a[0], value = a[1], x_src = a[2], x_dst = a[3];
    py::handle timeout = a[4], check_interval = a[6];
    py::object wait_time = py::reinterpret_borrow<py::object>(a[5]);
    auto limited = [&] { return !timeout.is_none() && timeout > py::int_(0); };
    auto report = [&] { self.attr(names.raise_cylinder_exception)(y, value, x_src, x_dst, timeout, wait_time); };

    set_y(self, y, value);
    double begin = now();

    // Leaving the starting position.
    if (!x_src.is_none()) {
        if (limited()) {
            while (py::float_(elapsed(begin)) <= timeout) {
                flag_check(self);
                if (!read_x(self, x_src)) break;
                sleep(check_interval);
            }
            if (read_x(self, x_src)) report();
        } else {
            while (read_x(self, x_src)) {
                flag_check(self);
                sleep(check_interval);
            }
        }
    } else {
        blind_wait(self, begin, half(wait_time), check_interval);
    }

    // Reaching the target position.
    if (!x_dst.is_none()) {
        if (limited()) {
            while (py::float_(elapsed(begin)) <= timeout) {
                flag_check(self);
                if (read_x(self, x_dst)) break;
                sleep(check_interval);
            }
            if (!read_x(self, x_dst)) report();
        } else {
            while (!read_x(self, x_dst)) {
                flag_check(self);
                sleep(check_interval);
            }
        }
    } else {
        // Without any sensor the whole move is the half wait of phase 1.
        if (x_src.is_none()) wait_time = half(wait_time);
        blind_wait(self, begin, wait_time, check_interval);
    }

    wait_while_held(self, check_interval);
    return py::none();
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

    void drive() {
        set_y(self, y0, value0);
        set_y(self, y1, value1);
    }

    void hold_if_needed() {
        if (!can_not_go_on(self)) return;
        set_y(self, y0, y0_stop_value);
        set_y(self, y1, y1_stop_value);
        // A stop or a fault raises here and leaves the coils at their stop
        // values; only a pause is outlasted.
        wait_while_held(self, check_interval);
        flag_check(self);
        drive();
        begin = now();
    }

    // The time-limited wait for `sensor` to read `target`.
    void supervise(py::handle sensor, bool target) {
        while (elapsed(begin) <= timeout) {
            hold_if_needed();
            flag_check(self);
            if (read_x(self, sensor) == target) break;
            sleep(check_interval);
        }
        if (read_x(self, sensor) != target) {
            self.attr(names.raise_dy_cylinder_exception)(y0, value0, y1, value1, x_src, x_dst, timeout, wait_time);
        }
    }

    void wait_for(py::handle sensor, bool target) {
        while (read_x(self, sensor) != target) {
            flag_check(self);
            sleep(check_interval);
        }
    }

    void blind_wait(double limit) {
        while (elapsed(begin) <= limit) {
            flag_check(self);
            sleep(check_interval);
        }
    }

    void run() {
        set_y(self, y0, value0);
        if (value1.is_none()) value1 = py::bool_(!truth(value0));
        set_y(self, y1, value1);
        begin = now();

        // Leaving the starting position.
        if (!x_src.is_none()) {
            if (timeout > 0)
                supervise(x_src, false);
            else
                wait_for(x_src, false);
        } else {
            blind_wait(wait_time * 0.5);
        }

        // Reaching the target position.
        if (!x_dst.is_none()) {
            if (timeout > 0)
                supervise(x_dst, true);
            else
                wait_for(x_dst, true);
        } else {
            if (x_src.is_none()) wait_time = wait_time * 0.5;
            blind_wait(wait_time);
        }

        wait_while_held(self, check_interval);
    }
};

py::object trigger_dy_cylinder(py::handle self, const Args &a) {
    DoubleCylinder move{self,
                        a[0],
                        a[1],
                        a[2],
                        py::reinterpret_borrow<py::object>(a[3]),
                        a[4],
                        a[5],
                        a.as_double(6),
                        a.as_double(7),
                        a[8],
                        a[9],
                        a[10]};
    move.run();
    return py::none();
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
