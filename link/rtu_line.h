// The master's side of a Modbus RTU line on an open serial port: one try of
// a request at a time, under the rules that keep every answer with its own
// request (RTU frames carry no transaction id):
//   - before a request, whatever the line holds is dropped; when bytes were
//     there, the request waits for the inter-frame gap after the last one;
//   - after a try that failed (no answer, a damaged or stray frame, a wait
//     cut short by an interruption) the line is drained before the next
//     request goes out: what arrives is discarded until the line has been
//     silent for the drain period, so a slow slave's late answer is absorbed
//     instead of answering the next request;
//   - while waiting, a well-formed frame of another slave address is skipped
//     and the wait goes on; any other frame that is not the answer fails the
//     try (rtu_frame.h reads the frames).
// Every wait is cut into slices with an Interruption check between them.
// The bytes come and go through a ByteStream: a serial port (opened and
// configured by libmodbus) or a TCP socket to a serial device server.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/byte_stream.h"
#include "link/link_error.h"
#include "link/interruption.h"
#include "link/rtu_frame.h"

namespace mew::rtu {

struct Timing {
    double timeout = 0.5;      // seconds from the end of the request to the end of its answer's first byte
    double drain = 0.5;        // seconds of silence that end a drain
    double char_time = 0.001;  // seconds one character takes on the line
    double gap = 0.00175;      // the inter-frame gap: 3.5 characters, 1.75 ms above 19200 baud
};

// The timing of a line: `drain` < 0 means the time-out; never below the gap.
Timing line_timing(int baudrate, char parity, int bytesize, int stopbits, double timeout, double drain);

// How one try ended.
struct Outcome {
    enum Kind { Answer, Exception, Timeout, Damaged, Stray } kind = Timeout;
    std::vector<uint8_t> frame;  // Answer: the answer frame
    uint8_t code = 0;            // Exception: the exception code
    std::string problem;         // Damaged, Stray
};

class Line {
public:
    // `drain_first`: a try on an earlier opening of the port failed.
    Line(ByteStream stream, Timing timing, bool drain_first)
        : stream_(stream), timing_(timing), failed_at_(Clock::now()), drain_pending_(drain_first) {}

    // Settles the line (drain or flush), sends the request and waits for its
    // answer. Throws LinkError, from the stream's port_failed or from the Interruption;
    // either leaves a drain pending.
    Outcome exchange(const Request &request, const Interruption &interruption);

    bool drain_pending() const { return drain_pending_; }

private:
    using Clock = Interruption::Clock;

    bool settle(const Interruption &interruption);
    bool drain(const Interruption &interruption);
    void send(const std::vector<uint8_t> &frame, const Interruption &interruption);
    Outcome receive(const Request &request, const Interruption &interruption);
    Outcome fail(Outcome::Kind kind, std::string problem);
    // Reads what the port holds into buffer_; the number of bytes read.
    size_t read_available();
    // Waits until the port has bytes, `until` comes or a slice has passed;
    // true when it has.
    bool wait_readable(Clock::time_point until);

    const ByteStream stream_;
    const Timing timing_;
    std::vector<uint8_t> buffer_;
    Clock::time_point last_byte_{};  // when bytes last arrived
    Clock::time_point failed_at_;    // when the last failed try ended
    bool drain_pending_;
};

} // namespace mew::rtu
