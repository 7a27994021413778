// The worker thread body and the default `work`: take the oldest task, work
// on it, hand the jobs it produced to the group. An exception anywhere in a
// pass ends the thread (the worker is dead) and goes on to the threading
// module's handling of uncaught thread exceptions.
#include "fa/module/calls.h"
#include "fa/module/classdef.h"
#include "fa/module/dispatch.h"
#include "fa/module/locks.h"
#include "fa/module/module.h"
#include "fa/workers/worker.h"

namespace fa::worker {

namespace {

OwnMethod own_name(&Names::name, kNameSpec, OwnMethod::Kind::Property);

} // namespace

bool release_own_hold(py::handle self) {
    py::object flag = get(self, kOwnHold);
    if (!flag) return false;
    int held = truth_of(flag);
    if (held <= 0) return held == 0;
    // Cleared first: the moment the lock is free another thread may take it.
    if (!set_bool(self, kOwnHold, false)) return false;
    py::object lock = get(self, kLock);
    return lock && lock_release_if_locked(lock);
}

py::object raise_about(py::handle self, PyObject *cls, const char *format) {
    py::object worker_name = own_name.read(self);
    if (!worker_name) return {};
    py::object message = steal(PyUnicode_FromFormat(format, worker_name.ptr()));
    if (!message) return {};
    py::object exception = call_global(cls, message);
    if (!exception) return {};
    return fail_with(exception);
}

bool asserted(bool condition) {
    if (condition || !assertions_enabled()) return true;
    PyErr_SetNone(PyExc_AssertionError);
    return false;
}

namespace {

OwnMethod own_work(&Names::work, kWorkSpec);
OwnMethod own_loop_interval(&Names::loop_interval, kLoopIntervalSpec, OwnMethod::Kind::Property);

bool hand_over(py::handle group, py::handle job) {
    py::object owner = get(job, names().owner);
    if (!owner) return false;
    py::object task = get(job, names().task);
    return task && call_method(group, names().put_task, owner, task);
}

// An error while the loop holds the lock it has not marked as its own: the
// mark goes on, so that `reset` releases what the dead worker left held.
py::object leave_holding(py::handle self) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!set_bool(self, kOwnHold, true)) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return {};
}

// Takes the oldest task off `tasks` (list.pop(0)); null with the error set,
// or null without one when the list is empty.
py::object take_oldest(py::handle tasks) {
    if (PyList_CheckExact(tasks.ptr())) {
        if (PyList_GET_SIZE(tasks.ptr()) == 0) return {};
        py::object task = borrow(PyList_GET_ITEM(tasks.ptr(), 0));
        if (PyList_SetSlice(tasks.ptr(), 0, 1, nullptr) < 0) return {};
        return task;
    }
    Py_ssize_t count = PyObject_Size(tasks.ptr());
    if (count <= 0) return {};
    py::object zero = steal(PyLong_FromLong(0));
    return zero ? call_method(tasks, names().pop, zero) : zero;
}

// One pass from the lock to the return of `work`. The hold the pass takes
// is marked as the worker's own only when it may be seen by anyone else:
// while `work` runs (lock_working), or when an error leaves it held. In
// between, nobody else can release it on the worker's behalf (`reset` joins
// the thread first), so the mark would be written and cleared unseen.
// `achievement` is left null when the list was empty and the pass slept.
bool pass(py::handle self, py::object &achievement) {
    py::object lock = get(self, kLock);
    if (!lock || !lock_acquire(lock)) return false;
    py::object tasks = get(self, kTaskList);
    if (!tasks) return leave_holding(self), false;
    py::object task = take_oldest(tasks);
    if (!task) {
        if (PyErr_Occurred()) return leave_holding(self), false;
        if (!lock_release(lock)) return false;
        py::object interval = own_loop_interval.read(self);
        return interval && call_global(names()._sleep, interval);
    }
    if (!set(self, kTask, task)) return leave_holding(self), false;
    py::object lock_working = get(self, kLockWorking);
    int keep = lock_working ? truth_of(lock_working) : -1;
    if (keep < 0) return leave_holding(self), false;
    if (keep ? !set_bool(self, kOwnHold, true) : !lock_release(lock)) return false;
    lock = py::object(); // `work` may release it; the own-hold flag tells

    achievement = own_work.call(self, task);
    if (!achievement || !set(self, kTask, Py_None)) return false;
    // Without lock_working the mark was never set, and `work` cannot set it.
    return !keep || release_own_hold(self);
}

py::object loop(py::handle self, const Args &) {
    for (;;) {
        py::object stop_flag = get(self, kStopFlag);
        if (!stop_flag) return {};
        int stopped = truth_of(stop_flag);
        if (stopped) return stopped < 0 ? py::object() : none();
        py::object achievement;
        if (!pass(self, achievement)) return {};
        if (!achievement || achievement.is_none()) continue;

        py::object group = get(self, kGroup);
        if (!group) return {};
        if (group.is_none()) continue;
        py::object job_class = global(names().Job);
        if (!job_class) return {};
        int is_job = PyObject_IsInstance(achievement.ptr(), job_class.ptr());
        if (is_job < 0) return {};
        if (is_job) {
            if (!hand_over(group, achievement)) return {};
        } else if (PyList_Check(achievement.ptr())) {
            py::object jobs = steal(PyObject_GetIter(achievement.ptr()));
            if (!jobs) return {};
            while (py::object job = steal(PyIter_Next(jobs.ptr())))
                if (!hand_over(group, job)) return {};
            if (PyErr_Occurred()) return {};
        } else {
            return fail(PyExc_ValueError, "Worker.work function should return a Job object or a Job list");
        }
    }
}

// The default work ends the worker's own hold early (when lock_working kept
// it) and ignores the task. Subclasses that want to free the station before
// their work is done call it: Worker.work(self, task).
py::object work(py::handle self, const Args &) { return release_own_hold(self) ? none() : py::object(); }

} // namespace

const FunctionSpec kLoopSpec{
    "loop", loop, {}, nullptr,
    "轮询是否有任务需要执行。loop_interval是轮询的时间间隔（通过start传入）。\n\t\t"
    "如果有工作，则取出工作，调用work函数执行工作。\n\t\t"
    "执行完工作后，如果有新工作任务产生，并且设置了下一个工人，就交给他。\n\t\t"
    "如果在执行工作的时候（work函数里面）发生异常，此工人将成为“死工人”。\n\t\t"
    "如果把新工作交给下一个工人时，发现下一个工人死了，此工人也将死去。"};

const FunctionSpec kWorkSpec{"work", work, {{"task"}}, "object",
                             "执行工作任务。\n\t\t通常，子类应该重载此函数，以完成真正的工作任务。\n\t\t"
                             "这里，作为一个示范函数，只是提前释放锁。"};

} // namespace fa::worker
