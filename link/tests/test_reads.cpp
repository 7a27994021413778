// How many reads a Modbus TCP transaction costs: the link waits until the
// socket is readable and reads the answer once, instead of reading first
// (nothing there yet) and again after the answer (nothing more). The test
// binary counts the recv() calls on the link's socket.
#include <doctest/doctest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/mbap_line.h"
#include "link/tests/peer.h"

namespace {

std::atomic<int> counted_fd{-1};
std::atomic<int> counted_reads{0};

} // namespace

// Every recv() of this test binary, the link's included, comes here first.
extern "C" ssize_t recv(int fd, void *data, size_t size, int flags) {
    using Recv = ssize_t (*)(int, void *, size_t, int);
    static Recv next = reinterpret_cast<Recv>(dlsym(RTLD_NEXT, "recv"));
    if (fd == counted_fd.load()) ++counted_reads;
    return next(fd, data, size, flags);
}

TEST_CASE("a prompt Modbus TCP answer is read with one recv") {
    int fds[2];
    REQUIRE(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    REQUIRE(::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK) == 0);
    int server = fds[1];
    test::Uninterrupted none;
    mew::mbap::Line line(mew::ByteStream(fds[0], true), 2.0);
    const mew::rtu::Request request = mew::rtu::Request::read(1, mew::rtu::kReadHoldingRegisters, 0, 16);
    {
        test::PeerThread peer([&] {
            for (int i = 0; i < 20; ++i) {
                test::Bytes got = test::read_mbap_request(server);
                if (got.size() < 12) return;
                test::send_all(server, test::mbap_frame(test::transaction_of(got), 1, test::registers_pdu(0, 16)));
            }
        });
        counted_fd = fds[0];
        for (int i = 0; i < 20; ++i) REQUIRE(line.exchange(request, none.interruption).kind == mew::rtu::Outcome::Answer);
        counted_fd = -1;
    }
    CHECK(counted_reads.load() == 20);
    ::close(fds[0]);
    ::close(server);
}
