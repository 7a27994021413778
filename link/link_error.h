// The link engine's failures. The engine runs without the GIL (transports,
// the serial line, the interruption slices, the simulated PLC's
// transactions) and reports a failure by throwing LinkError: it unwinds deep
// I/O to the one place that records a transaction's failure. The Python
// bindings (platform/kvo_mew/errors.h) turn it into the Python exception of
// its kind.
#pragma once

#include <stdexcept>
#include <string>

#include "link/failure_cause.h"

namespace mew {

// What a failure is, which the bindings map to kvo_mew.LinkError,
// AddressError, LineError or SlaveError (the last three are LinkErrors). A
// port failure is a Line failure whose cause is FailureCause::Port. Raised
// means the host has its own error for it already (a signal handler's
// KeyboardInterrupt, see interruption.h).
enum class ErrorKind {
    Link,     // the PLC or the transport failed a transaction, or the port has no transport
    Address,  // an unknown element name, an element of the wrong kind, a block past an area, a bad station
    Line,     // the serial line failed: port, time-out, damaged or stray answer
    Slave,    // the station answered with a Modbus exception response
    Raised,   // the host's error is set already
};

// A failure inside the link engine.
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

} // namespace mew
