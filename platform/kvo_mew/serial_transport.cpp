// The transport of serial ports: a Modbus RTU master on the device. Element
// names become Modbus requests by the link's element map (modbus_map.h); the
// station is the slave address. libmodbus opens and configures the port;
// the frames and the waits are ours (rtu_frame.h, rtu_line.h), so that every
// answer is checked against its own request and every wait can be
// interrupted.
//
// A time-out, a damaged answer or a stray frame fails the try; the
// transaction is tried again, up to `retries` more times, after the line has
// been drained. An exception response is final. When the port itself fails
// (an unplugged USB adapter), the port is closed and the link reopens it on
// its next call, after a short pause that grows while reopening keeps failing.
#include "platform/kvo_mew/transport.h"

#include "platform/kvo_mew/errors.h"
#include "platform/kvo_mew/serial_settings.h"

#if KVO_MEW_SERIAL

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>

#include "platform/kvo_mew/rtu_line.h"

namespace mew {
namespace {

using Clock = Interruption::Clock;

constexpr double kFirstReopenDelay = 0.1;  // seconds after a port failure
constexpr double kLastReopenDelay = 1.0;   // the most it grows to while opening fails
constexpr size_t kReadWords = 125;         // 125 registers or 2000 bits per request
constexpr size_t kWriteWords = 123;        // 123 registers or 1968 bits per request

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

uint8_t read_function(Table table) {
    switch (table) {
    case Table::Coils:
        return rtu::kReadCoils;
    case Table::DiscreteInputs:
        return rtu::kReadDiscreteInputs;
    case Table::HoldingRegisters:
        return rtu::kReadHoldingRegisters;
    case Table::InputRegisters:
        break;
    }
    return rtu::kReadInputRegisters;
}

class SerialTransport : public Transport {
public:
    // `ctx` is libmodbus's context for the settings' device, owned from here on.
    SerialTransport(SerialSettings settings, modbus_t *ctx)
        : settings_(std::move(settings)),
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
        line_.emplace(modbus_get_socket(ctx_), timing_, drain_on_open_);
    }

    void close() noexcept override {
        if (!line_) return;
        drain_on_open_ = line_->drain_pending();
        modbus_close(ctx_);
        line_.reset();
    }

    std::optional<std::string> check(const char *op, int station, const Element &first, size_t count,
                                     bool write) const override {
        if (station > 247)
            return std::string(op) + "() station " + std::to_string(station) + " is not a Modbus slave address (1..247)";
        Span span;
        if (auto error = locate(settings_.element_map, first, count, write, span)) return std::string(op) + "() " + *error;
        return std::nullopt;
    }

    void read_words(const Interruption &interruption, const char *op, int station, const Element &first,
                    size_t count, uint16_t *words) override {
        for (size_t done = 0; done < count;) {
            size_t n = std::min(kReadWords, count - done);
            Element chunk = part_of(first, done);
            Span span = located(chunk, n, false);
            rtu::Request request =
                rtu::Request::read(uint8_t(station), read_function(span.table), uint16_t(span.first),
                                   uint16_t(span.count));
            std::vector<uint8_t> answer = run(interruption, op, station, chunk, n, span, request);
            if (is_bit_table(span.table)) {
                for (size_t i = 0; i < n; ++i) {
                    uint16_t word = 0;
                    for (int b = 0; b < 16; ++b)
                        if (rtu::bit_of(answer.data(), i * 16 + b)) word |= uint16_t(1u << b);
                    words[done + i] = word;
                }
            } else {
                std::vector<uint16_t> registers = rtu::registers_of(answer.data(), n);
                std::copy(registers.begin(), registers.end(), words + done);
            }
            done += n;
        }
    }

    void write_words(const Interruption &interruption, const char *op, int station, const Element &first,
                     const std::vector<uint16_t> &values) override {
        for (size_t done = 0; done < values.size();) {
            size_t n = std::min(kWriteWords, values.size() - done);
            Element chunk = part_of(first, done);
            Span span = located(chunk, n, true);
            const uint16_t *from = values.data() + done;
            uint8_t slave = uint8_t(station);
            uint16_t address = uint16_t(span.first);
            rtu::Request request;
            if (is_bit_table(span.table)) {
                std::vector<uint8_t> bits(span.count);
                for (size_t i = 0; i < span.count; ++i) bits[i] = (from[i / 16] >> (i % 16)) & 1u;
                request = rtu::Request::write_coils(slave, address, bits);
            } else if (n == 1) {
                request = rtu::Request::write_register(slave, address, *from);
            } else {
                request = rtu::Request::write_registers(slave, address, from, uint16_t(n));
            }
            run(interruption, op, station, chunk, n, span, request);
            done += n;
        }
    }

    bool read_bit(const Interruption &interruption, const char *op, int station, const Element &relay) override {
        Span span = located(relay, 1, false);
        rtu::Request request = rtu::Request::read(uint8_t(station), read_function(span.table),
                                                  uint16_t(span.first), uint16_t(span.count));
        std::vector<uint8_t> answer = run(interruption, op, station, relay, 1, span, request);
        if (is_bit_table(span.table)) return rtu::bit_of(answer.data(), 0);
        // The relay is one bit of a register.
        return (rtu::registers_of(answer.data(), 1)[0] >> relay.bit) & 1u;
    }

