// The CRC and the RTU frames: requests as they go on the line, and the
// reading of what came back against the request that waits for it.
#include <doctest/doctest.h>

#include "link/rtu_frame.h"

using namespace mew::rtu;
using Bytes = std::vector<uint8_t>;

namespace {

// `body` with its CRC, low byte first.
Bytes with_crc(Bytes body) {
    uint16_t crc = crc16(body.data(), body.size());
    body.push_back(uint8_t(crc & 0xFF));
    body.push_back(uint8_t(crc >> 8));
    return body;
}

Reading read(const Request &request, const Bytes &data) { return read_frame(request, data.data(), data.size()); }

} // namespace

TEST_CASE("the Modbus CRC of known frames") {
    const Bytes read10{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    CHECK(crc16(read10.data(), read10.size()) == 0xCDC5);
    const Bytes coil{0x11, 0x05, 0x00, 0xAC, 0xFF, 0x00};
    CHECK(crc16(coil.data(), coil.size()) == 0x8B4E);
    CHECK(crc16(nullptr, 0) == 0xFFFF);
    // A frame followed by its own CRC checks to zero.
    Bytes framed = with_crc(read10);
    CHECK(crc16(framed.data(), framed.size()) == 0);
}

TEST_CASE("requests on the line and the size of their answers") {
    Request read = Request::read(1, kReadHoldingRegisters, 0, 10);
    CHECK(read.frame == Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD});
    CHECK(read.answer_size == 5 + 20);
    CHECK(read.data_bytes == 20);
    CHECK(Request::read(2, kReadCoils, 5, 9).data_bytes == 2);  // 9 bits in 2 bytes
    CHECK(Request::write_coil(0x11, 0xAC, true).frame == with_crc({0x11, 0x05, 0x00, 0xAC, 0xFF, 0x00}));
    CHECK(Request::write_coil(0x11, 0xAC, false).frame == with_crc({0x11, 0x05, 0x00, 0xAC, 0x00, 0x00}));
    const uint16_t values[] = {0x000A, 0x0102};
    Request registers = Request::write_registers(1, 1, values, 2);
    CHECK(registers.frame == with_crc({0x01, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}));
    CHECK(registers.answer_size == 8);
    Request coils = Request::write_coils(1, 19, {1, 0, 1, 1, 0, 0, 1, 1, 1, 0});
    CHECK(coils.frame == with_crc({0x01, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}));
    CHECK(Request::mask_write(1, 4, 0x00F2, 0x0025).answer_size == 10);
}

TEST_CASE("an RTU answer is read against its request") {
    Request request = Request::read(1, kReadHoldingRegisters, 0, 2);
    Bytes answer = with_crc({0x01, 0x03, 0x04, 0x00, 0x07, 0x01, 0x00});

    SUBCASE("the answer, and the values it carries") {
        Reading reading = read(request, answer);
        REQUIRE(reading.kind == Reading::Answer);
        CHECK(reading.size == answer.size());
        CHECK(registers_of(answer.data(), 2) == std::vector<uint16_t>{7, 256});
    }
    SUBCASE("every prefix of it is incomplete") {
        for (size_t size = 0; size < answer.size(); ++size) {
            CAPTURE(size);
            CHECK(read(request, Bytes(answer.begin(), answer.begin() + long(size))).kind == Reading::Incomplete);
        }
    }
    SUBCASE("a bad CRC is damaged") {
        answer.back() ^= 0x01;
        CHECK(read(request, answer).kind == Reading::Damaged);
    }
    SUBCASE("the exception response, with its code") {
        Reading reading = read(request, with_crc({0x01, 0x83, 0x02}));
        CHECK(reading.kind == Reading::Exception);
        CHECK(reading.code == 2);
        CHECK(reading.size == 5);
        CHECK(exception_text(2) == "Illegal data address");
    }
    SUBCASE("another slave's well-formed frame is skipped") {
        Reading reading = read(request, with_crc({0x02, 0x03, 0x04, 0x00, 0x07, 0x01, 0x00}));
        CHECK(reading.kind == Reading::Foreign);
        CHECK(reading.size == 9);
    }
    SUBCASE("our slave's frame of another function is stray") {
        CHECK(read(request, with_crc({0x01, 0x06, 0x00, 0x01, 0x00, 0x03})).kind == Reading::Stray);
    }
    SUBCASE("a byte count that is not the request's is stray") {
        Reading reading = read(request, with_crc({0x01, 0x03, 0x02, 0x00, 0x07}));
        CHECK(reading.kind == Reading::Stray);
        CHECK(reading.problem.find("data bytes") != std::string::npos);
    }
}

TEST_CASE("a write's answer must echo the request's address and quantity") {
    const uint16_t values[] = {1, 2, 3};
    Request request = Request::write_registers(1, 100, values, 3);
    CHECK(read(request, with_crc({0x01, 0x10, 0x00, 0x64, 0x00, 0x03})).kind == Reading::Answer);
    CHECK(read(request, with_crc({0x01, 0x10, 0x00, 0x65, 0x00, 0x03})).kind == Reading::Stray);  // address
    CHECK(read(request, with_crc({0x01, 0x10, 0x00, 0x64, 0x00, 0x02})).kind == Reading::Stray);  // quantity
    Request coil = Request::write_coil(1, 7, true);
    CHECK(read(coil, with_crc({0x01, 0x05, 0x00, 0x07, 0xFF, 0x00})).kind == Reading::Answer);
    CHECK(read(coil, with_crc({0x01, 0x05, 0x00, 0x07, 0x00, 0x00})).kind == Reading::Stray);  // value
}

TEST_CASE("the bits of a coil read's answer, bit 0 first") {
    Bytes answer = with_crc({0x01, 0x01, 0x02, 0b00000101, 0b00000001});
    REQUIRE(read(Request::read(1, kReadCoils, 0, 9), answer).kind == Reading::Answer);
    CHECK(bit_of(answer.data(), 0));
    CHECK_FALSE(bit_of(answer.data(), 1));
    CHECK(bit_of(answer.data(), 2));
    CHECK(bit_of(answer.data(), 8));
}
