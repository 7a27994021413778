// MachineBase's record, its run flags and the fault path: a fault is first
// offered to the subscribers of exception_event; only when none takes it
// does the machine store it, raise its exception flag and raise it.
#include "fa/machine/machine_members.h"
#include "fa/machine/machine_support.h"
#include "fa/module/calls.h"
#include "fa/module/dispatch.h"
#include "fa/module/instance_attrs.h"
#include "fa/module/module.h"

namespace fa::machine {

namespace {

// raise cls()
py::object raise_new(PyObject *cls) {
    py::object exception = call_global(cls);
    if (!exception) return {};
    return fail_with(exception);
}

// [0] * count, with the host's errors for a count that is not an int.
py::object zeros(py::handle count) {
    return checked(PyNumber_Multiply(py::list(py::make_tuple(0)).ptr(), count.ptr()));
}

py::object init(py::handle self, const Args &a) {
    py::handle x_word_count = a[0], y_word_count = a[1]; // a[2], axis_count, has no effect
    self.attr(names().x_manager) = name(names().XManager)(zeros(x_word_count), zeros(x_word_count));
    self.attr(names()._y_lock) = name(names()._Lock)();
    self.attr(names()._y_words) = zeros(y_word_count);
    self.attr(names()._y_words_old) = zeros(y_word_count);
    // Shares the two lists, so it always shows the output image of the moment.
    self.attr(names().y_manager) = name(names().YManager)(self.attr(names()._y_words), self.attr(names()._y_words_old));
    self.attr(names()._exit_flag) = py::bool_(false);
    self.attr(names()._stop_flag) = py::bool_(true); // stopped until start
    self.attr(names()._pause_flag) = py::bool_(false);
    self.attr(names()._exception_flag) = py::bool_(false);
    self.attr(names()._MachineBase__exception) = py::none();
    self.attr(names()._MachineBase__exception_event) = name(names()._MachineExceptionHandler)();
    self.attr(names()._edge_event_handler) = py::list();
    self.attr(names()._eeh_type) = py::dict();
    self.attr(names()._eeh_lock) = name(names()._Lock)();
    self.attr(names()._ee_queue) = name(names()._Queue)();
    self.attr(names()._MachineBase__eeh_thread) = py::none();
    self.attr(names()._MachineBase__updater) = py::none();
    self.attr(names()._MachineBase__xy_refresh_counter) = py::int_(0);
    self.attr(names()._MachineBase__xy_refresh_counter_lock) = name(names()._Lock)();
    return py::none();
}

py::object exception_event(py::handle self, const Args &) {
    return instance_get(self, names()._MachineBase__exception_event);
}

// `stop or pause or exception`: the first true flag, else the last one.
py::object can_not_go_on(py::handle self, const Args &) {
    for (PyObject *flag : {names()._stop_flag, names()._pause_flag}) {
        py::object value = instance_get(self, flag);
        if (!value) return {};
        int on = truth_of(value);
        if (on) return on < 0 ? py::object() : value;
    }
    return instance_get(self, names()._exception_flag);
}

py::object stop(py::handle self, const Args &) {
    if (!instance_set_bool(self, names()._stop_flag, true)) return {};
    return none();
}

py::object is_stopped(py::handle self, const Args &) { return instance_get(self, names()._stop_flag); }

py::object pause(py::handle self, const Args &) {
    if (!instance_set_bool(self, names()._pause_flag, true)) return {};
    return none();
}

py::object is_paused(py::handle self, const Args &) { return instance_get(self, names()._pause_flag); }

OwnMethod own_exception_event(&Names::exception_event, kExceptionEvent, OwnMethod::Kind::Property);
OwnMethod own_is_stopped(&Names::is_stopped, kIsStopped);

py::object handle_exception(py::handle self, const Args &a) {
    py::object subscribers = own_exception_event.read(self);
    if (!subscribers) return {};
    return offer_to_subscribers(subscribers, a[0]);
}

// A fault wins over a stop request.
py::object check_stop_and_exception_flags(py::handle self, const Args &) {
    py::object flag = instance_get(self, names()._exception_flag);
    if (!flag) return {};
    int on = truth_of(flag);
    if (on < 0) return {};
    if (on) return raise_new(names().AbortByOtherException);
    py::object stopped = own_is_stopped.call(self);
    if (!stopped) return {};
    on = truth_of(stopped);
    if (on < 0) return {};
    if (on) return raise_new(names().StopException);
    return none();
}

py::object wait_if_paused(py::handle self, const Args &a) {
    py::handle check_interval = a[0];
    while (truth(self.attr(names().is_paused)())) {
        self.attr(names().check_stop_and_exception_flags)();
        sleep(check_interval);
    }
    return py::none();
}

py::object raise_exception(py::handle self, const Args &a) { return take_fault(self, borrow(a.ptr(0)), true); }

} // namespace

OwnMethod own_handle_exception(&Names::_handle_exception, kHandleException);

py::object take_fault(py::handle self, py::object fault, bool raise_stored) {
    if (!fault) return {};
    py::object taken = own_handle_exception.call(self, fault);
    if (!taken) return {};
    int on = truth_of(taken);
    if (on) return on < 0 ? py::object() : none();
    if (!instance_set(self, names()._MachineBase__exception, fault)) return {};
    if (!instance_set_bool(self, names()._exception_flag, true)) return {};
    if (!raise_stored) return fail_with(fault);
    // `raise self.__exception`: read back through the instance.
    py::object stored = instance_get(self, names()._MachineBase__exception);
    if (!stored) return {};
    return fail_with(stored);
}

const FunctionSpec kInit{"__init__", init, {{"x_word_count"}, {"y_word_count"}, {"axis_count", nullptr, "0"}}};
const FunctionSpec kExceptionEvent{"exception_event", exception_event, {}};
const FunctionSpec kCanNotGoOn{"can_not_go_on", can_not_go_on, {}};
const FunctionSpec kStop{"stop", stop, {}};
const FunctionSpec kIsStopped{"is_stopped", is_stopped, {}};
const FunctionSpec kPause{"pause", pause, {}};
const FunctionSpec kIsPaused{"is_paused", is_paused, {}};
const FunctionSpec kHandleException{"_handle_exception", handle_exception, {{"exception", "Exception"}}};
const FunctionSpec kCheckStopAndExceptionFlags{"_check_stop_and_exception_flags", check_stop_and_exception_flags, {}};
const FunctionSpec kWaitIfPaused{"wait_if_paused", wait_if_paused, {{"check_interval", "float", "0.1"}}};
const FunctionSpec kRaiseException{"raise_exception", raise_exception, {{"exception", "Exception"}}};

} // namespace fa::machine
