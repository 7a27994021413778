// The bytes under a Modbus line: a non-blocking POSIX file descriptor, either
// a serial port (opened by libmodbus) or a TCP socket, plain or in a TLS
// session (tls_session.h). Reads take what is
// there, writes wait in slices; a failing descriptor, and a socket its peer
// closed, throw the port's LinkError (port_failed), which the transport
// turns into "reopened (reconnected) on the next call".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/link_error.h"
#include "link/interruption.h"

struct ssl_st;

namespace mew {

// The port failed: a Line LinkError of cause Port with `why` (an errno text).
[[noreturn]] void port_failed(const std::string &why);
[[noreturn]] void port_failed(int error);

class ByteStream {
public:
    using Clock = Interruption::Clock;

    // `socket`: the descriptor is a stream socket (its end of file is a
    // closed connection; writes never raise SIGPIPE).
    // `tls`: the socket's TLS session, which the bytes go through.
    ByteStream(int fd, bool socket, ssl_st *tls = nullptr) : fd_(fd), socket_(socket), tls_(tls) {}

    // Appends what the descriptor holds now to `buffer`; the number of bytes.
    // A socket is read until a read comes back short: what arrives after it
    // is left for the next call, which saves a read that would find nothing.
    size_t read_available(std::vector<uint8_t> &buffer) const;
    void write_all(const uint8_t *data, size_t size, const Interruption &interruption) const;
    // Waits until there are bytes to read, `until` comes or a slice has
    // passed; true when there are (or the descriptor has news: its end or
    // an error, which the next read reports).
    bool wait_readable(Clock::time_point until) const;

private:
    size_t read_tls(std::vector<uint8_t> &buffer) const;
    // One SSL_write: bytes written, or 0 when the socket must be waited for
    // (`readable`: for reading).
    size_t write_tls(const uint8_t *data, size_t size, bool &readable) const;

    int fd_;
    bool socket_;
    ssl_st *tls_;
};

} // namespace mew
