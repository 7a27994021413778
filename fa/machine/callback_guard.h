// Calls that must not come from inside a callback. A machine runs its direct
// edge-event handlers while it holds the handler registry's lock, and an
// exception_event runs its subscribers while it holds the subscriber list's
// guard; neither lock is re-entrant. A callback that called back into the
// same registry would wait for ever for a lock its own thread holds, so each
// thread keeps a note of whose callbacks it is running, and such a call is
// refused with RuntimeError instead.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace fa::machine {

// While it lives, this thread runs callbacks of `owner`.
class CallbackScope {
public:
    explicit CallbackScope(py::handle owner);
    ~CallbackScope();
    CallbackScope(const CallbackScope &) = delete;
    CallbackScope &operator=(const CallbackScope &) = delete;

private:
    PyObject *owner_;
};

// Whether this thread runs callbacks of `owner` now.
bool inside_callbacks(py::handle owner);

// True when this thread runs no callbacks of `owner`; else false with
// RuntimeError `message` set.
bool outside_callbacks(py::handle owner, const char *message);

} // namespace fa::machine
