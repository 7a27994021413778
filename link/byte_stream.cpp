#include "link/byte_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#if KVO_MEW_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>
#endif

namespace mew {

void port_failed(const std::string &why) { throw LinkError(why, ErrorKind::Line, FailureCause::Port); }

void port_failed(int error) { port_failed(std::string(std::strerror(error))); }

size_t ByteStream::read_available(std::vector<uint8_t> &buffer) const {
    if (tls_) return read_tls(buffer);
    size_t total = 0;
    uint8_t chunk[512];
    for (;;) {
        ssize_t n = socket_ ? ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT) : ::read(fd_, chunk, sizeof chunk);
        if (n > 0) {
            buffer.insert(buffer.end(), chunk, chunk + n);
            total += size_t(n);
            if (socket_ && size_t(n) < sizeof chunk) break;
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
        if (tls_) {
            bool readable = false;
            size_t n = write_tls(data + done, size - done, readable);
            done += n;
            if (n) continue;
            interruption.check();
            pollfd port{fd_, short(readable ? POLLIN : POLLOUT), 0};
            if (::poll(&port, 1, int(kSlice * 1000)) < 0 && errno != EINTR) port_failed(errno);
            continue;
        }
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

bool ByteStream::wait_readable(Clock::time_point until) const {
#if KVO_MEW_TLS
    if (tls_ && SSL_pending(tls_) > 0) return true;
#endif
    Clock::time_point end = Interruption::slice_end(until);
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
    if (left <= 0) return false;
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
    return ready > 0;
}

#if KVO_MEW_TLS

namespace {

[[noreturn]] void tls_failed(int result, ssl_st *tls) {
    int error = SSL_get_error(tls, result);
    if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0))
        port_failed("connection closed by the peer");
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) port_failed(errno);
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    port_failed(std::string("TLS: ") + text);
}

} // namespace

size_t ByteStream::read_tls(std::vector<uint8_t> &buffer) const {
    size_t total = 0;
    uint8_t chunk[512];
    for (;;) {
        errno = 0;
        int n = SSL_read(tls_, chunk, sizeof chunk);
        if (n > 0) {
            buffer.insert(buffer.end(), chunk, chunk + n);
            total += size_t(n);
            if (size_t(n) < sizeof chunk && SSL_pending(tls_) == 0) return total;
            continue;
        }
        int error = SSL_get_error(tls_, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return total;
        tls_failed(n, tls_);
    }
}

size_t ByteStream::write_tls(const uint8_t *data, size_t size, bool &readable) const {
    errno = 0;
    int n = SSL_write(tls_, data, int(size));
    if (n > 0) return size_t(n);
    int error = SSL_get_error(tls_, n);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        readable = error == SSL_ERROR_WANT_READ;
        return 0;
    }
    tls_failed(n, tls_);
}

#else

size_t ByteStream::read_tls(std::vector<uint8_t> &) const { return 0; }
size_t ByteStream::write_tls(const uint8_t *, size_t, bool &) const { return 0; }

#endif

} // namespace mew
