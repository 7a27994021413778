// Small helpers shared by the machine core: holding a Python lock for a
// scope, raising an exception object, and the error report of the
// background threads.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace py = pybind11;

namespace fa::machine {

// Holds a `_Lock` object for the life of the scope. Waiting happens in the
// lock's own acquire, which releases the GIL; the lock is released on every
// way out, exceptions included.
class HeldLock {
public:
    explicit HeldLock(py::object lock);
    ~HeldLock();
    HeldLock(const HeldLock &) = delete;
    HeldLock &operator=(const HeldLock &) = delete;

private:
    py::object lock_;
};

// The machine's fault path for a fault already built (null: building it
// failed): offered to the subscribers through the instance's
// _handle_exception; when none takes it, stored, flagged and raised (a null
// result, the stored attribute read back first when `raise_stored`). A
// fault taken by a subscriber returns None.
py::object take_fault(py::handle self, py::object fault, bool raise_stored = false);

// subscribers(fault), directly when they are our _MachineExceptionHandler.
py::object offer_to_subscribers(py::handle subscribers, py::handle fault);

// `item in sequence`, with the host's equality test.
bool contains(py::handle sequence, py::handle item);

// Runs `step`; an error of the Exception family is printed on sys.stdout
// and reported as false. Anything else (SystemExit, KeyboardInterrupt, ...)
// leaves through the caller, ending a background thread.
bool run_reporting(const std::function<void()> &step);

} // namespace fa::machine
