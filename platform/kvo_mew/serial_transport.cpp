// The transport of serial ports: a Modbus RTU master on the device, through
// libmodbus. Element names become Modbus requests by the link's element map
// (modbus_map.h); the station is the slave address.
//
// On a time-out or a damaged answer the transaction is tried again, up to
// `retries` more times, after dropping whatever the line still holds. When
// the port itself fails (an unplugged USB adapter), the port is closed and
// the link reopens it on its next call, after a short pause that grows while
// reopening keeps failing.
#include "transport.h"

#include "errors.h"
#include "serial_settings.h"

#if KVO_MEW_SERIAL

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace mew {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kFirstReopenDelay = 0.1;  // seconds after a port failure
constexpr double kLastReopenDelay = 1.0;   // the most it grows to while opening fails
constexpr size_t kReadWords = MODBUS_MAX_READ_REGISTERS;    // 125 registers or 2000 bits
constexpr size_t kWriteWords = MODBUS_MAX_WRITE_REGISTERS;  // 123 registers or 1968 bits

// How a failed request ended, from libmodbus's errno.
enum class Failure { Exception, Retry, Port };

Failure classify(int error) {
    if (error >= EMBXILFUN && error <= EMBXGTAR) return Failure::Exception;
    if (error == EMBUNKEXC) return Failure::Exception;
    // No answer in time, or one that is not the answer to our request.
    if (error == ETIMEDOUT || error == EMBBADCRC || error == EMBBADDATA || error == EMBBADEXC ||
        error == EMBMDATA || error == EMBBADSLAVE)
        return Failure::Retry;
    return Failure::Port;
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

void split_seconds(double seconds, uint32_t &sec, uint32_t &usec) {
    sec = uint32_t(seconds);
    usec = uint32_t(std::lround((seconds - sec) * 1e6));
    if (usec > 999999) usec = 999999;
    if (sec == 0 && usec == 0) usec = 1;
}

class SerialTransport : public Transport {
public:
    explicit SerialTransport(SerialSettings settings) : settings_(std::move(settings)) {
        ctx_ = modbus_new_rtu(settings_.device.c_str(), settings_.baudrate, settings_.parity, settings_.bytesize,
                              settings_.stopbits);
        if (!ctx_)
            throw LinkError("cannot set up serial port '" + settings_.device + "': " + modbus_strerror(errno));
        modbus_set_error_recovery(ctx_, MODBUS_ERROR_RECOVERY_NONE);
        uint32_t sec, usec;
        split_seconds(settings_.timeout, sec, usec);
        modbus_set_response_timeout(ctx_, sec, usec);
        split_seconds(std::min(settings_.timeout, 0.5), sec, usec);
        modbus_set_byte_timeout(ctx_, sec, usec);
    }

    ~SerialTransport() override {
        close();
        modbus_free(ctx_);
    }

    void open() override {
        if (connected_) return;
        std::this_thread::sleep_until(next_open_);
        if (modbus_connect(ctx_) == -1) {
            int error = errno;
            next_open_ = Clock::now() + to_duration(reopen_delay_);
            reopen_delay_ = std::min(reopen_delay_ * 2, kLastReopenDelay);
            throw LineError("cannot open serial port '" + settings_.device + "': " + modbus_strerror(error),
                            FailureCause::Port);
        }
        connected_ = true;
        reopen_delay_ = kFirstReopenDelay;
        modbus_flush(ctx_);  // nothing left over from before
        flush_ = false;
    }

    void close() noexcept override {
        if (!connected_) return;
        modbus_close(ctx_);
        connected_ = false;
    }

    void check(const char *op, int station, const Element &first, size_t count, bool write) const override {
        if (station > 247)
            throw AddressError(std::string(op) + "() station " + std::to_string(station) +
                               " is not a Modbus slave address (1..247)");
        try {
            locate(settings_.element_map, first, count, write);
        } catch (const AddressError &e) {
            throw AddressError(std::string(op) + "() " + e.what());
        }
    }

    std::vector<uint16_t> read_words(const char *op, int station, const Element &first, size_t count) override {
        std::vector<uint16_t> words(count);
        for (size_t done = 0; done < count;) {
            size_t n = std::min(kReadWords, count - done);
            Element chunk = part_of(first, done);
            Span span = locate(settings_.element_map, chunk, n, false);
            uint16_t *into = words.data() + done;
            if (is_bit_table(span.table)) {
                std::vector<uint8_t> bits(span.count);
                run(op, station, chunk, n, span, [&] { return read_bits(span, bits.data()); });
                for (size_t i = 0; i < n; ++i) {
                    uint16_t word = 0;
                    for (int b = 0; b < 16; ++b)
                        if (bits[i * 16 + b]) word |= uint16_t(1u << b);
                    into[i] = word;
                }
            } else {
                run(op, station, chunk, n, span, [&] { return read_registers(span, into); });
            }
            done += n;
        }
        return words;
    }

    void write_words(const char *op, int station, const Element &first, const std::vector<uint16_t> &values) override {
        for (size_t done = 0; done < values.size();) {
            size_t n = std::min(kWriteWords, values.size() - done);
            Element chunk = part_of(first, done);
            Span span = locate(settings_.element_map, chunk, n, true);
            const uint16_t *from = values.data() + done;
            if (is_bit_table(span.table)) {
                std::vector<uint8_t> bits(span.count);
                for (size_t i = 0; i < span.count; ++i) bits[i] = (from[i / 16] >> (i % 16)) & 1u;
                run(op, station, chunk, n, span,
                    [&] { return modbus_write_bits(ctx_, int(span.first), int(span.count), bits.data()); });
            } else if (n == 1) {
                run(op, station, chunk, n, span, [&] { return modbus_write_register(ctx_, int(span.first), *from); });
            } else {
                run(op, station, chunk, n, span,
                    [&] { return modbus_write_registers(ctx_, int(span.first), int(span.count), from); });
            }
            done += n;
        }
    }

    bool read_bit(const char *op, int station, const Element &relay) override {
        Span span = locate(settings_.element_map, relay, 1, false);
        if (is_bit_table(span.table)) {
            uint8_t bit = 0;
            run(op, station, relay, 1, span, [&] { return read_bits(span, &bit); });
            return bit != 0;
        }
        uint16_t word = 0;  // the relay is one bit of a register
        run(op, station, relay, 1, span, [&] { return read_registers(span, &word); });
        return (word >> relay.bit) & 1u;
    }

    void write_bit(const char *op, int station, const Element &relay, bool value) override {
        Span span = locate(settings_.element_map, relay, 1, true);
        if (is_bit_table(span.table)) {
            run(op, station, relay, 1, span, [&] { return modbus_write_bit(ctx_, int(span.first), value ? 1 : 0); });
            return;
        }
        // One bit of a holding register, changed by the slave itself (mask
        // write) so the register's other bits are never written back stale.
        uint16_t mask = uint16_t(1u << relay.bit);
        run(op, station, relay, 1, span, [&] {
            return modbus_mask_write_register(ctx_, int(span.first), uint16_t(~mask), value ? mask : uint16_t(0));
        });
    }

    uint64_t retries() const override { return retries_; }

private:
    static Clock::duration to_duration(double seconds) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    // The word `offset` words after `first`, as an element of its own.
    static Element part_of(const Element &first, size_t offset) {
        Element part = first;
        part.word = uint32_t(first.word + offset);
        return part;
    }

    int read_bits(const Span &span, uint8_t *into) {
        return span.table == Table::Coils ? modbus_read_bits(ctx_, int(span.first), int(span.count), into)
                                          : modbus_read_input_bits(ctx_, int(span.first), int(span.count), into);
    }

    int read_registers(const Span &span, uint16_t *into) {
        return span.table == Table::HoldingRegisters
                   ? modbus_read_registers(ctx_, int(span.first), int(span.count), into)
                   : modbus_read_input_registers(ctx_, int(span.first), int(span.count), into);
    }

    // "get_multi_uint16() station 2, D0..D3 (holding registers 0..3): "
    static std::string where(const char *op, int station, const Element &first, size_t words, const Span &span) {
        return std::string(op) + "() station " + std::to_string(station) + ", " + elements_text(first, words) +
               " (" + span_text(span) + "): ";
    }

    // One Modbus transaction: `request` returns libmodbus's result (-1 with
    // errno on failure).
    template <class Request>
    void run(const char *op, int station, const Element &first, size_t words, const Span &span, Request request) {
        int tries = 0, error = 0;
        while (tries <= settings_.retries) {
            if (flush_) {
                modbus_flush(ctx_);  // a late or damaged answer must not be read as the next one
                flush_ = false;
            }
            modbus_set_slave(ctx_, station);
            if (tries > 0) ++retries_;
            ++tries;
            if (request() != -1) return;
            error = errno;
            switch (classify(error)) {
            case Failure::Exception:
                throw SlaveError(where(op, station, first, words, span) + "exception response " +
                                 (error == EMBUNKEXC ? std::string() : std::to_string(error - MODBUS_ENOBASE) + " ") +
                                 "(" + modbus_strerror(error) + ")");
            case Failure::Port:
                close();
                next_open_ = Clock::now() + to_duration(kFirstReopenDelay);
                throw PortError(where(op, station, first, words, span) + "serial port '" + settings_.device +
                                "' failed: " + modbus_strerror(error) + "; it is reopened on the next call");
            case Failure::Retry:
                flush_ = true;
                break;
            }
        }
        std::string cause = error == ETIMEDOUT ? "no answer within " + seconds_text(settings_.timeout)
                                               : std::string("damaged answer: ") + modbus_strerror(error);
        throw LineError(where(op, station, first, words, span) + cause + " (" + std::to_string(tries) +
                            (tries == 1 ? " try)" : " tries)"),
                        error == ETIMEDOUT ? FailureCause::Timeout
                        : error == EMBBADCRC ? FailureCause::Crc
                                             : FailureCause::Stray);
    }

    const SerialSettings settings_;
    modbus_t *ctx_ = nullptr;
    bool connected_ = false;
    bool flush_ = false;
    Clock::time_point next_open_{};
    double reopen_delay_ = kFirstReopenDelay;
    uint64_t retries_ = 0;
};

} // namespace

std::unique_ptr<Transport> make_serial_transport(const std::string &device, pybind11::handle baudrate,
                                                 pybind11::dict options) {
    return std::make_unique<SerialTransport>(serial_settings(device, baudrate, options));
}

bool serial_transport_built() { return true; }

} // namespace mew

#else  // built without libmodbus

namespace mew {

std::unique_ptr<Transport> make_serial_transport(const std::string &, pybind11::handle, pybind11::dict) {
    throw LinkError("serial transport not built (libmodbus missing)");
}

bool serial_transport_built() { return false; }

} // namespace mew

#endif
