#include "link/tls_session.h"

#include "link/byte_stream.h"

#if KVO_MEW_TLS

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mew {
namespace {

std::string openssl_error(const char *what) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (!code) return what;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return std::string(what) + ": " + text;
}

bool is_address(const std::string &host) { return host.find_first_not_of("0123456789.:abcdefABCDEF") == std::string::npos && host.find_first_of(".:") != std::string::npos; }

SSL_CTX *make_context(const TlsFiles &files) {
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (!context) port_failed(openssl_error("cannot set up TLS"));
    auto refuse = [&](const std::string &why) {
        SSL_CTX_free(context);
        port_failed(why);
    };
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    if (SSL_CTX_load_verify_locations(context, files.ca.c_str(), nullptr) != 1)
        refuse(openssl_error(("cannot read ca '" + files.ca + "'").c_str()));
    if (SSL_CTX_use_certificate_chain_file(context, files.cert.c_str()) != 1)
        refuse(openssl_error(("cannot read cert '" + files.cert + "'").c_str()));
    if (SSL_CTX_use_PrivateKey_file(context, files.key.c_str(), SSL_FILETYPE_PEM) != 1)
        refuse(openssl_error(("cannot read key '" + files.key + "'").c_str()));
    if (SSL_CTX_check_private_key(context) != 1)
        refuse(openssl_error(("key '" + files.key + "' is not the key of cert '" + files.cert + "'").c_str()));
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    return context;
}

} // namespace

TlsSession::~TlsSession() {
    if (ssl_) SSL_free(ssl_);
    if (context_) SSL_CTX_free(static_cast<SSL_CTX *>(context_));
}

std::unique_ptr<TlsSession> TlsSession::handshake(const TlsFiles &files, int fd, const std::string &host,
                                                  double timeout, const Interruption &interruption) {
    std::unique_ptr<TlsSession> session(new TlsSession());
    SSL_CTX *context = make_context(files);
    session->context_ = context;
    SSL *ssl = SSL_new(context);
    if (!ssl) port_failed(openssl_error("cannot set up TLS"));
    session->ssl_ = ssl;
    SSL_set_fd(ssl, fd);
    if (is_address(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    } else {
        SSL_set1_host(ssl, host.c_str());
        SSL_set_tlsext_host_name(ssl, host.c_str());
    }
    Interruption::Clock::time_point deadline = Interruption::Clock::now() + seconds(timeout);
    for (;;) {
        int done = SSL_connect(ssl);
        if (done == 1) return session;
        int error = SSL_get_error(ssl, done);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            long verified = SSL_get_verify_result(ssl);
            if (verified != X509_V_OK)
                port_failed("the server's certificate does not verify against ca '" + files.ca +
                            "': " + X509_verify_cert_error_string(verified));
            if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
                port_failed(errno ? std::string(std::strerror(errno)) : "TLS handshake: connection closed by the peer");
            port_failed(openssl_error("TLS handshake failed"));
        }
        interruption.check();
        if (Interruption::Clock::now() >= deadline) {
            char text[64];
            std::snprintf(text, sizeof text, "no TLS handshake within %g s", timeout);
            port_failed(text);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Interruption::slice_end(deadline) -
                                                                          Interruption::Clock::now())
                        .count();
        pollfd socket{fd, short(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        ::poll(&socket, 1, int(left > 0 ? left : 1));
    }
}

bool tls_built() { return true; }

} // namespace mew

#else

namespace mew {

TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::handshake(const TlsFiles &, int, const std::string &, double,
                                                  const Interruption &) {
    port_failed("TLS transport not built (OpenSSL missing)");
}

bool tls_built() { return false; }

} // namespace mew

#endif
