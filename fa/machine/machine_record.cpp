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

// self.<field> = global <cls>(args...): false with the error set.
template <typename... A>
bool set_made(py::handle self, PyObject *field, PyObject *cls, A... args) {
    py::object made = call_global(cls, args...);
    return made && set(self, field, made);
}

// self.<field> = [0] * count
bool set_zeros(py::handle self, PyObject *field, py::handle count) {
    py::object words = zeros(count);
    return words && set(self, field, words);
}

py::object init(py::handle self, const Args &a) {
    py::handle x_word_count = a[0], y_word_count = a[1]; // a[2], axis_count, has no effect
    {
        py::object x_manager = global(names().XManager);
        py::object words = x_manager ? zeros(x_word_count) : x_manager;
        py::object words_old = words ? zeros(x_word_count) : words;
        py::object made = words_old ? call(x_manager, words, words_old) : words_old;
        if (!made || !set(self, names().x_manager, made)) return {};
    }
    if (!set_made(self, names()._y_lock, names()._Lock)) return {};
    if (!set_zeros(self, names()._y_words, y_word_count) || !set_zeros(self, names()._y_words_old, y_word_count))
        return {};
    // Shares the two lists, so it always shows the output image of the moment.
    {
        py::object y_manager = global(names().YManager);
        py::object words = y_manager ? get(self, names()._y_words) : y_manager;
        py::object words_old = words ? get(self, names()._y_words_old) : words;
        py::object made = words_old ? call(y_manager, words, words_old) : words_old;
        if (!made || !set(self, names().y_manager, made)) return {};
    }
    py::object handlers = steal(PyList_New(0));
    py::object types = handlers ? steal(PyDict_New()) : handlers;
    py::object counter = types ? steal(PyLong_FromLong(0)) : types;
    bool done = counter && set_bool(self, names()._exit_flag, false) &&
                set_bool(self, names()._stop_flag, true) && // stopped until start
                set_bool(self, names()._pause_flag, false) && set_bool(self, names()._exception_flag, false) &&
                set(self, names()._MachineBase__exception, Py_None) &&
                set_made(self, names()._MachineBase__exception_event, names()._MachineExceptionHandler) &&
                set(self, names()._edge_event_handler, handlers) && set(self, names()._eeh_type, types) &&
                set_made(self, names()._eeh_lock, names()._Lock) && set_made(self, names()._ee_queue, names()._Queue) &&
                set(self, names()._MachineBase__eeh_thread, Py_None) && set(self, names()._MachineBase__updater, Py_None) &&
                set(self, names()._MachineBase__xy_refresh_counter, counter) &&
                set_made(self, names()._MachineBase__xy_refresh_counter_lock, names()._Lock);
    return done ? none() : py::object();
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
    for (;;) {
        int paused = truth_or_error(call_method(self, names().is_paused));
        if (paused <= 0) return paused < 0 ? py::object() : none();
        if (!call_method(self, names().check_stop_and_exception_flags) || !fa::pause(check_interval)) return {};
    }
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
