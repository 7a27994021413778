// Vacuum actions of MachineBase: switch the vacuum outputs, then wait for
// the sensors or, without sensors, a fixed time.
#include "fa/machine/action_steps.h"
#include "fa/machine/actions.h"
#include "fa/module/names.h"

namespace fa {

namespace {

// Flag check and sleep while less than `wait_time` has passed since `begin`.
void fixed_wait(py::handle self, double begin, double wait_time, py::handle check_interval) {
    while (elapsed(begin) < wait_time) {
        flag_check(self);
        sleep(check_interval);
    }
}

// Unlike the cylinders, a time-out of 0 is a limit here: the sensor is read
// once and reported at once if it is off target. A pause does not hold it.
py::object trigger_vacuum(py::handle self, const Args &a) {
    py::handle y = a[0], value = a[1], x = a[2], x_target = a[3];
    double timeout = a.as_double(4), wait_time = a.as_double(5);
    py::handle check_interval = a[6];

    set_y(self, y, value);
    double begin = now();
    if (!x.is_none()) {
        check(!x_target.is_none());
        while (elapsed(begin) <= timeout) {
            flag_check(self);
            if (equal(self.attr(names.x)(x), x_target)) break;
            sleep(check_interval);
        }
        if (not_equal(self.attr(names.x)(x), x_target))
            self.attr(names.raise_vacuum_exception)(y, value, x, x_target, a[4]);
    } else {
        fixed_wait(self, begin, wait_time, check_interval);
    }
    return py::none();
}

py::object trigger_multi_vacuums(py::handle self, const Args &a) {
    py::handle x_list = a[2], x_target_list = a[3];
    double wait_time = a.as_double(5);
    py::handle check_interval = a[6];

    // zip refuses a list that is not iterable before any output is set.
    py::object pairs = name(names.zip)(a[0], a[1]);
    for (py::handle pair : pairs) {
        py::object y = pair[py::int_(0)];
        py::object value = pair[py::int_(1)];
        self.attr(names.trigger_vacuum)(y, value);
    }

    if (!x_list.is_none()) {
        check(!x_target_list.is_none());
        self.attr(names.wait_for_multi_signals)(x_list, x_target_list, a[4], check_interval);
    } else {
        fixed_wait(self, now(), wait_time, check_interval);
    }
    return py::none();
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
