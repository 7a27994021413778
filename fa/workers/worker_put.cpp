// Worker.put: append a task to the worker's list, waiting for room.
//
// With a non-negative time-out the limit is measured from the call. The
// first attempt always gets one try for the lock, a non-blocking one when no
// time is left: a time-out of 0 then still accepts a task while there is
// room (on a real clock the time left is already below zero by the first
// test). Later attempts, after a sleep on a full list, give up once the time
// is over. The dead test comes first in every attempt.
#include "fa/module/classdef.h"
#include "fa/module/calls.h"
#include "fa/module/dispatch.h"
#include "fa/module/module.h"
#include "fa/workers/worker.h"

#include <cmath>

namespace fa::worker {

namespace {

constexpr const char *kDeadMessage = "Worker '%S' has dead. Can't put job to it.";
constexpr const char *kTimeoutMessage = "Put job to worker '%S' timeout.";

OwnMethod own_timeout(names.put_task_timeout, kPutTaskTimeoutSpec, OwnMethod::Kind::Property);
OwnMethod own_check_interval(names.put_task_check_interval, kPutTaskCheckIntervalSpec, OwnMethod::Kind::Property);
OwnMethod own_dead(names.dead, kDeadSpec, OwnMethod::Kind::Property);
OwnMethod own_full(names.full, kFullSpec, OwnMethod::Kind::Property);

// threading.TIMEOUT_MAX, a constant of the interpreter: read once.
double timeout_max() {
    static double most = -1;
    if (most < 0) most = to_double(py::module_::import("threading").attr("TIMEOUT_MAX"));
    return most;
}

// One try for the lock within `left` seconds (none left: a non-blocking
// try): 1 taken, 0 not, -1 with the error set.
int acquire_within(py::handle lock, double left) {
    py::object taken;
    if (left <= 0) {
        taken = call_method(lock, names.acquire, Py_False);
    } else if (left > timeout_max()) {
        // Lock.acquire refuses waits beyond threading.TIMEOUT_MAX (an
        // infinite time-out among them); such a wait is a wait without limit.
        taken = call_method(lock, names.acquire, Py_True);
    } else {
        py::object seconds = steal(PyFloat_FromDouble(left));
        if (!seconds) return -1;
        taken = call_method(lock, names.acquire, Py_True, seconds);
    }
    if (!taken) return -1;
    return truth_of(taken);
}

// Releases a lock this call holds when leaving early (an error, or an
// exception thrown past it).
class PutHold {
public:
    explicit PutHold(py::object lock) : lock_(std::move(lock)) {}
    PutHold(const PutHold &) = delete;
    PutHold &operator=(const PutHold &) = delete;
    ~PutHold() {
        if (!held_) return;
        // Already released by someone else: the original error matters.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (!call_method(lock_, names.release)) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
    void taken() { held_ = true; }
    bool release() {
        held_ = false;
        return bool(call_method(lock_, names.release));
    }

private:
    py::object lock_;
    bool held_ = false;
};

py::object put(py::handle self, const Args &a) {
    py::object timeout_value = own_timeout.read(self);
    if (!timeout_value) return {};
    double timeout = to_double(timeout_value);
    py::object check_interval = own_check_interval.read(self);
    if (!check_interval) return {};
    double begin = now();
    py::object lock = get(self, kLock);
    if (!lock) return {};
    PutHold hold(lock);
    for (bool first = true;; first = false) {
        py::object dead = own_dead.read(self);
        if (!dead) return {};
        int is_dead = truth_of(dead);
        if (is_dead) return is_dead < 0 ? py::object() : raise_about(self, names.DeadWorkerException, kDeadMessage);
        if (timeout >= 0) {
            double left = begin + timeout - now();
            int taken = left < 0 && !first ? 0 : acquire_within(lock, left);
            if (taken <= 0) return taken < 0 ? py::object() : raise_about(self, names.FATimeoutException, kTimeoutMessage);
        } else if (!call_method(lock, names.acquire)) {
            return {};
        }
        hold.taken();
        py::object full = own_full.read(self);
        if (!full) return {};
        int is_full = truth_of(full);
        if (is_full < 0) return {};
        if (!is_full) break;
        if (!hold.release()) return {};
        sleep(check_interval);
    }
    py::object tasks = get(self, kTaskList);
    if (!tasks) return {};
    if (PyList_CheckExact(tasks.ptr()) ? PyList_Append(tasks.ptr(), a.ptr(0)) < 0
                                       : !call_method(tasks, names.append, a[0]))
        return {};
    if (!hold.release()) return {};
    return none();
}

} // namespace

const FunctionSpec kPutSpec{"put", put, {{"task"}}, nullptr, "给工人（的工作队列）添加一项工作任务。"};

} // namespace fa::worker
