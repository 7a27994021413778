// Worker: a station thread with a first-in-first-out task list. This file
// holds its record, properties and lifecycle (start, stop, reset); the
// thread body and the default `work` are in worker_loop.cpp, `put` in
// worker_put.cpp.
#include "fa/workers/worker.h"

#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"
#include "fa/module/names.h"

namespace fa {

namespace {

using namespace worker;

py::object init(py::handle self, const Args &a) {
    self.attr(kGroup) = a[0];
    self.attr(kName) = a[1];
    self.attr(kLock) = name(names._Lock)();
    self.attr(kTaskList) = py::list();
    self.attr(kStopFlag) = py::bool_(false);
    self.attr(kLockWorking) = a[2];
    self.attr(kMaxJobCount) = a[3];
    self.attr(kTask) = py::none();
    self.attr(kWorkThread) = py::none();
    self.attr(kPutTaskTimeout) = py::float_(-1.0);
    self.attr(kPutTaskCheckInterval) = py::float_(0.1);
    self.attr(kLoopInterval) = py::float_(0.1);
    self.attr(kOwnHold) = py::bool_(false);
    self.attr(kThreadStarted) = py::bool_(false);
    return py::none();
}

py::object get_loop_interval(py::handle self, const Args &) { return self.attr(kLoopInterval); }

py::object set_loop_interval(py::handle self, const Args &a) {
    check(a.as_double(0) > 0);
    self.attr(kLoopInterval) = a[0];
    return py::none();
}

py::object get_put_task_timeout(py::handle self, const Args &) { return self.attr(kPutTaskTimeout); }

py::object set_put_task_timeout(py::handle self, const Args &a) {
    self.attr(kPutTaskTimeout) = a[0];
    return py::none();
}

py::object get_put_task_check_interval(py::handle self, const Args &) { return self.attr(kPutTaskCheckInterval); }

py::object set_put_task_check_interval(py::handle self, const Args &a) {
    check(PyFloat_Check(a[0].ptr()));
    self.attr(kPutTaskCheckInterval) = a[0];
    return py::none();
}

py::object get_name(py::handle self, const Args &) { return self.attr(kName); }

py::object full(py::handle self, const Args &) {
    py::object length = py::int_(py::len(self.attr(kTaskList)));
    return checked(PyObject_RichCompare(length.ptr(), self.attr(kMaxJobCount).ptr(), Py_GE));
}

py::object hook(py::handle, const Args &) { return py::none(); }

py::object start(py::handle self, const Args &) {
    if (!self.attr(kWorkThread).is_none()) return py::none();
    self.attr(kStopFlag) = py::bool_(false);
    self.attr(names.before_start)();
    py::dict kwargs;
    kwargs["target"] = self.attr(names.loop);
    py::object thread = name(names._Thread)(**kwargs);
    // Not "started" until start() has returned: until then the new thread is
    // not alive yet, and the worker must not read as dead.
    self.attr(kThreadStarted) = py::bool_(false);
    self.attr(kWorkThread) = thread;
    try {
        thread.attr(names.start)();
    } catch (py::error_already_set &) {
        // A thread that never ran leaves the worker stopped, not half-started.
        self.attr(kWorkThread) = py::none();
        throw;
    }
    self.attr(kThreadStarted) = py::bool_(true);
    return py::none();
}

py::object stop(py::handle self, const Args &) {
    self.attr(kStopFlag) = py::bool_(true);
    py::object thread = self.attr(kWorkThread);
    if (thread.is_none()) return py::none();
    thread.attr(names.join)();
    self.attr(kWorkThread) = py::none();
    self.attr(kThreadStarted) = py::bool_(false);
    self.attr(names.after_stop)();
    return py::none();
}

py::object reset(py::handle self, const Args &a) {
    self.attr(names.stop)();
    self.attr(kTask) = py::none();
    if (truth(a[0])) self.attr(kTaskList).attr(names.clear)();
    release_own_hold(self);
    return py::none();
}

// Dead: a thread was started, has ended, and nobody asked it to stop.
bool is_dead(py::handle self) {
    py::object thread = self.attr(kWorkThread);
    if (thread.is_none()) return false;
    if (truth(self.attr(kStopFlag))) return false;
    if (!truth(self.attr(kThreadStarted))) return false;
    return !truth(thread.attr(names.is_alive)());
}

py::object dead(py::handle self, const Args &) { return py::bool_(is_dead(self)); }

py::object working(py::handle self, const Args &) {
    if (truth(self.attr(names.dead))) return py::bool_(false);
    return py::bool_(!self.attr(kTask).is_none());
}

py::object free(py::handle self, const Args &) {
    if (truth(self.attr(names.dead))) return py::bool_(false);
    if (py::len(self.attr(kTaskList)) != 0) return py::bool_(false);
    return py::bool_(!truth(self.attr(names.working)));
}

const FunctionSpec kInitSpec{"__init__",
                         init,
                         {{"group"},
                          {"name", "str"},
                          {"lock_working", "bool", "False"},
                          {"max_job_count", "_Union[int, float]", "_inf"}}};

const FunctionSpec kSetLoopIntervalSpec{"loop_interval", set_loop_interval, {{"value", "float"}}};
const FunctionSpec kSetPutTaskTimeoutSpec{"put_task_timeout", set_put_task_timeout, {{"value", "float"}}};
const FunctionSpec kSetPutTaskCheckIntervalSpec{"put_task_check_interval", set_put_task_check_interval, {{"value"}}};

const FunctionSpec kBeforeStartSpec{
    "before_start", hook, {}, nullptr,
    "\n\t\t如果子类有需要在启动之前执行一些动作，可以override此函数。\n\t\t"
    "注意：如果实例本来就处于工作状态，调用start并不会执行此函数。\n\t\t"};
const FunctionSpec kStartSpec{"start", start, {}, nullptr,
                          "让工人开始工作。\n\t\t参数loop_interval是工人检查是否有工作要执行的时间间隔。"};
const FunctionSpec kAfterStopSpec{
    "after_stop", hook, {}, nullptr,
    "\n\t\t如果子类有需要在停止之后执行一些额外动作，可以override此函数。\n\t\t"
    "注意：如果实例本来就处于停止状态，调用stop并不会执行此函数。\n\t\t"};
const FunctionSpec kStopSpec{"stop", stop, {}, nullptr, "让工人停止工作。"};
const FunctionSpec kResetSpec{"reset", reset, {{"clear_job", nullptr, "True"}}, nullptr,
                          "\n\t\t当发生异常时，有可能没有释放锁。整个设备可能需要执行复位。\n\t\t"
                          "这个工人（工位）也就需要复位，把未释放的锁释放掉。\n\t\t"};
const FunctionSpec kWorkingSpec{"working", working, {}, nullptr, "\n\t\t工人是否在执行工作。\n\t\t"};
const FunctionSpec kFreeSpec{"free", free, {}, nullptr, "\n\t\t工人正常运转，只是在空转。\n\t\t"};

} // namespace

namespace worker {
const FunctionSpec kLoopIntervalSpec{"loop_interval", get_loop_interval, {}, "float"};
const FunctionSpec kPutTaskTimeoutSpec{"put_task_timeout", get_put_task_timeout, {}, "float"};
const FunctionSpec kPutTaskCheckIntervalSpec{"put_task_check_interval", get_put_task_check_interval, {}, "float"};
const FunctionSpec kNameSpec{"name", get_name, {}, nullptr, "工人的名字。\n\t\t所有人都应该有个名字，对吧？"};
const FunctionSpec kFullSpec{"full", full, {}};
const FunctionSpec kDeadSpec{"dead", dead, {}, nullptr,
                         "\n\t\t执行工作时（work函数里面）发生了异常，将导致工人的loop线程退出，不能继续工作。\n\t\t"
                         "我们说这个时候此工人是死的（祈祷不会发生这样的事情）。\n\t\t"};
} // namespace worker

py::object build_Worker() {
    return ClassDef("Worker")
        .method(kInitSpec)
        .property(kLoopIntervalSpec, &kSetLoopIntervalSpec)
        .property(kPutTaskTimeoutSpec, &kSetPutTaskTimeoutSpec)
        .property(kPutTaskCheckIntervalSpec, &kSetPutTaskCheckIntervalSpec)
        .property(kNameSpec)
        .method(worker::kLoopSpec)
        .method(worker::kWorkSpec)
        .property(kFullSpec)
        .method(worker::kPutSpec)
        .method(kBeforeStartSpec)
        .method(kStartSpec)
        .method(kAfterStopSpec)
        .method(kStopSpec)
        .method(kResetSpec)
        .property(kDeadSpec)
        .property(kWorkingSpec)
        .property(kFreeSpec)
        .build();
}

} // namespace fa
