// Modbus RTU frames as a master builds and reads them: a request with its
// CRC, and the reading of the bytes that came back against that request.
// An RTU frame carries no transaction id, so this reading is what keeps an
// answer with its own request: the slave address, the function code, the
// byte count of a read and the echo of a write must all be the request's.
// Plain C++ without I/O; rtu_line.h moves the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mew::rtu {

enum Function : uint8_t {
    kReadCoils = 1,
    kReadDiscreteInputs = 2,
    kReadHoldingRegisters = 3,
    kReadInputRegisters = 4,
    kWriteSingleCoil = 5,
    kWriteSingleRegister = 6,
    kWriteMultipleCoils = 15,
    kWriteMultipleRegisters = 16,
    kMaskWriteRegister = 22,
};

constexpr size_t kMaxFrame = 256;  // the longest RTU frame

// The Modbus CRC-16 (polynomial 0xA001, initial 0xFFFF) of `size` bytes; it
// goes on the line low byte first.
uint16_t crc16(const uint8_t *data, size_t size);

// One request: its bytes on the line and the size of its normal answer.
struct Request {
    uint8_t slave = 0;
    uint8_t function = 0;
    std::vector<uint8_t> frame;  // address, function, data, CRC
    size_t answer_size = 0;      // CRC included
    size_t data_bytes = 0;       // of a read's answer: the byte count it must carry

    // Functions 1..4: `quantity` bits or registers from `address` on.
    static Request read(uint8_t slave, uint8_t function, uint16_t address, uint16_t quantity);
    static Request write_coil(uint8_t slave, uint16_t address, bool on);
    static Request write_register(uint8_t slave, uint16_t address, uint16_t value);
    // `bits` holds one 0/1 byte per coil.
    static Request write_coils(uint8_t slave, uint16_t address, const std::vector<uint8_t> &bits);
    static Request write_registers(uint8_t slave, uint16_t address, const uint16_t *values, uint16_t count);
    static Request mask_write(uint8_t slave, uint16_t address, uint16_t and_mask, uint16_t or_mask);

    bool is_read() const { return function >= kReadCoils && function <= kReadInputRegisters; }
};

// What the bytes at the head of the receive buffer are, read against the
// request that is waiting for its answer.
struct Reading {
    enum Kind {
        Incomplete,  // too few bytes to tell yet
        Answer,      // the answer to the request: `size` bytes
        Exception,   // the slave's exception response to it: `size` bytes, `code`
        Foreign,     // a well-formed frame of another slave address: skip `size` bytes
        Stray,       // a well-formed frame of our slave that is not this answer
        Damaged,     // a bad CRC, or bytes that are no frame at all
    };
    Kind kind = Incomplete;
    size_t size = 0;
    uint8_t code = 0;
    std::string problem;  // Stray, Damaged: what was wrong, for the message
};

Reading read_frame(const Request &request, const uint8_t *data, size_t size);

// The same reading of a whole frame whose bounds the carrier gives (Modbus
// TCP): `size` bytes from the unit identifier on, no CRC. Answer, Exception
// or Stray (another unit, function, size, byte count or echo).
Reading read_unit_frame(const Request &request, const uint8_t *data, size_t size);

// The values an answer (of Reading::Answer) carries.
std::vector<uint16_t> registers_of(const uint8_t *answer, size_t count);
bool bit_of(const uint8_t *answer, size_t index);

// "Illegal data address" for exception code 2.
std::string exception_text(uint8_t code);

} // namespace mew::rtu
