// The transport of serial ports: a Modbus RTU master on the device
// (modbus_master.h builds the requests and tries them); the station is the
// slave address. libmodbus opens and configures the port;
// the frames and the waits are ours (rtu_frame.h, rtu_line.h), so that every
// answer is checked against its own request and every wait can be
// interrupted.
//
// A time-out, a damaged answer or a stray frame fails the try; the
// transaction is tried again, up to `retries` more times, after the line has
// been drained. An exception response is final. When the port itself fails
// (an unplugged USB adapter), the port is closed and the link reopens it on
// its next call, after a short pause that grows while reopening keeps failing.
#include "link/transport.h"

#include "link/link_error.h"
#include "link/line_settings.h"
#include "link/modbus_master.h"

#if KVO_MEW_SERIAL

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>

namespace mew {
namespace {

using Clock = Interruption::Clock;

constexpr double kFirstReopenDelay = 0.1;  // seconds after a port failure
constexpr double kLastReopenDelay = 1.0;   // the most it grows to while opening fails

class SerialTransport : public ModbusMaster {
public:
    // `ctx` is libmodbus's context for the settings' device, owned from here on.
    SerialTransport(LineSettings settings, modbus_t *ctx)
        : ModbusMaster(std::move(settings), 247),
          timing_(rtu::line_timing(settings_.baudrate, settings_.parity, settings_.bytesize, settings_.stopbits,
                                   settings_.timeout, settings_.drain)),
          ctx_(ctx) {}

    ~SerialTransport() override {
        close();
        modbus_free(ctx_);
    }

    void open(const Interruption &interruption) override {
        if (line_) return;
        interruption.sleep_until(next_open_);
        if (modbus_connect(ctx_) == -1) {
            int error = errno;
            next_open_ = Clock::now() + seconds(reopen_delay_);
            reopen_delay_ = std::min(reopen_delay_ * 2, kLastReopenDelay);
            throw LinkError("cannot open serial port '" + settings_.device + "': " + modbus_strerror(error),
                            ErrorKind::Line, FailureCause::Port);
        }
        reopen_delay_ = kFirstReopenDelay;
        // An answer still on its way when the port was closed is drained too.
        line_.emplace(ByteStream(modbus_get_socket(ctx_), false), timing_, drain_on_open_);
    }

    void close() noexcept override {
        if (!line_) return;
        drain_on_open_ = line_->drain_pending();
        modbus_close(ctx_);
        line_.reset();
    }

private:
    rtu::Outcome exchange(const rtu::Request &request, const Interruption &interruption) override {
        return line_->exchange(request, interruption);
    }

    std::string port_lost(const std::string &why) override {
        close();
        next_open_ = Clock::now() + seconds(kFirstReopenDelay);
        return "serial port '" + settings_.device + "' failed: " + why + "; it is reopened on the next call";
    }

    const rtu::Timing timing_;
    modbus_t *ctx_ = nullptr;
    std::optional<rtu::Line> line_;  // while the port is open
    bool drain_on_open_ = false;
    Clock::time_point next_open_{};
    double reopen_delay_ = kFirstReopenDelay;
};

} // namespace

std::unique_ptr<Transport> make_serial_transport(LineSettings settings) {
    modbus_t *ctx = modbus_new_rtu(settings.device.c_str(), settings.baudrate, settings.parity, settings.bytesize,
                                   settings.stopbits);
    if (!ctx) throw LinkError("cannot set up serial port '" + settings.device + "': " + modbus_strerror(errno));
    return std::make_unique<SerialTransport>(std::move(settings), ctx);
}

bool serial_transport_built() { return true; }

} // namespace mew

#else  // built without libmodbus

namespace mew {

std::unique_ptr<Transport> make_serial_transport(LineSettings) {
    throw LinkError("serial transport not built (libmodbus missing)");
}

bool serial_transport_built() { return false; }

} // namespace mew

#endif
