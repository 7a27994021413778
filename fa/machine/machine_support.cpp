#include "fa/machine/machine_support.h"

#include "fa/module/calls.h"
#include "fa/module/locks.h"
#include "fa/module/module.h"

namespace fa::machine {

HeldLock::HeldLock(py::object lock) : lock_(std::move(lock)) { held_ = lock_ && lock_acquire(lock_); }

HeldLock::~HeldLock() {
    if (!held_) return;
    // May run while an error travels; keep it aside during the release (a
    // Ctrl-C met there stays pending).
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!lock_release(lock_)) kvo::rt::write_unraisable_for(lock_);
    PyErr_Restore(type, value, traceback);
}

int contains(py::handle sequence, py::handle item) { return PySequence_Contains(sequence.ptr(), item.ptr()); }

namespace {

// Prints the error set and clears it. A failing sys.stdout must not end the
// thread that reports: its error of the Exception family is dropped; false
// with anything else set.
bool print_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    py::object error = steal(value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    if (print_line(error ? error : none())) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

} // namespace

int run_reporting(const std::function<bool()> &step) {
    if (step()) return 1;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    return print_error() ? 0 : -1;
}

} // namespace fa::machine
