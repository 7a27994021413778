// The worker thread body and the default `work`: take the oldest task, work
// on it, hand the jobs it produced to the group. An exception anywhere in a
// pass ends the thread (the worker is dead) and goes on to the threading
// module's handling of uncaught thread exceptions.
#include "fa/module/classdef.h"
#include "fa/module/module.h"
#include "fa/workers/worker.h"

namespace fa::worker {

void take_own_hold(py::handle self) {
    self.attr(kLock).attr("acquire")();
    self.attr(kOwnHold) = py::bool_(true);
}

void release_own_hold(py::handle self) {
    if (!truth(self.attr(kOwnHold))) return;
    // Cleared first: the moment the lock is free another thread may take it.
    self.attr(kOwnHold) = py::bool_(false);
    py::object lock = self.attr(kLock);
    if (truth(lock.attr("locked")())) lock.attr("release")();
}

void raise_about(py::handle self, const char *cls, const char *format) {
    py::object worker_name = self.attr("name");
    PyObject *message = PyUnicode_FromFormat(format, worker_name.ptr());
    if (!message) raise_current();
    py::object exception = name(cls)(py::reinterpret_steal<py::object>(message));
    raise_object(exception);
}

namespace {

void hand_over(py::handle group, py::handle job) {
    group.attr("put_task")(job.attr("owner"), job.attr("task"));
}

py::object loop(py::handle self, const Args &) {
    while (!truth(self.attr(kStopFlag))) {
        take_own_hold(self);
        py::object tasks = self.attr(kTaskList);
        if (py::len(tasks) == 0) {
            release_own_hold(self);
            sleep(self.attr("loop_interval"));
            continue;
        }
        py::object task = tasks.attr("pop")(0);
        self.attr(kTask) = task;
        if (!truth(self.attr(kLockWorking))) release_own_hold(self);

        py::object achievement = self.attr("work")(task);
        self.attr(kTask) = py::none();
        release_own_hold(self);

        py::object group = self.attr(kGroup);
        if (achievement.is_none() || group.is_none()) continue;
        int is_job = PyObject_IsInstance(achievement.ptr(), name("Job").ptr());
        if (is_job < 0) raise_current();
        if (is_job) {
            hand_over(group, achievement);
        } else if (PyList_Check(achievement.ptr())) {
            for (py::handle job : achievement) hand_over(group, job);
        } else {
            raise(PyExc_ValueError, "Worker.work function should return a Job object or a Job list");
        }
    }
    return py::none();
}

// The default work ends the worker's own hold early (when lock_working kept
// it) and ignores the task. Subclasses that want to free the station before
// their work is done call it: Worker.work(self, task).
py::object work(py::handle self, const Args &) {
    release_own_hold(self);
    return py::none();
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
