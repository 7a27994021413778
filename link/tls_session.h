// Modbus/TCP Security: TLS 1.2 or later with mutual authentication, through
// OpenSSL, over a connected non-blocking socket. The handshake is waited for
// in slices with the Interruption checked between them. A server whose
// certificate does not verify against the CA (or is not for the host) fails
// with a Line LinkError of cause Port that says why.
#pragma once

#include <memory>
#include <string>

#include "link/interruption.h"

struct ssl_st;

namespace mew {

struct TlsFiles {
    std::string ca, cert, key;  // PEM files: the CA that signs the server, our certificate and key
};

class TlsSession {
public:
    ~TlsSession();
    ssl_st *ssl() const { return ssl_; }

    // The handshake with `host` on connected socket `fd` within `timeout` seconds.
    static std::unique_ptr<TlsSession> handshake(const TlsFiles &files, int fd, const std::string &host, double timeout,
                                                 const Interruption &interruption);

private:
    TlsSession() = default;
    ssl_st *ssl_ = nullptr;
    void *context_ = nullptr;  // the SSL_CTX
};

// Whether this build has OpenSSL.
bool tls_built();

} // namespace mew
