#include "fa/machine/machine_support.h"

#include "fa/module/calls.h"
#include "fa/module/locks.h"
#include "fa/module/module.h"

namespace fa::machine {

HeldLock::HeldLock(py::object lock) : lock_(std::move(lock)) {
    if (!lock_acquire(lock_)) raise_current();
}

HeldLock::~HeldLock() {
    // May run while an error travels; keep it aside during the release.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!lock_release(lock_)) PyErr_WriteUnraisable(lock_.ptr());
    PyErr_Restore(type, value, traceback);
}

bool contains(py::handle sequence, py::handle item) {
    int found = PySequence_Contains(sequence.ptr(), item.ptr());
    if (found < 0) raise_current();
    return found == 1;
}


namespace {

void print_error(py::error_already_set &error) {
    // A failing sys.stdout must not end the thread that reports.
    try {
        print_line(error.value());
    } catch (py::error_already_set &print_error) {
        if (!print_error.matches(PyExc_Exception)) throw;
    }
}

} // namespace

bool run_reporting(const std::function<void()> &step) {
    try {
        step();
        return true;
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_Exception)) throw;
        print_error(error);
    } catch (py::builtin_exception &cpp_error) {
        cpp_error.set_error();
        py::error_already_set error;
        print_error(error);
    }
    return false;
}

} // namespace fa::machine
