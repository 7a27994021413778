// The transports of "tcp://HOST[:PORT]" (Modbus TCP, mbap_line.h),
// "tls://HOST[:PORT]?..." (the same in TLS, tls_session.h) and
// "rtu+tcp://HOST:PORT" (RTU frames through a serial device server, the
// serial line's rules of rtu_line.h with the remote line's timing). One
// connection per link, shared by its stations (units, slave addresses);
// modbus_master.h builds and tries the requests.
//
// A lost connection (reset, closed by the peer, a stream out of step, a
// transaction that got no answer at all) is closed; the link reconnects on
// its next call (counted in health.reopens and logged like a reopen).
// Reconnecting waits a back-off after the failure: 0.1 s, doubling with
// every further failure up to 2 s, back to 0.1 s after a good transaction.
#include <algorithm>
#include <optional>

#include "link/link_error.h"
#include "link/line_settings.h"
#include "link/mbap_line.h"
#include "link/modbus_master.h"
#include "link/tcp_socket.h"
#include "link/tls_session.h"
#include "link/transport.h"

namespace mew {
namespace {

using Clock = Interruption::Clock;

constexpr double kFirstBackOff = 0.1;  // seconds from a failure to the next connect
constexpr double kLastBackOff = 2.0;   // the most it grows to

class TcpTransport : public ModbusMaster {
public:
    explicit TcpTransport(LineSettings settings)
        : ModbusMaster(std::move(settings), settings.kind == PortKind::RtuOverTcp ? 247 : 255),
          rtu_frames_(settings_.kind == PortKind::RtuOverTcp),
          timing_(rtu::line_timing(settings_.baudrate, settings_.parity, settings_.bytesize, settings_.stopbits,
                                   settings_.timeout, settings_.drain)) {}

    ~TcpTransport() override { close(); }

    void open(const Interruption &interruption) override {
        if (socket_) return;
        interruption.sleep_until(next_connect_);
        try {
            socket_ = connect_tcp(settings_.host, settings_.tcp_port, settings_.connect_timeout, interruption);
            if (settings_.kind == PortKind::Tls)
                tls_ = TlsSession::handshake({settings_.ca, settings_.cert, settings_.key}, socket_.fd(), settings_.host,
                                             settings_.connect_timeout, interruption);
        } catch (const LinkError &failure) {
            tls_.reset();
            socket_.reset();
            if (failure.cause() != FailureCause::Port) throw;  // the Interruption's
            back_off();
            throw LinkError("cannot connect to " + settings_.device + ": " + failure.what(), ErrorKind::Line,
                            FailureCause::Port);
        }
        lost_ = false;
        ByteStream stream(socket_.fd(), true, tls_ ? tls_->ssl() : nullptr);
        if (rtu_frames_)
            rtu_.emplace(stream, timing_, drain_on_open_);
        else
            mbap_.emplace(stream, settings_.timeout);
    }

    void close() noexcept override {
        if (rtu_) drain_on_open_ = rtu_->drain_pending();
        rtu_.reset();
        mbap_.reset();
        tls_.reset();
        socket_.reset();
    }

    bool lost() const override { return lost_; }

private:
    rtu::Outcome exchange(const rtu::Request &request, const Interruption &interruption) override {
        if (rtu_) return rtu_->exchange(request, interruption);
        try {
            return mbap_->exchange(request, interruption);
        } catch (const LinkError &) {
            if (mbap_->broken()) drop();  // a request cut short: the stream has lost its step
            throw;
        }
    }

    std::string port_lost(const std::string &why) override {
        drop();
        return "connection to " + settings_.device + " lost: " + why + "; it is reconnected on the next call";
    }

    bool can_try_again() const override { return socket_ && !(mbap_ && mbap_->broken()); }

    void transaction_ended(bool good, rtu::Outcome::Kind kind) override {
        if (good) {
            back_off_ = kFirstBackOff;
            return;
        }
        // No answer to any try: the peer may be gone for good (keep-alive
        // takes longer to tell). A stray frame leaves the stream in step.
        if (kind == rtu::Outcome::Timeout || (mbap_ && mbap_->broken())) drop();
    }

    // Closes the connection after a failure; the link reconnects on its next call.
    void drop() {
        if (!socket_) return;
        close();
        lost_ = true;
        back_off();
    }

    void back_off() {
        next_connect_ = Clock::now() + seconds(back_off_);
        back_off_ = std::min(back_off_ * 2, kLastBackOff);
    }

    const bool rtu_frames_;
    const rtu::Timing timing_;
    Socket socket_;
    std::unique_ptr<TlsSession> tls_;  // tls://, while connected
    std::optional<mbap::Line> mbap_;  // tcp://, while connected
    std::optional<rtu::Line> rtu_;    // rtu+tcp://, while connected
    bool drain_on_open_ = false;
    bool lost_ = false;
    Clock::time_point next_connect_{};
    double back_off_ = kFirstBackOff;
};

} // namespace

std::unique_ptr<Transport> make_tcp_transport(LineSettings settings) {
    return std::make_unique<TcpTransport>(std::move(settings));
}

} // namespace mew
