// Worker.put: append a task to the worker's list, waiting for room.
//
// With a non-negative time-out the limit is measured from the call. The
// first attempt always gets one try for the lock, a non-blocking one when no
// time is left: a time-out of 0 then still accepts a task while there is
// room (on a real clock the time left is already below zero by the first
// test). Later attempts, after a sleep on a full list, give up once the time
// is over. The dead test comes first in every attempt.
#include "fa/module/calls.h"
#include "fa/module/classdef.h"
#include "fa/module/dispatch.h"
#include "fa/module/locks.h"
#include "fa/module/module.h"
#include "fa/workers/worker.h"

namespace fa::worker {

namespace {

constexpr const char *kDeadMessage = "Worker '%S' has dead. Can't put job to it.";
constexpr const char *kTimeoutMessage = "Put job to worker '%S' timeout.";

OwnMethod own_timeout(&Names::put_task_timeout, kPutTaskTimeoutSpec, OwnMethod::Kind::Property);
OwnMethod own_check_interval(&Names::put_task_check_interval, kPutTaskCheckIntervalSpec, OwnMethod::Kind::Property);
OwnMethod own_dead(&Names::dead, kDeadSpec, OwnMethod::Kind::Property);
OwnMethod own_full(&Names::full, kFullSpec, OwnMethod::Kind::Property);

// float(value) into `out`: false with the error set.
bool as_double(py::handle value, double &out) {
    out = PyFloat_AsDouble(value.ptr());
    return !(out == -1.0 && PyErr_Occurred());
}

// _now() into `out`: false with the error set.
bool clock(double &out) {
    py::object reading = call_global(names()._now);
    return reading && as_double(reading, out);
}

// The reading of `_now` that starts a put, into `begin`: false with the
// error set. Only a time-out uses it; without one, a reading of the genuine
// clock (time.time, the default `_now`) would be dropped unseen and is not
// taken. Any other `_now`, a simulated clock say, is called as always.
bool start_clock(double timeout, double &begin) {
    PyObject *&genuine = g_state->genuine_clock; // time.time
    if (!genuine) {
        py::object time_module = steal(PyImport_GetModule(names().time));
        genuine = time_module ? PyObject_GetAttr(time_module.ptr(), names().time) : nullptr;
        if (!genuine) PyErr_Clear();
    }
    py::object now = global(names()._now);
    if (!now) return false;
    if (timeout < 0 && now.ptr() == genuine) return true;
    py::object reading = call(now);
    return reading && as_double(reading, begin);
}

// threading.TIMEOUT_MAX, a constant of the interpreter: read once.
// Negative with the error set when it cannot be read.
double timeout_max() {
    static double most = -1;
    if (most < 0) {
        py::object threading = steal(PyImport_Import(names().threading));
        py::object value = threading ? get(threading, names().TIMEOUT_MAX) : threading;
        if (!value || !as_double(value, most)) most = -1;
    }
    return most;
}

// One try for the lock within `left` seconds (none left: a non-blocking
// try): 1 taken, 0 not, -1 with the error set.
int acquire_within(py::handle lock, double left) {
    if (left <= 0) return lock_try(lock, Py_False);
    double most = timeout_max();
    if (most < 0) return -1;
    // Lock.acquire refuses waits beyond threading.TIMEOUT_MAX (an infinite
    // time-out among them); such a wait is a wait without limit.
    if (left > most) return lock_try(lock, Py_True);
    py::object seconds = steal(PyFloat_FromDouble(left));
    return seconds ? lock_try(lock, Py_True, seconds.ptr()) : -1;
}

// Releases a lock this call holds when leaving early with an error.
class PutHold {
public:
    explicit PutHold(py::handle lock) : lock_(lock) {}
    PutHold(const PutHold &) = delete;
    PutHold &operator=(const PutHold &) = delete;
    ~PutHold() {
        if (!held_) return;
        // Already released by someone else: the original error matters.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (!lock_release(lock_)) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
    void taken() { held_ = true; }
    bool release() {
        held_ = false;
        return lock_release(lock_);
    }

private:
    py::handle lock_; // the caller keeps it alive
    bool held_ = false;
};

// `put_task_check_interval`, read at most once per call. An overriding
// property is read at the start, as the steps say; our own is a plain
// attribute read with no effect to keep in order, so it is read only when a
// full list makes the call sleep.
class CheckInterval {
public:
    bool start(py::handle self) {
        if (own_check_interval.own(self.ptr())) return true;
        value_ = get(self, names().put_task_check_interval);
        return bool(value_);
    }
    py::object value(py::handle self) {
        if (!value_) value_ = own_check_interval.read(self);
        return value_;
    }

private:
    py::object value_;
};

// `full`, read with the lock held. Its own body reads the task list that
// `put` then appends to, so the list is fetched once for both.
int full_now(py::handle self, py::object &tasks) {
    if (!own_full.own(self.ptr())) {
        tasks = py::object(); // read afresh for the append
        py::object full = get(self, names().full);
        return full ? truth_of(full) : -1;
    }
    tasks = get(self, kTaskList);
    return tasks ? reaches_limit(self, tasks) : -1;
}

// `dead`: 1, 0, or -1 with the error set.
int dead_now(py::handle self) {
    if (own_dead.own(self.ptr())) return is_dead(self);
    py::object dead = get(self, names().dead);
    return dead ? truth_of(dead) : -1;
}

py::object put(py::handle self, const Args &a) {
    double timeout, begin = 0;
    py::object timeout_value = own_timeout.read(self);
    if (!timeout_value || !as_double(timeout_value, timeout)) return {};
    CheckInterval check_interval;
    if (!check_interval.start(self) || !start_clock(timeout, begin)) return {};
    py::object lock = get(self, kLock);
    if (!lock) return {};
    PutHold hold(lock);
    py::object tasks;
    for (bool first = true;; first = false) {
        int dead = dead_now(self);
        if (dead) return dead < 0 ? py::object() : raise_about(self, names().DeadWorkerException, kDeadMessage);
        if (timeout >= 0) {
            double at;
            if (!clock(at)) return {};
            double left = begin + timeout - at;
            int taken = left < 0 && !first ? 0 : acquire_within(lock, left);
            if (taken <= 0) return taken < 0 ? py::object() : raise_about(self, names().FATimeoutException, kTimeoutMessage);
        } else if (!lock_acquire(lock)) {
            return {};
        }
        hold.taken();
        int full = full_now(self, tasks);
        if (full < 0) return {};
        if (!full) break;
        py::object interval = check_interval.value(self);
        if (!interval || !hold.release() || !call_global(names()._sleep, interval)) return {};
    }
    if (!tasks && !(tasks = get(self, kTaskList))) return {};
    if (PyList_CheckExact(tasks.ptr()) ? PyList_Append(tasks.ptr(), a.ptr(0)) < 0
                                       : !call_method(tasks, names().append, a[0]))
        return {};
    if (!hold.release()) return {};
    return none();
}

} // namespace

const FunctionSpec kPutSpec{"put", put, {{"task"}}, nullptr, "给工人（的工作队列）添加一项工作任务。"};

} // namespace fa::worker
