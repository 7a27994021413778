// The client's side of a Modbus TCP connection: one try of a request at a
// time, its answer found by the MBAP header.
//
// Every request goes out with a new transaction identifier. An answer with
// another one (a late answer to a try that timed out, a duplicate) is
// discarded and the wait goes on: so no answer is ever taken for the wrong
// request. An answer with the request's identifier must be of protocol 0 and
// carry the request's unit, function code and byte count or echo; otherwise
// the try fails as a stray frame. A length field outside 2..254 (the unit
// and a PDU of at most 253 bytes) means the stream is no Modbus TCP or lost
// its step: the try fails as damaged and the line is broken, for the
// transport to drop the connection. A partial frame left by a time-out
// stays for the next try to complete and discard.
#pragma once

#include <cstdint>
#include <vector>

#include "link/byte_stream.h"
#include "link/rtu_frame.h"
#include "link/rtu_line.h"

namespace mew::mbap {

constexpr size_t kHeader = 7;    // transaction, protocol, length, unit
constexpr size_t kLongest = 254;  // the longest length field: unit and a 253-byte PDU

// The request's ADU: its RTU frame without the CRC behind an MBAP header.
std::vector<uint8_t> adu(uint16_t transaction, const rtu::Request &request);

class Line {
public:
    Line(ByteStream stream, double timeout) : stream_(stream), timeout_(timeout) {}

    // Sends the request and waits for its answer. The Outcome's frame is
    // the answer from the unit identifier on (rtu::registers_of reads it).
    // Throws LinkError, from the stream's port_failed or the Interruption.
    rtu::Outcome exchange(const rtu::Request &request, const Interruption &interruption);

    // The stream lost its step: the connection must go.
    bool broken() const { return broken_; }

private:
    using Clock = Interruption::Clock;

    rtu::Outcome fail(rtu::Outcome::Kind kind, std::string problem);

    const ByteStream stream_;
    const double timeout_;
    uint16_t last_transaction_ = 0;
    std::vector<uint8_t> buffer_;
    bool broken_ = false;
};

} // namespace mew::mbap
