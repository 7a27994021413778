// The link's failures, as C++ types. module.cpp turns them into the Python
// exceptions kvo_mew.LinkError, AddressError(LinkError), LineError(LinkError)
// and SlaveError(LinkError). Every failure carries its cause, so whoever
// counts failures need not read messages.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "platform/kvo_mew/failure_cause.h"

namespace mew {

// The PLC or the transport failed a transaction, or the port has no transport.
// `cause` is the failure's category for the link's health counters.
class LinkError : public std::runtime_error {
public:
    explicit LinkError(const std::string &what, FailureCause cause = FailureCause::Other)
        : std::runtime_error(what), cause_(cause) {}
    FailureCause cause() const { return cause_; }

private:
    FailureCause cause_;
};

// An element name the PLC does not know, an element of the wrong kind for the
// operation, a block that runs past the end of an area, or a bad station.
class AddressError : public LinkError {
public:
    explicit AddressError(const std::string &what) : LinkError(what) {}
};

// The serial line failed: the port could not be opened or failed, the station
// did not answer in time, its answer was damaged (CRC, length) or was not the
// answer to the request (a stray frame).
class LineError : public LinkError {
public:
    explicit LineError(const std::string &what, FailureCause cause) : LinkError(what, cause) {}
};

// A LineError after which the port is closed: the link reopens it on its next
// call. Python sees it as a LineError.
class PortError : public LineError {
public:
    explicit PortError(const std::string &what) : LineError(what, FailureCause::Port) {}
};

// The station answered with a Modbus exception response (illegal address, ...).
class SlaveError : public LinkError {
public:
    explicit SlaveError(const std::string &what) : LinkError(what, FailureCause::Exception) {}
};

// Sets the Python exception of a link failure above (module.cpp, which owns
// the exception types); false, with nothing set, for any other exception.
bool set_python_error(std::exception_ptr error);

} // namespace mew
