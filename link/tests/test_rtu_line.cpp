// The RTU master's line over a socketpair (as to a serial device server),
// a test thread playing the slave: every answer belongs to its request, a
// late one is drained, another slave's frame is skipped.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/rtu_line.h"
#include "link/tests/peer.h"

using namespace mew;
using test::Bytes;

namespace {

Bytes with_crc(Bytes body) {
    uint16_t crc = rtu::crc16(body.data(), body.size());
    body.push_back(uint8_t(crc & 0xFF));
    body.push_back(uint8_t(crc >> 8));
    return body;
}

// The answer of `slave` to a read of two holding registers: `value`, value+1.
Bytes two_registers(uint8_t slave, uint16_t value) {
    return with_crc({slave, 0x03, 0x04, uint8_t(value >> 8), uint8_t(value), uint8_t((value + 1) >> 8),
                     uint8_t(value + 1)});
}

struct LinePair {
    int link = -1, slave = -1;
    LinePair() {
        int fds[2];
        REQUIRE(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
        link = fds[0];
        slave = fds[1];
        REQUIRE(::fcntl(link, F_SETFL, ::fcntl(link, F_GETFL) | O_NONBLOCK) == 0);
    }
    ~LinePair() {
        ::close(link);
        ::close(slave);
    }
};

rtu::Timing quick_timing() {
    rtu::Timing timing = rtu::line_timing(115200, 'N', 8, 1, 0.2, 0.5);
    CHECK(timing.gap == doctest::Approx(0.00175));
    return timing;
}

const rtu::Request kRead2 = rtu::Request::read(3, rtu::kReadHoldingRegisters, 0, 2);

uint16_t first_value(const rtu::Outcome &outcome) { return rtu::registers_of(outcome.frame.data(), 1)[0]; }

} // namespace

TEST_CASE("the 3.5-character gap follows the line's speed up to 19200 baud") {
    CHECK(rtu::line_timing(9600, 'E', 8, 1, 0.5, -1).gap == doctest::Approx(3.5 * 11 / 9600));
    CHECK(rtu::line_timing(9600, 'N', 8, 1, 0.5, -1).drain == doctest::Approx(0.5));  // the time-out
    CHECK(rtu::line_timing(38400, 'N', 8, 2, 0.5, 0).drain == doctest::Approx(0.00175));
}

TEST_CASE("the RTU line against a test slave") {
    LinePair pair;
    test::Uninterrupted none;
    rtu::Line line(ByteStream(pair.link, true), quick_timing(), false);
    int slave = pair.slave;
    auto exchange = [&] { return line.exchange(kRead2, none.interruption); };

    SUBCASE("a good answer, after another slave's frame") {
        test::PeerThread peer([&] {
            CHECK(test::read_exactly(slave, 8) == kRead2.frame);
            test::send_all(slave, two_registers(4, 666));
            test::send_all(slave, two_registers(3, 7));
        });
        rtu::Outcome outcome = exchange();
        REQUIRE(outcome.kind == rtu::Outcome::Answer);
        CHECK(first_value(outcome) == 7);
    }
    SUBCASE("a late answer is drained, not taken for the next request's") {
        test::PeerThread peer([&] {
            test::read_exactly(slave, 8);
            // Past the time-out, well inside the drain that follows it.
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            test::send_all(slave, two_registers(3, 666));
            test::read_exactly(slave, 8);
            test::send_all(slave, two_registers(3, 2));
        });
        CHECK(exchange().kind == rtu::Outcome::Timeout);
        CHECK(line.drain_pending());
        rtu::Outcome outcome = exchange();
        REQUIRE(outcome.kind == rtu::Outcome::Answer);
        CHECK(first_value(outcome) == 2);
    }
    SUBCASE("a bad CRC is damaged, our slave's other frame stray") {
        test::PeerThread peer([&] {
            test::read_exactly(slave, 8);
            Bytes damaged = two_registers(3, 1);
            damaged.back() ^= 0xFF;
            test::send_all(slave, damaged);
            test::read_exactly(slave, 8);
            test::send_all(slave, with_crc({3, 0x06, 0x00, 0x00, 0x00, 0x01}));
        });
        CHECK(exchange().kind == rtu::Outcome::Damaged);
        rtu::Outcome outcome = exchange();
        CHECK(outcome.kind == rtu::Outcome::Stray);
        CHECK(outcome.problem.find("function 6") != std::string::npos);
    }
    SUBCASE("an answer cut short is damaged at the time-out") {
        test::PeerThread peer([&] {
            test::read_exactly(slave, 8);
            Bytes answer = two_registers(3, 1);
            test::send_all(slave, Bytes(answer.begin(), answer.begin() + 4));
        });
        rtu::Outcome outcome = exchange();
        CHECK(outcome.kind == rtu::Outcome::Damaged);
        CHECK(outcome.problem == "cut short after 4 of 9 bytes");
    }
}
