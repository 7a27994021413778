// Small helpers shared by the machine core: holding a Python lock for a
// scope, the fault path, and the error report of the background threads.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace py = pybind11;

namespace fa::machine {

// Holds a `_Lock` object for the life of the scope. Waiting happens in the
// lock's own acquire, which releases the GIL; the lock is released on every
// way out. A lock that could not be taken (or a null one, its read having
// failed) leaves the guard false with the error set:
//
//     HeldLock held(instance_get(self, names()._y_lock));
//     if (!held) return {};
class HeldLock {
public:
    explicit HeldLock(py::object lock);
    ~HeldLock();
    HeldLock(const HeldLock &) = delete;
    HeldLock &operator=(const HeldLock &) = delete;
    explicit operator bool() const { return held_; }

private:
    py::object lock_;
    bool held_ = false;
};

// The machine's fault path for a fault already built (null: building it
// failed): offered to the subscribers through the instance's
// _handle_exception; when none takes it, stored, flagged and raised (a null
// result, the stored attribute read back first when `raise_stored`). A
// fault taken by a subscriber returns None.
py::object take_fault(py::handle self, py::object fault, bool raise_stored = false);

// subscribers(fault), directly when they are our _MachineExceptionHandler.
py::object offer_to_subscribers(py::handle subscribers, py::handle fault);

// `item in sequence`, with the host's equality test: 1, 0 or -1 with the
// error set.
int contains(py::handle sequence, py::handle item);

// Runs `step` (true, or false with the error set): 1 when it succeeded; 0
// when it failed with an error of the Exception family, which is printed on
// sys.stdout and cleared; -1 with anything else still set (SystemExit,
// KeyboardInterrupt, ...), for the caller to leave with, ending a
// background thread.
int run_reporting(const std::function<bool()> &step);

} // namespace fa::machine
