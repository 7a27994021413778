// Modbus TCP: the ADU of a request, the matching of an answer to its request
// (every kind of mismatch), and the client's line over a socketpair with a
// test thread playing the server.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/mbap_line.h"
#include "link/tests/peer.h"

using namespace mew;
using test::Bytes;

namespace {

rtu::Reading read_unit(const rtu::Request &request, const Bytes &unit_and_pdu) {
    return rtu::read_unit_frame(request, unit_and_pdu.data(), unit_and_pdu.size());
}

// A connected socket pair: the link's end (non-blocking, as the link's
// sockets are) and the test server's (blocking).
struct SocketPair {
    int link = -1, server = -1;
    SocketPair() {
        int fds[2];
        REQUIRE(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
        link = fds[0];
        server = fds[1];
        REQUIRE(::fcntl(link, F_SETFL, ::fcntl(link, F_GETFL) | O_NONBLOCK) == 0);
    }
    ~SocketPair() {
        ::close(link);
        close_server();
    }
    void close_server() {
        if (server >= 0) ::close(server);
        server = -1;
    }
};

const rtu::Request kRead16 = rtu::Request::read(7, rtu::kReadHoldingRegisters, 0, 16);

} // namespace

TEST_CASE("a request's ADU: a new transaction id, protocol 0, the length, the PDU without CRC") {
    Bytes adu = mbap::adu(0x1234, rtu::Request::read(7, rtu::kReadHoldingRegisters, 0x10, 2));
    CHECK(adu == Bytes{0x12, 0x34, 0x00, 0x00, 0x00, 0x06, 0x07, 0x03, 0x00, 0x10, 0x00, 0x02});
}

TEST_CASE("an answer from the unit identifier on is matched to its request") {
    Bytes answer = test::registers_pdu(0, 16);
    answer.insert(answer.begin(), 7);
    CHECK(read_unit(kRead16, answer).kind == rtu::Reading::Answer);

    SUBCASE("another unit") {
        answer[0] = 8;
        CHECK(read_unit(kRead16, answer).kind == rtu::Reading::Stray);
    }
    SUBCASE("another function") {
        answer[1] = rtu::kReadInputRegisters;
        CHECK(read_unit(kRead16, answer).kind == rtu::Reading::Stray);
    }
    SUBCASE("a byte count that is not the request's") {
        answer[2] = 30;
        CHECK(read_unit(kRead16, answer).kind == rtu::Reading::Stray);
    }
    SUBCASE("a frame longer or shorter than its byte count") {
        answer.push_back(0);
        CHECK(read_unit(kRead16, answer).kind == rtu::Reading::Stray);
        answer.resize(answer.size() - 3);
        CHECK(read_unit(kRead16, answer).kind == rtu::Reading::Stray);
    }
    SUBCASE("an exception response, and one of the wrong size") {
        rtu::Reading reading = read_unit(kRead16, {7, 0x83, 2});
        CHECK(reading.kind == rtu::Reading::Exception);
        CHECK(reading.code == 2);
        CHECK(read_unit(kRead16, {7, 0x83, 2, 0}).kind == rtu::Reading::Stray);
        CHECK(read_unit(kRead16, {7, 0x84, 2}).kind == rtu::Reading::Stray);  // another function's
    }
}

TEST_CASE("a write's answer echoes the request's address and quantity") {
    const uint16_t values[] = {1, 2, 3};
    rtu::Request request = rtu::Request::write_registers(1, 100, values, 3);
    CHECK(read_unit(request, {1, 0x10, 0x00, 0x64, 0x00, 0x03}).kind == rtu::Reading::Answer);
    CHECK(read_unit(request, {1, 0x10, 0x00, 0x63, 0x00, 0x03}).kind == rtu::Reading::Stray);
    CHECK(read_unit(request, {1, 0x10, 0x00, 0x64, 0x00, 0x04}).kind == rtu::Reading::Stray);
    CHECK(read_unit(request, {1, 0x10, 0x00, 0x64}).kind == rtu::Reading::Stray);
}

TEST_CASE("the Modbus TCP line against a test server") {
    SocketPair pair;
    test::Uninterrupted none;
    // Long enough for a loaded machine; the silence below has a line of its own.
    mbap::Line line(ByteStream(pair.link, true), 2.0);
    auto exchange = [&] { return line.exchange(kRead16, none.interruption); };
    int server = pair.server;

    SUBCASE("a good answer") {
        test::PeerThread peer([&] {
            Bytes request = test::read_mbap_request(server);
            test::send_all(server, test::mbap_frame(test::transaction_of(request), 7, test::registers_pdu(100, 16)));
        });
        rtu::Outcome outcome = exchange();
        REQUIRE(outcome.kind == rtu::Outcome::Answer);
        CHECK(rtu::registers_of(outcome.frame.data(), 16)[15] == 115);
    }
    SUBCASE("a stale answer, then a duplicate of it, then the good one") {
        test::PeerThread peer([&] {
            Bytes request = test::read_mbap_request(server);
            uint16_t id = test::transaction_of(request);
            Bytes stale = test::mbap_frame(uint16_t(id - 1), 7, test::registers_pdu(666, 16));
            test::send_all(server, stale);
            test::send_all(server, stale);
            test::send_all(server, test::mbap_frame(id, 7, test::registers_pdu(1, 16)));
        });
        rtu::Outcome outcome = exchange();
        REQUIRE(outcome.kind == rtu::Outcome::Answer);
        CHECK(rtu::registers_of(outcome.frame.data(), 16)[0] == 1);
        CHECK_FALSE(line.broken());
    }
    SUBCASE("an answer in 1-byte segments with gaps") {
        test::PeerThread peer([&] {
            Bytes request = test::read_mbap_request(server);
            for (uint8_t byte : test::mbap_frame(test::transaction_of(request), 7, test::registers_pdu(5, 16))) {
                test::send_all(server, {byte});
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        rtu::Outcome outcome = exchange();
        REQUIRE(outcome.kind == rtu::Outcome::Answer);
        CHECK(rtu::registers_of(outcome.frame.data(), 16)[0] == 5);
    }
    SUBCASE("silence is a time-out; the late answer then is discarded by the next try") {
        mbap::Line quick(ByteStream(pair.link, true), 0.2);
        Bytes first;
        {
            test::PeerThread peer([&] { first = test::read_mbap_request(server); });
            auto start = std::chrono::steady_clock::now();
            CHECK(quick.exchange(kRead16, none.interruption).kind == rtu::Outcome::Timeout);
            CHECK(test::seconds_since(start) >= 0.19);
        }
        test::PeerThread peer([&] {
            Bytes request = test::read_mbap_request(server);
            test::send_all(server, test::mbap_frame(test::transaction_of(first), 7, test::registers_pdu(666, 16)));
            test::send_all(server, test::mbap_frame(test::transaction_of(request), 7, test::registers_pdu(2, 16)));
        });
        rtu::Outcome outcome = quick.exchange(kRead16, none.interruption);
        REQUIRE(outcome.kind == rtu::Outcome::Answer);
        CHECK(rtu::registers_of(outcome.frame.data(), 16)[0] == 2);
    }
    SUBCASE("a wrong protocol id is a stray frame") {
        test::PeerThread peer([&] {
            Bytes request = test::read_mbap_request(server);
            test::send_all(server,
                           test::mbap_frame(test::transaction_of(request), 7, test::registers_pdu(0, 16), 1));
        });
        rtu::Outcome outcome = exchange();
        CHECK(outcome.kind == rtu::Outcome::Stray);
        CHECK(outcome.problem.find("protocol identifier 1") != std::string::npos);
        CHECK_FALSE(line.broken());
    }
    SUBCASE("another unit with the request's id is a stray frame") {
        test::PeerThread peer([&] {
            Bytes request = test::read_mbap_request(server);
            test::send_all(server, test::mbap_frame(test::transaction_of(request), 8, test::registers_pdu(0, 16)));
        });
        CHECK(exchange().kind == rtu::Outcome::Stray);
    }
    SUBCASE("an exception response") {
        test::PeerThread peer([&] {
            Bytes request = test::read_mbap_request(server);
            test::send_all(server, test::mbap_frame(test::transaction_of(request), 7, {0x83, 0x02}));
        });
        rtu::Outcome outcome = exchange();
        CHECK(outcome.kind == rtu::Outcome::Exception);
        CHECK(outcome.code == 2);
    }
    SUBCASE("a length field over 254 breaks the line") {
        test::PeerThread peer([&] {
            test::read_mbap_request(server);
            test::send_all(server, {0, 1, 0, 0, 0xFF, 0xFF, 7});
        });
        rtu::Outcome outcome = exchange();
        CHECK(outcome.kind == rtu::Outcome::Damaged);
        CHECK(line.broken());
    }
    SUBCASE("the server closing is a port failure") {
        test::PeerThread peer([&] {
            test::read_mbap_request(server);
            pair.close_server();
        });
        try {
            exchange();
            FAIL("no LinkError");
        } catch (const LinkError &failure) {
            CHECK(failure.kind() == ErrorKind::Line);
            CHECK(failure.cause() == FailureCause::Port);
            CHECK(std::string(failure.what()) == "connection closed by the peer");
        }
    }
}

TEST_CASE("a close of the link ends the wait within a slice") {
    SocketPair pair;
    std::atomic<uint64_t> closes{0};
    Interruption interruption(closes, 0, "get_multi_uint16", 7);
    mbap::Line line(ByteStream(pair.link, true), 10.0);
    auto start = std::chrono::steady_clock::now();
    test::PeerThread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ++closes;
    });
    try {
        line.exchange(kRead16, interruption);
        FAIL("no LinkError");
    } catch (const LinkError &failure) {
        CHECK(failure.cause() == FailureCause::Closed);
        CHECK(std::string(failure.what()) == "get_multi_uint16() station 7: link closed");
    }
    CHECK(test::seconds_since(start) < 2.0);
}
