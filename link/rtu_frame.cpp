#include "link/rtu_frame.h"

#include <cstdio>
#include <optional>

namespace mew::rtu {

namespace {

void put16(std::vector<uint8_t> &frame, uint16_t value) {
    frame.push_back(uint8_t(value >> 8));
    frame.push_back(uint8_t(value & 0xFF));
}

uint16_t get16(const uint8_t *data) { return uint16_t((data[0] << 8) | data[1]); }

Request finish(std::vector<uint8_t> frame, size_t answer_size, size_t data_bytes) {
    uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
    Request request;
    request.slave = frame[0];
    request.function = frame[1];
    request.frame = std::move(frame);
    request.answer_size = answer_size;
    request.data_bytes = data_bytes;
    return request;
}

std::vector<uint8_t> head(uint8_t slave, uint8_t function, uint16_t address) {
    std::vector<uint8_t> frame{slave, function};
    put16(frame, address);
    return frame;
}

bool crc_ok(const uint8_t *data, size_t size) {
    uint16_t crc = crc16(data, size - 2);
    return data[size - 2] == (crc & 0xFF) && data[size - 1] == (crc >> 8);
}

Reading incomplete(size_t expected = 0) { return Reading{Reading::Incomplete, expected, 0, {}}; }
Reading damaged(std::string problem) { return Reading{Reading::Damaged, 0, 0, std::move(problem)}; }
Reading stray(std::string problem) { return Reading{Reading::Stray, 0, 0, std::move(problem)}; }

std::string noise(const uint8_t *data, size_t size) {
    std::string text = "noise (";
    char byte[4];
    for (size_t i = 0; i < size && i < 8; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        text += byte;
    }
    return text + (size > 8 ? " ...)" : ")");
}

// The sizes a frame with this function code can have, as an answer or as
// a request (another master's); 0 for a size that needs more bytes to tell.
std::vector<size_t> frame_sizes(const uint8_t *data, size_t size) {
    uint8_t function = data[1];
    if (function & 0x80) return {5};
    switch (function) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHoldingRegisters:
    case kReadInputRegisters:
        return {size < 3 ? 0 : size_t(5 + data[2]), 8};
    case kWriteSingleCoil:
    case kWriteSingleRegister:
        return {8};
    case kWriteMultipleCoils:
    case kWriteMultipleRegisters:
        return {8, size < 7 ? 0 : size_t(9 + data[6])};
    case kMaskWriteRegister:
        return {10};
    default:
        return {};
    }
}

// A frame that is not the answer: well-formed (Foreign, or Stray from our
// own slave) when one of its possible sizes ends in a good CRC.
Reading read_other(const Request &request, const uint8_t *data, size_t size) {
    bool wait = false;
    std::vector<size_t> sizes = frame_sizes(data, size);
    for (size_t frame : sizes) {
        if (frame == 0 || frame > size) {
            wait = wait || frame <= kMaxFrame;
            continue;
        }
        if (!crc_ok(data, frame)) continue;
        if (data[0] != request.slave) return Reading{Reading::Foreign, frame, 0, {}};
        return stray("function " + std::to_string(data[1]) + " where " + std::to_string(request.function) +
                     " was asked");
    }
    if (wait) return incomplete();
    return damaged(sizes.empty() ? noise(data, size) : "Invalid CRC");
}

std::string echo_text(uint8_t function, const uint8_t *fields) {
    std::string text = "address " + std::to_string(get16(fields));
    if (function == kWriteSingleCoil || function == kWriteSingleRegister)
        return text + ", value " + std::to_string(get16(fields + 2));
    if (function == kMaskWriteRegister) {
        char masks[32];
        std::snprintf(masks, sizeof masks, ", masks %04X/%04X", get16(fields + 2), get16(fields + 4));
        return text + masks;
    }
    return text + ", quantity " + std::to_string(get16(fields + 2));
}

// Why a frame of our slave and function code (`frame` from the slave
// address on, of the answer's size) is not the answer: the byte count of a
// read, the echo of a write; nothing when it is.
std::optional<std::string> mismatch(const Request &request, const uint8_t *frame, size_t fields_end) {
    std::string fn = "function " + std::to_string(request.function);
    if (request.is_read()) {
        if (frame[2] != request.data_bytes)
            return fn + " answer with " + std::to_string(frame[2]) + " data bytes where " +
                   std::to_string(request.data_bytes) + " were asked";
        return std::nullopt;
    }
    for (size_t i = 2; i < fields_end; ++i)
        if (frame[i] != request.frame[i])
            return fn + " answer for " + echo_text(request.function, frame + 2) + " where " +
                   echo_text(request.function, request.frame.data() + 2) + " was asked";
    return std::nullopt;
}

// Our slave with our function code: the answer, once its size, CRC and
// byte count or echo are right.
Reading read_answer(const Request &request, const uint8_t *data, size_t size) {
    size_t frame = request.answer_size;
    if (request.is_read()) {
        if (size < 3) return incomplete(request.answer_size);
        frame = 5 + data[2];
    }
    if (size < frame) return incomplete(frame);
    if (!crc_ok(data, frame)) return damaged("Invalid CRC");
    if (auto problem = mismatch(request, data, frame - 2)) return stray(*problem);
    return Reading{Reading::Answer, frame, 0, {}};
}

} // namespace

