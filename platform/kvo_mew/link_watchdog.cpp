#include "platform/kvo_mew/link_watchdog.h"

#include <cstdio>

#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/link.h"

namespace mew {
namespace {

py::object steal(PyObject *object) { return py::reinterpret_steal<py::object>(object); }

double seconds_between(HealthClock::time_point from, HealthClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The truth of a new reference: 1, 0, or -1 with the exception set (also
// when `value` is null, its exception set).
int truth(PyObject *value) {
    if (!value) return -1;
    int result = PyObject_IsTrue(value);
    Py_DECREF(value);
    return result;
}

int attribute_truth(py::handle object, const char *name) { return truth(PyObject_GetAttrString(object.ptr(), name)); }

int call_truth(py::handle object, const char *method) { return truth(PyObject_CallMethod(object.ptr(), method, nullptr)); }

// threading.current_thread(), or null with the exception set.
py::object current_thread() {
    py::object threading = py::reinterpret_steal<py::object>(PyImport_ImportModule("threading"));
    if (!threading) return {};
    return py::reinterpret_steal<py::object>(PyObject_CallMethod(threading.ptr(), "current_thread", nullptr));
}

} // namespace

LinkWatchdog::LinkWatchdog(py::object machine, double limit, py::object link, Link &watched)
    : machine_(std::move(machine)), limit_(limit), link_object_(std::move(link)), link_(watched),
      armed_since_(HealthClock::now()) {}

void LinkWatchdog::transaction_ended(bool good) {
    if (good && !tripped_) return;  // the common case: nothing to look at
    evaluate();
}

bool LinkWatchdog::check() { return evaluate(); }

int LinkWatchdog::raising() const { return thread_.is_none() ? 0 : call_truth(thread_, "is_alive"); }

bool LinkWatchdog::evaluate() {
    if (closed_ || busy_) return false;
    busy_ = true;
    struct Done {
        bool &flag;
        ~Done() { flag = false; }
    } done{busy_};
    // Nobody waits for the answer of a wake: an error goes to sys.unraisablehook.
    int raised = evaluate_now();
    if (raised < 0) kvo::rt::write_unraisable("kvo_mew.LinkWatchdog");
    return raised > 0;
}

int LinkWatchdog::evaluate_now() {
    int busy_raising = raising();
    if (busy_raising != 0) return busy_raising < 0 ? -1 : 0;
    HealthClock::time_point now = HealthClock::now();
    HealthCounters health = link_.health_counters();
    if (tripped_) {
        bool back = health.answered && health.last_good > tripped_at_;
        int flagged = recorded_ ? attribute_truth(machine_, "_exception_flag") : 1;
        if (flagged < 0) return -1;
        bool cleared = recorded_ && !flagged;
        if (!back && !cleared) return 0;
        tripped_ = false;
        armed_since_ = now;
    }
    HealthClock::time_point since = armed_since_;
    if (health.answered && health.last_good > since) since = health.last_good;
    double silent = seconds_between(since, now);
    if (silent <= limit_) return 0;
    // A stopped or closed machine has no station waiting, and a faulted one
    // has already ended them.
    int stopped = call_truth(machine_, "is_stopped");
    if (stopped != 0) return stopped < 0 ? -1 : 0;
    int faulted = attribute_truth(machine_, "_exception_flag");
    if (faulted != 0) return faulted < 0 ? -1 : 0;
    return fire(silent, health) ? 1 : -1;
}

bool LinkWatchdog::fire(double seconds, const HealthCounters &health) {
    char head[64];
    std::snprintf(head, sizeof head, "PLC link down for %.1f s: ", seconds);
    std::string detail = health.failed() ? health.last_detail : std::string("no transaction has ended");
    std::string message = head + link_.port_text() + " station " + std::to_string(health.last_station) + ": " + detail;
    py::object error = fault_of(message, seconds, health);
    if (!error) return false;
    fault_ = error;
    tripped_ = true;
    recorded_ = false;
    tripped_at_ = HealthClock::now();
    auto self = shared_from_this();
    py::cpp_function target([self, error] { self->raise_fault(error); });
    py::object threading = steal(PyImport_ImportModule("threading"));
    py::object thread_type = threading ? steal(PyObject_GetAttrString(threading.ptr(), "Thread")) : py::object();
    py::object empty = steal(PyTuple_New(0)), keywords = steal(PyDict_New());
    if (!thread_type || !empty || !keywords || PyDict_SetItemString(keywords.ptr(), "target", target.ptr()) < 0)
        return false;
    py::object thread = steal(PyObject_Call(thread_type.ptr(), empty.ptr(), keywords.ptr()));
    if (!thread) return false;
    thread_ = thread;
    return bool(steal(PyObject_CallMethod(thread_.ptr(), "start", nullptr)));
}

py::object LinkWatchdog::fault_of(const std::string &message, double seconds, const HealthCounters &health) {
    py::object text = steal(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
    py::object error = text ? steal(PyObject_CallOneArg(link_down_error_type().ptr(), text.ptr())) : py::object();
    if (!error) return {};
    py::object cause = health.failed() ? steal(PyUnicode_FromString(cause_name(health.last_cause))) : py::none();
    py::object attributes[][2] = {
        {py::str("port"), steal(PyObject_GetAttrString(link_object_.ptr(), "port"))},
        {py::str("station"), steal(PyLong_FromLong(health.last_station))},
        {py::str("seconds"), steal(PyFloat_FromDouble(seconds))},
        {py::str("cause"), cause},
        {py::str("last_error"), link_.last_error()},
    };
    for (auto &attribute : attributes)
        if (!attribute[1] || PyObject_SetAttr(error.ptr(), attribute[0].ptr(), attribute[1].ptr()) < 0) return {};
    return error;
}

void LinkWatchdog::raise_fault(py::object error) {
    py::object result = py::reinterpret_steal<py::object>(
        PyObject_CallMethodObjArgs(machine_.ptr(), py::str("raise_exception").ptr(), error.ptr(), nullptr));
    if (!result) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value == error.ptr()) {
            // No subscriber took it: the machine recorded its fault.
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
            recorded_ = true;
            return;
        }
        PyErr_Restore(type, value, traceback);
        kvo::rt::write_unraisable("kvo_mew.LinkWatchdog fault subscriber");
    }
    // A subscriber took the fault (or failed): offer it again after another limit.
    tripped_ = false;
    armed_since_ = HealthClock::now();
}

py::object LinkWatchdog::close() {
    if (!closed_) {
        closed_ = true;
        link_.unwatch(this);
    }
    if (thread_.is_none()) return py::none();
    py::object current = current_thread();
    if (!current) return {};
    if (current.is(thread_)) return py::none();
    py::object joined = py::reinterpret_steal<py::object>(PyObject_CallMethod(thread_.ptr(), "join", nullptr));
    if (!joined) return {};
    return py::none();
}

py::object LinkWatchdog::exit(py::args) { return close(); }

} // namespace mew