    void write_bit(const Interruption &interruption, const char *op, int station, const Element &relay,
                   bool value) override {
        Span span = located(relay, 1, true);
        uint8_t slave = uint8_t(station);
        if (is_bit_table(span.table)) {
            run(interruption, op, station, relay, 1, span,
                rtu::Request::write_coil(slave, uint16_t(span.first), value));
            return;
        }
        // One bit of a holding register, changed by the slave itself (mask
        // write) so the register's other bits are never written back stale.
        uint16_t mask = uint16_t(1u << relay.bit);
        run(interruption, op, station, relay, 1, span,
            rtu::Request::mask_write(slave, uint16_t(span.first), uint16_t(~mask), value ? mask : uint16_t(0)));
    }

    uint64_t retries() const override { return retries_; }

private:
    // The word `offset` words after `first`, as an element of its own.
    static Element part_of(const Element &first, size_t offset) {
        Element part = first;
        part.word = uint32_t(first.word + offset);
        return part;
    }

    // "get_multi_uint16() station 2, D0..D3 (holding registers 0..3): "
    // The span of a block check() let through.
    Span located(const Element &first, size_t words, bool write) const {
        Span span;
        if (auto error = locate(settings_.element_map, first, words, write, span))
            throw LinkError(*error, ErrorKind::Address);
        return span;
    }

    static std::string where(const char *op, int station, const Element &first, size_t words, const Span &span) {
        return std::string(op) + "() station " + std::to_string(station) + ", " + elements_text(first, words) +
               " (" + span_text(span) + "): ";
    }

    // One Modbus transaction, tried up to 1 + retries times: the answer frame.
    std::vector<uint8_t> run(const Interruption &interruption, const char *op, int station, const Element &first,
                             size_t words, const Span &span, const rtu::Request &request) {
        rtu::Outcome outcome;
        int tries = 0;
        while (tries <= settings_.retries) {
            if (tries > 0) ++retries_;
            ++tries;
            try {
                outcome = line_->exchange(request, interruption);
            } catch (const LinkError &failure) {
                if (failure.cause() != FailureCause::Port) throw;  // the Interruption's
                close();
                next_open_ = Clock::now() + seconds(kFirstReopenDelay);
                throw LinkError(where(op, station, first, words, span) + "serial port '" + settings_.device +
                                    "' failed: " + failure.what() + "; it is reopened on the next call",
                                ErrorKind::Line, FailureCause::Port);
            }
            if (outcome.kind == rtu::Outcome::Answer) return std::move(outcome.frame);
            if (outcome.kind == rtu::Outcome::Exception)
                throw LinkError(where(op, station, first, words, span) + "exception response " +
                                    std::to_string(outcome.code) + " (" + rtu::exception_text(outcome.code) + ")",
                                ErrorKind::Slave, FailureCause::Exception);
        }
        std::string cause;
        FailureCause category;
        switch (outcome.kind) {
        case rtu::Outcome::Stray:
            cause = "stray frame: " + outcome.problem;
            category = FailureCause::Stray;
            break;
        case rtu::Outcome::Damaged:
            cause = "damaged answer: " + outcome.problem;
            category = FailureCause::Crc;
            break;
        default:
            cause = "no answer within " + seconds_text(settings_.timeout);
            category = FailureCause::Timeout;
        }
        throw LinkError(where(op, station, first, words, span) + cause + " (" + std::to_string(tries) +
                            (tries == 1 ? " try)" : " tries)"),
                        ErrorKind::Line, category);
    }

    const SerialSettings settings_;
    const rtu::Timing timing_;
    modbus_t *ctx_ = nullptr;
    std::optional<rtu::Line> line_;  // while the port is open
    bool drain_on_open_ = false;
    Clock::time_point next_open_{};
    double reopen_delay_ = kFirstReopenDelay;
    uint64_t retries_ = 0;
};

} // namespace

std::unique_ptr<Transport> make_serial_transport(const std::string &device, pybind11::handle baudrate,
                                                 pybind11::dict options) {
    std::optional<SerialSettings> settings = serial_settings(device, baudrate, options);
    if (!settings) return nullptr;
    modbus_t *ctx = modbus_new_rtu(settings->device.c_str(), settings->baudrate, settings->parity, settings->bytesize,
                                   settings->stopbits);
    if (!ctx) return set_error(ErrorKind::Link, "cannot set up serial port '" + device + "': " + modbus_strerror(errno));
    return std::make_unique<SerialTransport>(std::move(*settings), ctx);
}

bool serial_transport_built() { return true; }

} // namespace mew

#else  // built without libmodbus

namespace mew {

std::unique_ptr<Transport> make_serial_transport(const std::string &, pybind11::handle, pybind11::dict) {
    return set_error(ErrorKind::Link, "serial transport not built (libmodbus missing)");
}

bool serial_transport_built() { return false; }

} // namespace mew

#endif