uint16_t crc16(const uint8_t *data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

Request Request::read(uint8_t slave, uint8_t function, uint16_t address, uint16_t quantity) {
    std::vector<uint8_t> frame = head(slave, function, address);
    put16(frame, quantity);
    bool bits = function == kReadCoils || function == kReadDiscreteInputs;
    size_t data = bits ? (quantity + 7u) / 8u : 2u * quantity;
    return finish(std::move(frame), 5 + data, data);
}

Request Request::write_coil(uint8_t slave, uint16_t address, bool on) {
    std::vector<uint8_t> frame = head(slave, kWriteSingleCoil, address);
    put16(frame, on ? 0xFF00 : 0x0000);
    return finish(std::move(frame), 8, 0);
}

Request Request::write_register(uint8_t slave, uint16_t address, uint16_t value) {
    std::vector<uint8_t> frame = head(slave, kWriteSingleRegister, address);
    put16(frame, value);
    return finish(std::move(frame), 8, 0);
}

Request Request::write_coils(uint8_t slave, uint16_t address, const std::vector<uint8_t> &bits) {
    std::vector<uint8_t> frame = head(slave, kWriteMultipleCoils, address);
    put16(frame, uint16_t(bits.size()));
    size_t bytes = (bits.size() + 7) / 8;
    frame.push_back(uint8_t(bytes));
    size_t first = frame.size();
    frame.resize(first + bytes, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i]) frame[first + i / 8] |= uint8_t(1u << (i % 8));
    return finish(std::move(frame), 8, 0);
}

Request Request::write_registers(uint8_t slave, uint16_t address, const uint16_t *values, uint16_t count) {
    std::vector<uint8_t> frame = head(slave, kWriteMultipleRegisters, address);
    put16(frame, count);
    frame.push_back(uint8_t(2 * count));
    for (uint16_t i = 0; i < count; ++i) put16(frame, values[i]);
    return finish(std::move(frame), 8, 0);
}

Request Request::mask_write(uint8_t slave, uint16_t address, uint16_t and_mask, uint16_t or_mask) {
    std::vector<uint8_t> frame = head(slave, kMaskWriteRegister, address);
    put16(frame, and_mask);
    put16(frame, or_mask);
    return finish(std::move(frame), 10, 0);
}

Reading read_frame(const Request &request, const uint8_t *data, size_t size) {
    if (size < 2) return incomplete();
    if (data[0] == request.slave && data[1] == request.function) return read_answer(request, data, size);
    if (data[0] == request.slave && data[1] == (request.function | 0x80)) {
        if (size < 5) return incomplete(5);
        if (!crc_ok(data, 5)) return damaged("Invalid CRC");
        return Reading{Reading::Exception, 5, data[2], {}};
    }
    return read_other(request, data, size);
}

Reading read_unit_frame(const Request &request, const uint8_t *data, size_t size) {
    if (size < 2) return stray("a frame of " + std::to_string(size) + " bytes");
    if (data[0] != request.slave)
        return stray("an answer of unit " + std::to_string(data[0]) + " where unit " + std::to_string(request.slave) +
                     " was asked");
    if (data[1] == (request.function | 0x80)) {
        if (size != 3) return stray("an exception response of " + std::to_string(size - 1) + " bytes");
        return Reading{Reading::Exception, size, data[2], {}};
    }
    if (data[1] != request.function)
        return stray("function " + std::to_string(data[1]) + " where " + std::to_string(request.function) +
                     " was asked");
    size_t expected = request.answer_size - 2;  // without the CRC
    auto wrong_size = [&] {
        return stray("function " + std::to_string(request.function) + " answer of " + std::to_string(size - 1) +
                     " bytes where " + std::to_string(expected - 1) + " were asked");
    };
    if (size < 3 || (!request.is_read() && size < expected)) return wrong_size();
    if (auto problem = mismatch(request, data, expected)) return stray(*problem);
    if (size != expected) return wrong_size();
    return Reading{Reading::Answer, size, 0, {}};
}

std::vector<uint16_t> registers_of(const uint8_t *answer, size_t count) {
    std::vector<uint16_t> values(count);
    for (size_t i = 0; i < count; ++i) values[i] = get16(answer + 3 + 2 * i);
    return values;
}

bool bit_of(const uint8_t *answer, size_t index) { return (answer[3 + index / 8] >> (index % 8)) & 1u; }

std::string exception_text(uint8_t code) {
    static const char *const texts[] = {
        "Illegal function", "Illegal data address", "Illegal data value", "Slave device or server failure",
        "Acknowledge", "Slave device or server is busy", "Negative acknowledge", "Memory parity error",
        nullptr, "Gateway path unavailable", "Target device failed to respond"};
    if (code >= 1 && code <= 11 && texts[code - 1]) return texts[code - 1];
    return "Invalid exception code";
}

} // namespace mew::rtu
