// MachineBase's record, its run flags and the fault path: a fault is first
// offered to the subscribers of exception_event; only when none takes it
// does the machine store it, raise its exception flag and raise it.
#include "fa/machine/machine_members.h"
#include "fa/machine/machine_support.h"
#include "fa/module/module.h"

namespace fa::machine {

namespace {

// [0] * count, with the host's errors for a count that is not an int.
py::object zeros(py::handle count) {
    return checked(PyNumber_Multiply(py::list(py::make_tuple(0)).ptr(), count.ptr()));
}

py::object init(py::handle self, const Args &a) {
    py::handle x_word_count = a[0], y_word_count = a[1]; // a[2], axis_count, has no effect
    self.attr("x_manager") = name("XManager")(zeros(x_word_count), zeros(x_word_count));
    self.attr("_y_lock") = name("_Lock")();
    self.attr("_y_words") = zeros(y_word_count);
    self.attr("_y_words_old") = zeros(y_word_count);
    // Shares the two lists, so it always shows the output image of the moment.
    self.attr("y_manager") = name("YManager")(self.attr("_y_words"), self.attr("_y_words_old"));
    self.attr("_exit_flag") = py::bool_(false);
    self.attr("_stop_flag") = py::bool_(true); // stopped until start
    self.attr("_pause_flag") = py::bool_(false);
    self.attr("_exception_flag") = py::bool_(false);
    self.attr("_MachineBase__exception") = py::none();
    self.attr("_MachineBase__exception_event") = name("_MachineExceptionHandler")();
    self.attr("_edge_event_handler") = py::list();
    self.attr("_eeh_type") = py::dict();
    self.attr("_eeh_lock") = name("_Lock")();
    self.attr("_ee_queue") = name("_Queue")();
    self.attr("_MachineBase__eeh_thread") = py::none();
    self.attr("_MachineBase__updater") = py::none();
    self.attr("_MachineBase__xy_refresh_counter") = py::int_(0);
    self.attr("_MachineBase__xy_refresh_counter_lock") = name("_Lock")();
    return py::none();
}

py::object exception_event(py::handle self, const Args &) { return self.attr("_MachineBase__exception_event"); }

// `stop or pause or exception`: the first true flag, else the last one.
py::object can_not_go_on(py::handle self, const Args &) {
    for (const char *flag : {"_stop_flag", "_pause_flag"}) {
        py::object value = self.attr(flag);
        if (truth(value)) return value;
    }
    return self.attr("_exception_flag");
}

py::object stop(py::handle self, const Args &) {
    self.attr("_stop_flag") = py::bool_(true);
    return py::none();
}

py::object is_stopped(py::handle self, const Args &) { return self.attr("_stop_flag"); }

py::object pause(py::handle self, const Args &) {
    self.attr("_pause_flag") = py::bool_(true);
    return py::none();
}

py::object is_paused(py::handle self, const Args &) { return self.attr("_pause_flag"); }

py::object handle_exception(py::handle self, const Args &a) { return self.attr("exception_event")(a[0]); }

// A fault wins over a stop request.
py::object check_stop_and_exception_flags(py::handle self, const Args &) {
    if (truth(self.attr("_exception_flag"))) raise_object(name("AbortByOtherException")());
    if (truth(self.attr("is_stopped")())) raise_object(name("StopException")());
    return py::none();
}

py::object wait_if_paused(py::handle self, const Args &a) {
    py::handle check_interval = a[0];
    while (truth(self.attr("is_paused")())) {
        self.attr("check_stop_and_exception_flags")();
        sleep(check_interval);
    }
    return py::none();
}

py::object raise_exception(py::handle self, const Args &a) {
    if (truth(self.attr("_handle_exception")(a[0]))) return py::none();
    self.attr("_MachineBase__exception") = a[0];
    self.attr("_exception_flag") = py::bool_(true);
    raise_object(self.attr("_MachineBase__exception"));
}

} // namespace

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
