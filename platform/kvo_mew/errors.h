// The link's failures, as C++ types. module.cpp registers them as the Python
// exceptions kvo_mew.LinkError and kvo_mew.AddressError(LinkError).
#pragma once

#include <stdexcept>
#include <string>

namespace mew {

// The PLC or the transport failed a transaction, or the port has no transport.
class LinkError : public std::runtime_error {
public:
    explicit LinkError(const std::string &what) : std::runtime_error(what) {}
};

// An element name the PLC does not know, an element of the wrong kind for the
// operation, a block that runs past the end of an area, or a bad station.
class AddressError : public LinkError {
public:
    explicit AddressError(const std::string &what) : LinkError(what) {}
};

} // namespace mew
