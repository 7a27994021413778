// Worker: a station thread with a first-in-first-out task list. This file
// holds its record, properties and lifecycle (start, stop, reset); the
// thread body and the default `work` are in worker_loop.cpp, `put` in
// worker_put.cpp.
#include "fa/workers/worker.h"

#include <utility>

#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"
#include "fa/module/state.h"

namespace fa {

namespace {

using namespace worker;

py::object init(py::handle self, const Args &a) {
    // In the order of the record; `_Lock()` is called once the name is set.
    if (!set(self, kGroup, a[0]) || !set(self, kName, a[1])) return {};
    py::object lock = call_global(names()._Lock);
    if (!lock) return {};
    py::object tasks = steal(PyList_New(0));
    py::object timeout = steal(PyFloat_FromDouble(-1.0));
    py::object check_interval = steal(PyFloat_FromDouble(0.1));
    py::object loop_interval = steal(PyFloat_FromDouble(0.1));
    if (!tasks || !timeout || !check_interval || !loop_interval) return {};
    const std::pair<PyObject *, PyObject *> fields[] = {
        {kLock, lock.ptr()},
        {kTaskList, tasks.ptr()},
        {kStopFlag, Py_False},
        {kLockWorking, a.ptr(2)},
        {kMaxJobCount, a.ptr(3)},
        {kTask, Py_None},
        {kWorkThread, Py_None},
        {kPutTaskTimeout, timeout.ptr()},
        {kPutTaskCheckInterval, check_interval.ptr()},
        {kLoopInterval, loop_interval.ptr()},
        {kOwnHold, Py_False},
        {kThreadStarted, Py_False},
    };
    for (const auto &[field, value] : fields)
        if (!set(self, field, value)) return {};
    return none();
}

py::object get_loop_interval(py::handle self, const Args &) { return get(self, kLoopInterval); }

py::object set_loop_interval(py::handle self, const Args &a) {
    if (!asserted(a.as_double(0) > 0) || !set(self, kLoopInterval, a[0])) return {};
    return none();
}

py::object get_put_task_timeout(py::handle self, const Args &) { return get(self, kPutTaskTimeout); }

py::object set_put_task_timeout(py::handle self, const Args &a) {
    return set(self, kPutTaskTimeout, a[0]) ? none() : py::object();
}

py::object get_put_task_check_interval(py::handle self, const Args &) { return get(self, kPutTaskCheckInterval); }

py::object set_put_task_check_interval(py::handle self, const Args &a) {
    if (!asserted(PyFloat_Check(a.ptr(0))) || !set(self, kPutTaskCheckInterval, a[0])) return {};
    return none();
}

py::object get_name(py::handle self, const Args &) { return get(self, kName); }

py::object full(py::handle self, const Args &) {
    py::object tasks = get(self, kTaskList);
    int reached = tasks ? reaches_limit(self, tasks) : -1;
    return reached < 0 ? py::object() : boolean(reached);
}

py::object hook(py::handle, const Args &) { return none(); }

py::object start(py::handle self, const Args &) {
    py::object current = get(self, kWorkThread);
    if (!current) return {};
    if (!current.is_none()) return none();
    if (!set_bool(self, kStopFlag, false) || !call_method(self, names().before_start)) return {};
    py::object target = get(self, names().loop);
    if (!target) return {};
    py::object thread_class = global(names()._Thread);
    if (!thread_class) return {};
    PyObject *argv[] = {nullptr, target.ptr()};
    py::object keywords = steal(PyTuple_Pack(1, names().target));
    if (!keywords) return {};
    py::object thread = steal(PyObject_Vectorcall(thread_class.ptr(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                  keywords.ptr()));
    if (!thread) return {};
    // Not "started" until start() has returned: until then the new thread is
    // not alive yet, and the worker must not read as dead.
    if (!set_bool(self, kThreadStarted, false) || !set(self, kWorkThread, thread)) return {};
    if (!call_method(thread, names().start)) {
        // A thread that never ran leaves the worker stopped, not half-started.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (!set(self, kWorkThread, Py_None)) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return {};
    }
    return set_bool(self, kThreadStarted, true) ? none() : py::object();
}

py::object stop(py::handle self, const Args &) {
    if (!set_bool(self, kStopFlag, true)) return {};
    py::object thread = get(self, kWorkThread);
    if (!thread) return {};
    if (thread.is_none()) return none();
    if (!call_method(thread, names().join) || !set(self, kWorkThread, Py_None) ||
        !set_bool(self, kThreadStarted, false) || !call_method(self, names().after_stop))
        return {};
    return none();
}

py::object reset(py::handle self, const Args &a) {
    if (!call_method(self, names().stop) || !set(self, kTask, Py_None)) return {};
    int clear = truth_of(a[0]);
    if (clear < 0) return {};
    if (clear) {
        py::object tasks = get(self, kTaskList);
        if (!tasks || !call_method(tasks, names().clear)) return {};
    }
    return release_own_hold(self) ? none() : py::object();
}

// `value is None`, `bool(value)`: 1, 0, or -1 with the error set (a null
// value is the error of the read that made it).
int is_none(const py::object &value) { return value ? value.is_none() : -1; }
int is_true(const py::object &value) { return value ? truth_of(value) : -1; }

// bool(self.name): 1, 0, or -1 with the error set.
int read_flag(py::handle self, PyObject *name) { return is_true(get(self, name)); }

py::object as_result(int flag) { return flag < 0 ? py::object() : boolean(flag); }

py::object dead(py::handle self, const Args &) { return as_result(is_dead(self)); }

py::object working(py::handle self, const Args &) {
    int dead = read_flag(self, names().dead);
    if (dead) return dead < 0 ? py::object() : boolean(false);
    int idle = is_none(get(self, kTask));
    return as_result(idle < 0 ? -1 : !idle);
}

py::object free(py::handle self, const Args &) {
    int dead = read_flag(self, names().dead);
    if (dead) return dead < 0 ? py::object() : boolean(false);
    py::object tasks = get(self, kTaskList);
    Py_ssize_t waiting = tasks ? PyObject_Size(tasks.ptr()) : -1;
    if (waiting) return waiting < 0 ? py::object() : boolean(false);
    int busy = read_flag(self, names().working);
    return as_result(busy < 0 ? -1 : !busy);
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

// Dead: a thread was started, has ended, and nobody asked it to stop.
int is_dead(py::handle self) {
    py::object thread = get(self, kWorkThread);
    if (!thread) return -1;
    if (thread.is_none()) return 0;
    int flag = read_flag(self, kStopFlag);
    if (flag) return flag < 0 ? -1 : 0;
    int started = read_flag(self, kThreadStarted);
    if (started <= 0) return started;
    int alive = is_true(call_method(thread, names().is_alive));
    return alive < 0 ? -1 : !alive;
}

int reaches_limit(py::handle self, py::handle tasks) {
    Py_ssize_t length = PyList_CheckExact(tasks.ptr()) ? PyList_GET_SIZE(tasks.ptr()) : PyObject_Size(tasks.ptr());
    if (length < 0) return -1;
    py::object most = get(self, kMaxJobCount);
    if (!most) return -1;
    // The usual limits compare natively: infinity (the default) or an int.
    if (PyFloat_CheckExact(most.ptr())) return double(length) >= PyFloat_AS_DOUBLE(most.ptr());
    if (PyLong_CheckExact(most.ptr())) {
        int overflow;
        long long limit = PyLong_AsLongLongAndOverflow(most.ptr(), &overflow);
        if (overflow) return overflow < 0;
        if (limit == -1 && PyErr_Occurred()) return -1;
        return length >= limit;
    }
    py::object count = steal(PyLong_FromSsize_t(length));
    if (!count) return -1;
    return is_true(steal(PyObject_RichCompare(count.ptr(), most.ptr(), Py_GE)));
}

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
