// TCP connections for the link's network transports: the name lookup and a
// non-blocking connect, both waited for in slices with the transaction's
// Interruption checked between them, so close() and Ctrl-C end them too.
// The socket is non-blocking, with TCP_NODELAY (a request goes out at once)
// and keep-alive (a peer that died silently is noticed within a minute).
#pragma once

#include <optional>
#include <string>

#include "link/interruption.h"

namespace mew {

// An open socket descriptor, closed with its owner.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket &&other) noexcept : fd_(other.release()) {}
    Socket &operator=(Socket &&other) noexcept;
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    ~Socket() { reset(); }

    int fd() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() noexcept;
    void reset() noexcept;

private:
    int fd_ = -1;
};

// Reads HOST[:PORT] (an IPv6 address in brackets: [::1]:502) into `host`
// and `port` (left as it is when the text has none); why it cannot. Port 0
// is allowed when `port_zero` (a server's "any free port").
std::optional<std::string> parse_endpoint(const std::string &where, bool port_needed, bool port_zero, std::string &host,
                                          int &port);

// Connects to `host`:`port` within `timeout` seconds. Throws a Line
// LinkError of cause Port saying why not ("Connection refused", "no answer
// within 3 s", "unknown host"), or the Interruption's.
Socket connect_tcp(const std::string &host, int port, double timeout, const Interruption &interruption);

// Sets the options every link socket has (non-blocking, TCP_NODELAY,
// keep-alive); false when the descriptor refuses one.
bool set_link_socket_options(int fd);

} // namespace mew
