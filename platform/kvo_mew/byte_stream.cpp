#include "platform/kvo_mew/byte_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mew {

void port_failed(const std::string &why) { throw LinkError(why, ErrorKind::Line, FailureCause::Port); }

void port_failed(int error) { port_failed(std::string(std::strerror(error))); }

size_t ByteStream::read_available(std::vector<uint8_t> &buffer) const {
    size_t total = 0;
    uint8_t chunk[512];
    for (;;) {
        ssize_t n = socket_ ? ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT) : ::read(fd_, chunk, sizeof chunk);
        if (n > 0) {
            buffer.insert(buffer.end(), chunk, chunk + n);
            total += size_t(n);
            continue;
        }
        if (n == 0 && socket_) port_failed("connection closed by the peer");
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) port_failed(errno);
        break;  // nothing more for now (a raw tty reads 0 when empty)
    }
    return total;
}

void ByteStream::write_all(const uint8_t *data, size_t size, const Interruption &interruption) const {
    size_t done = 0;
    while (done < size) {
        ssize_t n = socket_ ? ::send(fd_, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                            : ::write(fd_, data + done, size - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) port_failed(errno);
        interruption.check();
        pollfd port{fd_, POLLOUT, 0};
        if (::poll(&port, 1, int(kSlice * 1000)) < 0 && errno != EINTR) port_failed(errno);
        if (port.revents & (POLLERR | POLLHUP | POLLNVAL)) port_failed(socket_ ? EPIPE : EIO);
    }
}

void ByteStream::wait_readable(Clock::time_point until) const {
    Clock::time_point end = Interruption::slice_end(until);
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
    if (left <= 0) return;
    pollfd port{fd_, POLLIN, 0};
    int ready = ::poll(&port, 1, int((left + 999) / 1000));
    if (ready < 0 && errno != EINTR) port_failed(errno);
    // A socket's hang-up comes with POLLIN: the read that follows sees it.
    if (ready > 0 && (port.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(port.revents & POLLIN)) {
        int error = 0;
        socklen_t size = sizeof error;
        if (socket_ && ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0) port_failed(error);
        port_failed(socket_ ? ECONNRESET : EIO);
    }
}

} // namespace mew
