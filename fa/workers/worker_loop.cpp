// The worker thread body and the default `work`: take the oldest task, work
// on it, hand the jobs it produced to the group. An exception anywhere in a
// pass ends the thread (the worker is dead) and goes on to the threading
// module's handling of uncaught thread exceptions.
#include "fa/module/classdef.h"
#include "fa/module/calls.h"
#include "fa/module/dispatch.h"
#include "fa/module/module.h"
#include "fa/workers/worker.h"

namespace fa::worker {

namespace {

OwnMethod own_name(names.name, kNameSpec, OwnMethod::Kind::Property);

py::object get_or_throw(py::handle obj, PyObject *attr) {
    py::object value = get(obj, attr);
    if (!value) raise_current();
    return value;
}

} // namespace

void take_own_hold(py::handle self) {
    if (!call_method(get_or_throw(self, kLock), names.acquire) || !set_bool(self, kOwnHold, true)) raise_current();
}

void release_own_hold(py::handle self) {
    if (!truth(get_or_throw(self, kOwnHold))) return;
    // Cleared first: the moment the lock is free another thread may take it.
    if (!set_bool(self, kOwnHold, false)) raise_current();
    py::object lock = get_or_throw(self, kLock);
    py::object locked = call_method(lock, names.locked);
    if (!locked) raise_current();
    if (truth(locked) && !call_method(lock, names.release)) raise_current();
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

namespace {

OwnMethod own_work(names.work, kWorkSpec);
OwnMethod own_loop_interval(names.loop_interval, kLoopIntervalSpec, OwnMethod::Kind::Property);

bool hand_over(py::handle group, py::handle job) {
    py::object owner = get(job, names.owner);
    if (!owner) return false;
    py::object task = get(job, names.task);
    return task && call_method(group, names.put_task, owner, task);
}

py::object loop(py::handle self, const Args &) {
    for (;;) {
        py::object stop_flag = get(self, kStopFlag);
        if (!stop_flag) return {};
        int stopped = truth_of(stop_flag);
        if (stopped) return stopped < 0 ? py::object() : none();
        take_own_hold(self);
        py::object tasks = get(self, kTaskList);
        if (!tasks) return {};
        Py_ssize_t count = PyObject_Size(tasks.ptr());
        if (count < 0) return {};
        if (count == 0) {
            release_own_hold(self);
            py::object interval = own_loop_interval.read(self);
            if (!interval) return {};
            sleep(interval);
            continue;
        }
        py::object task;
        if (PyList_CheckExact(tasks.ptr()) && PyList_GET_SIZE(tasks.ptr()) > 0) {
            // list.pop(0) without a method call.
            task = borrow(PyList_GET_ITEM(tasks.ptr(), 0));
            if (PyList_SetSlice(tasks.ptr(), 0, 1, nullptr) < 0) return {};
        } else {
            py::object zero = steal(PyLong_FromLong(0));
            task = call_method(tasks, names.pop, zero);
            if (!task) return {};
        }
        if (!set(self, kTask, task)) return {};
        py::object lock_working = get(self, kLockWorking);
        if (!lock_working) return {};
        if (!truth(lock_working)) release_own_hold(self);

        py::object achievement = own_work.call(self, task);
        if (!achievement) return {};
        if (!set(self, kTask, Py_None)) return {};
        release_own_hold(self);

        py::object group = get(self, kGroup);
        if (!group) return {};
        if (achievement.is_none() || group.is_none()) continue;
        py::object job_class = global(names.Job);
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
py::object work(py::handle self, const Args &) {
    release_own_hold(self);
    return none();
}

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
