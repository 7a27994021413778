#include "link/rtu_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mew::rtu {

namespace {

// A drain that never sees the silence it waits for gives up after this many
// drain periods (a babbling line), and the try fails.
constexpr double kDrainPeriodsAtMost = 5;

std::string seconds_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", value);
    return text;
}

} // namespace

Timing line_timing(int baudrate, char parity, int bytesize, int stopbits, double timeout, double drain) {
    Timing timing;
    int bits = 1 + bytesize + (parity == 'N' ? 0 : 1) + stopbits;
    timing.char_time = double(bits) / baudrate;
    timing.gap = baudrate > 19200 ? 0.00175 : 3.5 * timing.char_time;
    timing.timeout = timeout;
    timing.drain = std::max(drain < 0 ? timeout : drain, timing.gap);
    return timing;
}

Outcome Line::exchange(const Request &request, const Interruption &interruption) {
    try {
        if (!settle(interruption))
            return fail(Outcome::Damaged, "noise: the line was never silent for " + seconds_text(timing_.drain));
        send(request.frame, interruption);
        return receive(request, interruption);
    } catch (...) {
        // A request may be out and its answer on the way.
        failed_at_ = Clock::now();
        drain_pending_ = true;
        throw;
    }
}

// Before a request: the drain a failed try left, or dropping what is
// there. False when a drain did not see the silence it waits for.
bool Line::settle(const Interruption &interruption) {
    if (drain_pending_) return drain(interruption);
    buffer_.clear();
    read_available();
    buffer_.clear();
    // Bytes just seen may be the head of a frame: let it end first.
    Clock::time_point quiet = last_byte_ + seconds(timing_.gap);
    while (Clock::now() < quiet) {
        interruption.check();
        wait_readable(quiet);
        if (read_available()) quiet = last_byte_ + seconds(timing_.gap);
        buffer_.clear();
    }
    return true;
}

// Discards what arrives until the line has been silent for the drain
// period since the failure or the last byte, whichever came later.
bool Line::drain(const Interruption &interruption) {
    Clock::time_point give_up = Clock::now() + seconds(kDrainPeriodsAtMost * timing_.drain);
    for (;;) {
        interruption.check();
        read_available();
        buffer_.clear();
        Clock::time_point quiet = std::max(failed_at_, last_byte_) + seconds(timing_.drain);
        Clock::time_point now = Clock::now();
        if (now >= quiet) break;
        if (now >= give_up) return false;
        wait_readable(std::min(quiet, give_up));
    }
    drain_pending_ = false;
    return true;
}

void Line::send(const std::vector<uint8_t> &frame, const Interruption &interruption) {
    stream_.write_all(frame.data(), frame.size(), interruption);
}

Outcome Line::receive(const Request &request, const Interruption &interruption) {
    // The request and its answer take their time on the line besides the slave's.
    double on_line = double(request.frame.size() + request.answer_size) * timing_.char_time;
    Clock::time_point deadline = Clock::now() + seconds(timing_.timeout + on_line);
    buffer_.clear();
    // Each round waits until the port is readable, then reads: no read that
    // can only come back empty on a request just sent.
    for (;;) {
        size_t expected = 0;
        while (!buffer_.empty()) {
            Reading reading = read_frame(request, buffer_.data(), buffer_.size());
            switch (reading.kind) {
            case Reading::Incomplete:
                expected = reading.size;
                break;
            case Reading::Foreign:
                buffer_.erase(buffer_.begin(), buffer_.begin() + long(reading.size));
                continue;
            case Reading::Answer:
            case Reading::Exception: {
                Outcome outcome;
                outcome.kind = reading.kind == Reading::Answer ? Outcome::Answer : Outcome::Exception;
                outcome.frame.assign(buffer_.begin(), buffer_.begin() + long(reading.size));
                outcome.code = reading.code;
                // Bytes after the frame stay in the buffer: settle() drops them.
                buffer_.erase(buffer_.begin(), buffer_.begin() + long(reading.size));
                return outcome;
            }
            case Reading::Stray:
                return fail(Outcome::Stray, reading.problem);
            case Reading::Damaged:
                return fail(Outcome::Damaged, reading.problem);
            }
            break;
        }
        if (Clock::now() >= deadline) {
            if (buffer_.empty()) return fail(Outcome::Timeout, {});
            std::string problem = expected ? "cut short after " + std::to_string(buffer_.size()) + " of " +
                                                 std::to_string(expected) + " bytes"
                                           : std::to_string(buffer_.size()) + " bytes that make no frame";
            return fail(Outcome::Damaged, problem);
        }
        interruption.check();
        if (wait_readable(deadline)) read_available();
    }
}

Outcome Line::fail(Outcome::Kind kind, std::string problem) {
    failed_at_ = Clock::now();
    drain_pending_ = true;
    buffer_.clear();
    Outcome outcome;
    outcome.kind = kind;
    outcome.problem = std::move(problem);
    return outcome;
}

size_t Line::read_available() {
    size_t total = stream_.read_available(buffer_);
    if (total) last_byte_ = Clock::now();
    return total;
}

bool Line::wait_readable(Clock::time_point until) { return stream_.wait_readable(until); }

} // namespace mew::rtu
