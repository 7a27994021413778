// At interpreter exit: the machine and worker threads still running once the
// threading module's join of non-daemon threads is over (a second Ctrl-C
// interrupted it, or they are daemon threads) are asked to end and given a
// moment to. Left running, the interpreter would end each one inside our code
// the next time it wants the GIL, unwinding frames whose references it no
// longer may touch. At an ordinary exit the join has ended them all already:
// this finds nothing to do.
#include "fa/module/exit_stop.h"

#include "fa/module/calls.h"
#include "fa/module/module.h"

#include <vector>

namespace fa {

namespace {

// Long enough for a refresh cycle and a poll interval; a thread stuck in
// application code is left to the interpreter.
constexpr double kGrace = 2.0;

// obj.name, None when obj has no such attribute; null with any other error.
py::object attribute_or_none(py::handle obj, PyObject *name) {
    py::object value = get(obj, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    return none();
}

// The object whose method a threading.Thread runs, or None.
py::object owner_of(py::handle thread) {
    py::object target = attribute_or_none(thread, names()._target);
    if (!target || target.is_none()) return target;
    return attribute_or_none(target, names().__self__);
}

// The module's clock (_now) in seconds; false with the error set.
bool clock_now(py::handle now, double &seconds) {
    py::object value = call(now);
    if (!value) return false;
    seconds = PyFloat_AsDouble(value.ptr());
    return !(seconds == -1.0 && PyErr_Occurred());
}

// 1 when the thread runs a machine's or a worker's loop (now asked to end),
// 0 when it is none of ours, -1 with the error set.
int ask_to_end(py::handle thread, py::handle machine_class, py::handle worker_class) {
    py::object owner = owner_of(thread);
    if (!owner) return -1;
    int machine = PyObject_IsInstance(owner.ptr(), machine_class.ptr());
    if (machine < 0) return -1;
    if (machine)  // stopping also ends the waits of the stations on it
        return set_bool(owner, names()._exit_flag, true) && set_bool(owner, names()._stop_flag, true) ? 1 : -1;
    int worker = PyObject_IsInstance(owner.ptr(), worker_class.ptr());
    if (worker <= 0) return worker;
    return set_bool(owner, names()._Worker__stop_flag, true) ? 1 : -1;
}

PyObject *end_threads(PyObject *, PyObject *) {
    py::object threading = steal(PyImport_Import(names().threading));
    py::object machine_class = global(names().MachineBase);
    py::object worker_class = global(names().Worker);
    if (!threading || !machine_class || !worker_class) return nullptr;
    py::object threads = call_method(threading, names().enumerate);
    py::object current = threads ? call_method(threading, names().current_thread) : threads;
    if (!current) return nullptr;
    if (!PyList_Check(threads.ptr())) return fail(PyExc_TypeError, "threading.enumerate() returned no list");
    std::vector<py::object> ours;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(threads.ptr()); ++i) {
        py::object thread = borrow(PyList_GET_ITEM(threads.ptr(), i));
        if (thread.ptr() == current.ptr()) continue;
        int asked = ask_to_end(thread, machine_class, worker_class);
        if (asked < 0) return nullptr;
        if (asked) ours.push_back(thread);
    }
    py::object now = global(names()._now);
    if (!now) return nullptr;
    double start;
    if (!clock_now(now, start)) return nullptr;
    double deadline = start + kGrace;
    for (const py::object &thread : ours) {
        double at;
        if (!clock_now(now, at)) return nullptr;
        double left = deadline - at;
        if (left <= 0) break;
        py::object timeout = steal(PyFloat_FromDouble(left));
        if (!timeout || !call_method(thread, names().join, timeout)) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef kEndThreads = {"_end_threads_at_exit", end_threads, METH_NOARGS, nullptr};

} // namespace

bool register_exit_stop(PyObject *module) {
    py::object hook = steal(PyCFunction_NewEx(&kEndThreads, nullptr, module));
    py::object atexit = hook ? steal(PyImport_Import(names().atexit)) : hook;
    return atexit && call_method(atexit, names().register_, hook);
}

} // namespace fa
