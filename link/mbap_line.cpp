#include "link/mbap_line.h"

namespace mew::mbap {
namespace {

uint16_t get16(const uint8_t *data) { return uint16_t((data[0] << 8) | data[1]); }

void put16(std::vector<uint8_t> &frame, uint16_t value) {
    frame.push_back(uint8_t(value >> 8));
    frame.push_back(uint8_t(value & 0xFF));
}

} // namespace

std::vector<uint8_t> adu(uint16_t transaction, const rtu::Request &request) {
    size_t unit_and_pdu = request.frame.size() - 2;
    std::vector<uint8_t> frame;
    frame.reserve(6 + unit_and_pdu);
    put16(frame, transaction);
    put16(frame, 0);
    put16(frame, uint16_t(unit_and_pdu));
    frame.insert(frame.end(), request.frame.begin(), request.frame.end() - 2);
    return frame;
}

rtu::Outcome Line::exchange(const rtu::Request &request, const Interruption &interruption) {
    uint16_t transaction = ++last_transaction_;
    std::vector<uint8_t> out = adu(transaction, request);
    stream_.write_all(out.data(), out.size(), interruption);
    Clock::time_point deadline = Clock::now() + seconds(timeout_);
    // What a timed-out try left is looked at first; then each round waits
    // until the socket is readable and reads once: no read that can only
    // come back empty on a request just sent.
    for (;;) {
        while (buffer_.size() >= kHeader) {
            size_t length = get16(buffer_.data() + 4);
            if (length < 2 || length > kLongest)
                return fail(rtu::Outcome::Damaged, "an MBAP length field of " + std::to_string(length));
            size_t frame = 6 + length;
            if (buffer_.size() < frame) break;
            std::vector<uint8_t> adu(buffer_.begin(), buffer_.begin() + long(frame));
            buffer_.erase(buffer_.begin(), buffer_.begin() + long(frame));
            if (get16(adu.data()) != transaction) continue;  // an answer to an earlier try
            if (uint16_t protocol = get16(adu.data() + 2))
                return fail(rtu::Outcome::Stray, "protocol identifier " + std::to_string(protocol) + " where 0 was asked");
            rtu::Reading reading = rtu::read_unit_frame(request, adu.data() + 6, length);
            if (reading.kind == rtu::Reading::Stray) return fail(rtu::Outcome::Stray, reading.problem);
            rtu::Outcome outcome;
            outcome.kind = reading.kind == rtu::Reading::Answer ? rtu::Outcome::Answer : rtu::Outcome::Exception;
            outcome.code = reading.code;
            outcome.frame.assign(adu.begin() + 6, adu.end());
            return outcome;
        }
        if (Clock::now() >= deadline) return fail(rtu::Outcome::Timeout, {});
        interruption.check();
        if (stream_.wait_readable(deadline)) stream_.read_available(buffer_);
    }
}

rtu::Outcome Line::fail(rtu::Outcome::Kind kind, std::string problem) {
    if (kind == rtu::Outcome::Damaged) broken_ = true;
    rtu::Outcome outcome;
    outcome.kind = kind;
    outcome.problem = std::move(problem);
    return outcome;
}

} // namespace mew::mbap
