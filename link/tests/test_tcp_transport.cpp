// The tcp:// transport's connection: a test thread plays the server on a
// loopback port; a connection that is reset, closed or silent is dropped,
// and the next call reconnects after the back-off.
#include <doctest/doctest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/tests/peer.h"
#include "link/transport.h"

using namespace mew;
using test::Bytes;

namespace {

// A listening loopback socket on a free port.
struct Listener {
    int fd = -1;
    int port = 0;
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        REQUIRE(fd >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        REQUIRE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        REQUIRE(::listen(fd, 4) == 0);
        socklen_t size = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~Listener() { ::close(fd); }
    int accept_one() const {
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, 5000) <= 0) return -1;
        return ::accept(fd, nullptr, nullptr);
    }
};

// Answers one read of holding registers on `connection` with `base`, base+1, ...
void answer(int connection, uint16_t base) {
    Bytes request = test::read_mbap_request(connection);
    if (request.size() < 12) return;
    size_t count = size_t((request[10] << 8) | request[11]);
    test::send_all(connection, test::mbap_frame(test::transaction_of(request), request[6],
                                                test::registers_pdu(base, count)));
}

void reset(int connection) {
    linger abort{1, 0};  // close with a RST
    ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(connection);
}

std::unique_ptr<Transport> tcp_transport(int port) {
    LineSettings settings;
    settings.kind = PortKind::Tcp;
    settings.host = "127.0.0.1";
    settings.tcp_port = port;
    settings.device = "tcp://127.0.0.1:" + std::to_string(port);
    settings.timeout = 1.0;  // the silence below waits it out once
    settings.retries = 0;
    return make_tcp_transport(settings);
}

Element element(const char *name) {
    std::string error;
    std::optional<Element> parsed = parse_element(name, error);
    REQUIRE(parsed);
    return *parsed;
}

} // namespace

TEST_CASE("the port text chooses the transport") {
    PortChoice sim = choose_port("sim://cell", "'sim://cell'");
    CHECK(sim.sim == "cell");
    PortChoice tcp = choose_port("tcp://[::1]", "'tcp://[::1]'");
    CHECK(tcp.line.kind == PortKind::Tcp);
    CHECK(tcp.line.host == "::1");
    CHECK(tcp.line.tcp_port == 502);
    PortChoice tls = choose_port("tls://plc?ca=a.pem&cert=b.pem&key=c.key", "x");
    CHECK(tls.line.kind == PortKind::Tls);
    CHECK(tls.line.tcp_port == 802);
    CHECK(tls.line.device == "tls://plc");
    CHECK(tls.line.key == "c.key");
    CHECK(choose_port("/dev/ttyUSB0", "x").line.kind == PortKind::Serial);
    for (const char *bad : {"udp://plc", "", "rtu+tcp://plc", "tls://plc", "tls://plc?ca=a&cert=b&key=c&ca=d",
                            "tcp://plc:99999", "sim://"}) {
        CAPTURE(bad);
        CHECK_THROWS_WITH_AS(choose_port(bad, "'port'"), doctest::Contains("no transport for port 'port'"), LinkError);
    }
}

TEST_CASE("a lost connection is dropped and the next call reconnects") {
    Listener listener;
    std::unique_ptr<Transport> transport = tcp_transport(listener.port);
    test::Uninterrupted none;
    const Element d0 = element("D0");
    uint16_t words[4];
    auto read = [&] {
        transport->open(none.interruption);
        transport->read_words(none.interruption, "get_multi_uint16", 1, d0, 4, words);
    };

    test::PeerThread server([&] {
        int first = listener.accept_one();
        answer(first, 10);
        test::read_mbap_request(first);
        reset(first);  // a reset before the answer
        int second = listener.accept_one();
        test::read_mbap_request(second);
        ::close(second);  // closed right after the request
        int third = listener.accept_one();
        test::read_mbap_request(third);  // accepted, then silence
        int fourth = listener.accept_one();
        answer(fourth, 40);
        ::close(fourth);
        ::close(third);
    });

    read();
    CHECK(words[3] == 13);
    for (const char *why : {"Connection reset by peer", "connection closed by the peer"}) {
        CAPTURE(why);
        try {
            read();
            FAIL("no LinkError");
        } catch (const LinkError &failure) {
            CHECK(failure.cause() == FailureCause::Port);
            CHECK(std::string(failure.what()).find(why) != std::string::npos);
        }
        CHECK(transport->lost());
        transport->close();
    }
    CHECK_THROWS_WITH_AS(read(), doctest::Contains("no answer"), LinkError);
    CHECK(transport->lost());  // no answer at all: the peer may be gone
    transport->close();
    auto start = std::chrono::steady_clock::now();
    read();
    CHECK(words[0] == 40);
    CHECK(test::seconds_since(start) >= 0.05);  // the back-off before the reconnect
}

TEST_CASE("a refused connect fails with the port's cause") {
    int port;
    {
        Listener gone;
        port = gone.port;
    }
    std::unique_ptr<Transport> transport = tcp_transport(port);
    test::Uninterrupted none;
    try {
        transport->open(none.interruption);
        FAIL("no LinkError");
    } catch (const LinkError &failure) {
        CHECK(failure.kind() == ErrorKind::Line);
        CHECK(failure.cause() == FailureCause::Port);
        CHECK(std::string(failure.what()).find("cannot connect to tcp://127.0.0.1:") == 0);
    }
}
