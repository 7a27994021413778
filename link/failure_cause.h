// Why a link transaction failed, in the few categories an operator and the
// link's health counters tell apart. The transport names the cause where it
// throws (errors.h); cause_of() in link_health.h is the one place that turns
// an error without a named cause into one.
#pragma once

#include <cstddef>

namespace mew {

enum class FailureCause {
    Timeout,    // no answer within the response time-out
    Crc,        // an answer with a bad CRC
    Exception,  // the station answered with a Modbus exception response
    Stray,      // an answer that does not belong to the request
    Closed,     // the link was closed while the transaction waited
    Port,       // the port could not be opened or failed
    Interrupted,  // the calling thread's transactions were interrupted (a machine's close)
    Other,      // anything else (the simulated PLC's injected failures)
};

constexpr size_t kFailureCauses = size_t(FailureCause::Other) + 1;

// "timeout", "crc", "exception", "stray", "closed", "port", "interrupted", "other".
inline const char *cause_name(FailureCause cause) {
    static const char *const names[kFailureCauses] = {"timeout", "crc", "exception", "stray",
                                                      "closed",  "port", "interrupted", "other"};
    return names[size_t(cause)];
}

} // namespace mew
