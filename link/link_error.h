// The link's failures. Code that runs with the GIL reports an error the way
// every Python-facing function here does: it sets the Python exception
// (set_error below) and returns a null result. Only the link engine, which
// runs without the GIL (transports, the serial line, the interruption slices,
// the simulated PLC's transactions), throws: a LinkError unwinds deep serial
// I/O to the one place that records a transaction's failure (Link::serve;
// Link::start, which opens outside any transaction, catches its own), and
// Link::finish turns it into the Python exception of its kind.
#pragma once

#include <Python.h>

#include <stdexcept>
#include <string>

#include "runtime/errors.h"
#include "platform/kvo_mew/failure_cause.h"

namespace mew {

// The Python exception a failure becomes: kvo_mew.LinkError, AddressError,
// LineError or SlaveError (the last three are LinkErrors). A port failure is
// a Line failure whose cause is FailureCause::Port. Raised is no Python type:
// the exception is set already (a signal handler's KeyboardInterrupt).
enum class ErrorKind {
    Link,     // the PLC or the transport failed a transaction, or the port has no transport
    Address,  // an unknown element name, an element of the wrong kind, a block past an area, a bad station
    Line,     // the serial line failed: port, time-out, damaged or stray answer
    Slave,    // the station answered with a Modbus exception response
    Raised,   // a Python exception is set already
};

// A failure inside the link engine, thrown without the GIL.
class LinkError : public std::runtime_error {
public:
    explicit LinkError(const std::string &what, ErrorKind kind = ErrorKind::Link,
                       FailureCause cause = FailureCause::Other)
        : std::runtime_error(what), kind_(kind), cause_(cause) {}
    ErrorKind kind() const { return kind_; }
    // The failure's category for the link's health counters.
    FailureCause cause() const { return cause_; }

private:
    ErrorKind kind_;
    FailureCause cause_;
};

// The Python exception type of a kind (module.cpp, which owns the types);
// Raised has none (null).
PyObject *error_type(ErrorKind kind);

using kvo::rt::ErrorSet;

// Sets the exception of `kind` with `message`, so a caller writes
// `return set_error(...)`.
ErrorSet set_error(ErrorKind kind, const std::string &message);

} // namespace mew
