#include "link/tcp_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <mutex>
#include <thread>

#include "link/byte_stream.h"

namespace mew {
namespace {

// A name lookup cannot be cut short, so it runs on a thread of its own,
// which the waiting transaction may leave behind (it ends by itself).
struct Lookup {
    std::mutex mutex;
    bool done = false;
    int status = 0;
    addrinfo *found = nullptr;
    ~Lookup() {
        if (found) freeaddrinfo(found);
    }
};

int resolve(const std::string &host, int port, int flags, addrinfo **found) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | flags;
    return getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, found);
}

std::shared_ptr<Lookup> look_up(const std::string &host, int port, const Interruption &interruption) {
    auto lookup = std::make_shared<Lookup>();
    // An address needs no lookup.
    if (resolve(host, port, AI_NUMERICHOST, &lookup->found) == 0) return lookup;
    std::thread([lookup, host, port] {
        addrinfo *found = nullptr;
        int status = resolve(host, port, 0, &found);
        std::lock_guard<std::mutex> hold(lookup->mutex);
        lookup->status = status;
        lookup->found = found;
        lookup->done = true;
    }).detach();
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(lookup->mutex);
            if (lookup->done) break;
        }
        interruption.sleep(0.002);
    }
    if (lookup->status != 0) port_failed(std::string("cannot look up '") + host + "': " + gai_strerror(lookup->status));
    return lookup;
}

std::string seconds_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", value);
    return text;
}

// Waits for the connect in progress on `fd` to end: 0, or the errno it failed with.
int finish_connect(int fd, Interruption::Clock::time_point deadline, const Interruption &interruption) {
    for (;;) {
        interruption.check();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Interruption::slice_end(deadline) -
                                                                          Interruption::Clock::now())
                        .count();
        if (left <= 0 && Interruption::Clock::now() >= deadline) return ETIMEDOUT;
        pollfd socket{fd, POLLOUT, 0};
        int ready = ::poll(&socket, 1, int(std::max<long long>(left, 1)));
        if (ready < 0 && errno != EINTR) return errno;
        if (ready <= 0) continue;
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
        return error;
    }
}

} // namespace

std::optional<std::string> parse_endpoint(const std::string &where, bool port_needed, bool port_zero, std::string &host_out,
                                          int &port_out) {
    std::string host = where, port;
    if (!host.empty() && host[0] == '[') {
        size_t end = host.find(']');
        if (end == std::string::npos) return std::string("an IPv6 address needs its ']'");
        std::string rest = host.substr(end + 1);
        host = host.substr(1, end - 1);
        if (!rest.empty() && rest[0] != ':') return "'" + rest + "' after the address";
        if (!rest.empty()) port = rest.substr(1);
        if (!rest.empty() && port.empty()) return std::string("no port number after ':'");
    } else {
        size_t colon = host.rfind(':');
        if (colon != std::string::npos) {
            if (host.find(':') != colon) return std::string("an IPv6 address goes in brackets: [::1]:502");
            port = host.substr(colon + 1);
            host.erase(colon);
            if (port.empty()) return std::string("no port number after ':'");
        }
    }
    if (host.empty()) return std::string("no host");
    if (host.find_first_of("/?#@ ") != std::string::npos) return "'" + host + "' is no host name or address";
    if (port.empty()) {
        if (port_needed) return std::string("no port number (HOST:PORT)");
    } else {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return "'" + port + "' is no port number";
        int number = std::stoi(port);
        if (number < (port_zero ? 0 : 1) || number > 65535) return "port " + port + (port_zero ? " is not 0..65535" : " is not 1..65535");
        port_out = number;
    }
    host_out = host;
    return std::nullopt;
}

Socket &Socket::operator=(Socket &&other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Socket::release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Socket::reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool set_link_socket_options(int fd) {
    int on = 1;
    int idle = 10, interval = 5, count = 3;  // a dead peer is seen within 25 s
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0;
}

Socket connect_tcp(const std::string &host, int port, double timeout, const Interruption &interruption) {
    std::shared_ptr<Lookup> lookup = look_up(host, port, interruption);
    Interruption::Clock::time_point deadline = Interruption::Clock::now() + seconds(timeout);
    std::string why = "no address";
    for (addrinfo *address = lookup->found; address; address = address->ai_next) {
        Socket socket(::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol));
        if (!socket || !set_link_socket_options(socket.fd())) {
            why = std::strerror(errno);
            continue;
        }
        int error = 0;
        if (::connect(socket.fd(), address->ai_addr, address->ai_addrlen) != 0)
            error = errno == EINPROGRESS ? finish_connect(socket.fd(), deadline, interruption) : errno;
        if (error == 0) return socket;
        why = error == ETIMEDOUT ? "no answer within " + seconds_text(timeout) : std::strerror(error);
        if (error == ETIMEDOUT) break;
    }
    port_failed(why);
}

} // namespace mew
