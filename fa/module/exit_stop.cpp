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

// The object whose method a threading.Thread runs, or None.
py::object owner_of(py::handle thread) {
    py::object target = steal(PyObject_GetAttrString(thread.ptr(), "_target"));
    if (!target) return PyErr_Clear(), none();
    py::object owner = steal(PyObject_GetAttrString(target.ptr(), "__self__"));
    if (!owner) return PyErr_Clear(), none();
    return owner;
}

// 1 when the thread runs a machine's or a worker's loop (now asked to end),
// 0 when it is none of ours, -1 with the error set.
int ask_to_end(py::handle thread, py::handle machine_class, py::handle worker_class) {
    py::object owner = owner_of(thread);
    int machine = PyObject_IsInstance(owner.ptr(), machine_class.ptr());
    if (machine < 0) return -1;
    if (machine)  // stopping also ends the waits of the stations on it
        return set_bool(owner, names()._exit_flag, true) && set_bool(owner, names()._stop_flag, true) ? 1 : -1;
    int worker = PyObject_IsInstance(owner.ptr(), worker_class.ptr());
    if (worker <= 0) return worker;
    return set_bool(owner, names()._Worker__stop_flag, true) ? 1 : -1;
}

PyObject *end_threads(PyObject *, PyObject *) {
    py::object threading = steal(PyImport_ImportModule("threading"));
    py::object machine_class = global(names().MachineBase);
    py::object worker_class = global(names().Worker);
    if (!threading || !machine_class || !worker_class) return nullptr;
    py::object threads = steal(PyObject_CallMethod(threading.ptr(), "enumerate", nullptr));
    py::object current = steal(PyObject_CallMethod(threading.ptr(), "current_thread", nullptr));
    if (!threads || !current) return nullptr;
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
    py::object start = call(now);
    if (!start) return nullptr;
    double deadline = PyFloat_AsDouble(start.ptr()) + kGrace;
    for (const py::object &thread : ours) {
        py::object at = call(now);
        if (!at) return nullptr;
        double left = deadline - PyFloat_AsDouble(at.ptr());
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
    py::object atexit = steal(PyImport_ImportModule("atexit"));
    if (!hook || !atexit) return false;
    return bool(steal(PyObject_CallMethod(atexit.ptr(), "register", "O", hook.ptr())));
}

} // namespace fa
