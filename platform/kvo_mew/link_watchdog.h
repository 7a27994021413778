// LinkWatchdog: turns a silent link into a machine fault an operator
// understands. Once the link has given no good answer for `limit` seconds,
// the watchdog raises kvo_mew.LinkDownError ("PLC link down for 0.6 s:
// /dev/ttyUSB0 station 1: no answer within 0.3 s") through the machine's
// raise_exception, so the fault subscribers hear of it first and, if none
// takes it, every station's blocking action ends with AbortByOtherException
// instead of a sensor time-out.
//
// It has no thread of its own: the link tells it of the end of every
// transaction (on the refresh thread, after the link's locks are let go),
// and check() lets any other thread ask. The fault itself is raised on a
// short-lived thread, because the refresh thread is in the middle of a cycle
// with the machine's locks held: subscribers there could not call set_y or
// sync_xy_refresher, and a slow one would hold up the refresh.
//
// One fault per outage: the watchdog arms again when the link answers well,
// or when the machine's fault has been cleared by reset (the limit then runs
// from that moment), or, when a subscriber took the fault, `limit` seconds
// later. Everything here runs with the GIL held and reports errors as the
// rest of kvo_mew does (errors.h).
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "link/link_health.h"

namespace mew {

namespace py = pybind11;

class Link;

class LinkWatchdog : public std::enable_shared_from_this<LinkWatchdog> {
public:
    // `link` is the VedUzavur whose Link `watched` is.
    LinkWatchdog(py::object machine, double limit, py::object link, Link &watched);

    // The link's wake: a transaction ended, good or failed.
    void transaction_ended(bool good);
    // Looks at the link now; true when this call raised the fault. An error
    // on the way goes to sys.unraisablehook.
    bool check();
    // Stops watching and waits for a fault being raised to be done: None, or
    // null with the exception set (the wait was interrupted).
    py::object close();
    // The with block's end: close().
    py::object exit(py::args);

    py::object machine() const { return machine_; }
    py::object link() const { return link_object_; }
    double limit() const { return limit_; }
    bool tripped() const { return tripped_; }
    py::object fault() const { return fault_; }
    bool closed() const { return closed_; }

private:
    bool evaluate();
    // 1 when it raised the fault, 0 when not, -1 with the exception set.
    int evaluate_now();
    // 1 while the fault's thread runs, 0, or -1 with the exception set.
    int raising() const;
    // Makes the fault and starts its thread; false with the exception set.
    bool fire(double seconds, const HealthCounters &health);
    // The LinkDownError with its attributes; null with the exception set.
    py::object fault_of(const std::string &message, double seconds, const HealthCounters &health);
    void raise_fault(py::object error);

    const py::object machine_;
    const double limit_;
    const py::object link_object_;
    Link &link_;
    bool closed_ = false;
    bool busy_ = false;      // an evaluation is running (it may let the GIL go)
    bool tripped_ = false;   // the fault of this outage has been raised
    bool recorded_ = false;  // ... and the machine recorded it (no subscriber took it)
    HealthClock::time_point armed_since_;
    HealthClock::time_point tripped_at_;
    py::object fault_ = py::none();
    py::object thread_ = py::none();  // the thread raising the fault
};

} // namespace mew
