// The link's failures, as C++ types. module.cpp turns them into the Python
// exceptions kvo_mew.LinkError, AddressError(LinkError), LineError(LinkError)
// and SlaveError(LinkError). Every failure carries its cause, so whoever
// counts failures need not read messages.
#pragma once

#include <stdexcept>
#include <string>

namespace mew {

// Why a transaction failed.
enum class Cause {
    Failed,       // no transport for the port, a simulated failure
    Address,      // refused before any traffic: name, kind, range, station
    Port,         // the serial port could not be opened or failed
    Timeout,      // no answer in time
    Damaged,      // a damaged answer: bad CRC, cut short, noise
    Stray,        // a frame that is not the answer to the request
    Exception,    // the slave answered with a Modbus exception response
    Closed,       // the link was closed while the transaction ran or waited
    Interrupted,  // the calling thread's transactions were interrupted
};

// The PLC or the transport failed a transaction, or the port has no transport.
class LinkError : public std::runtime_error {
public:
    explicit LinkError(const std::string &what, Cause cause = Cause::Failed)
        : std::runtime_error(what), cause_(cause) {}
    Cause cause() const { return cause_; }

private:
    Cause cause_;
};

// An element name the PLC does not know, an element of the wrong kind for the
// operation, a block that runs past the end of an area, or a bad station.
class AddressError : public LinkError {
public:
    explicit AddressError(const std::string &what) : LinkError(what, Cause::Address) {}
};

// The serial line failed: the port could not be opened or failed, the station
// did not answer in time, its answer was damaged (CRC, length) or was not the
// answer to the request (a stray frame).
class LineError : public LinkError {
public:
    explicit LineError(const std::string &what, Cause cause) : LinkError(what, cause) {}
};

// A LineError after which the port is closed: the link reopens it on its next
// call. Python sees it as a LineError.
class PortError : public LineError {
public:
    explicit PortError(const std::string &what) : LineError(what, Cause::Port) {}
};

// The station answered with a Modbus exception response (illegal address, ...).
class SlaveError : public LinkError {
public:
    explicit SlaveError(const std::string &what) : LinkError(what, Cause::Exception) {}
};

} // namespace mew
