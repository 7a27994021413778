#include "link/modbus_master.h"

#include <algorithm>
#include <cstdio>

namespace mew {
namespace {

constexpr size_t kReadWords = 125;   // 125 registers or 2000 bits per request
constexpr size_t kWriteWords = 123;  // 123 registers or 1968 bits per request

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

// The word `offset` words after `first`, as an element of its own.
Element part_of(const Element &first, size_t offset) {
    Element part = first;
    part.word = uint32_t(first.word + offset);
    return part;
}

// "get_multi_uint16() station 2, D0..D3 (holding registers 0..3): "
std::string where(const char *op, int station, const Element &first, size_t words, const Span &span) {
    return std::string(op) + "() station " + std::to_string(station) + ", " + elements_text(first, words) + " (" +
           span_text(span) + "): ";
}

} // namespace

std::optional<std::string> ModbusMaster::check(const char *op, int station, const Element &first, size_t count,
                                               bool write) const {
    if (station > last_station_)
        return std::string(op) + "() station " + std::to_string(station) + " is not a Modbus " +
               (last_station_ == 247 ? "slave address (1..247)" : "unit identifier (1..255)");
    Span span;
    if (auto error = locate(settings_.element_map, first, count, write, span)) return std::string(op) + "() " + *error;
    return std::nullopt;
}

void ModbusMaster::read_words(const Interruption &interruption, const char *op, int station, const Element &first,
                              size_t count, uint16_t *words) {
    for (size_t done = 0; done < count;) {
        size_t n = std::min(kReadWords, count - done);
        Element chunk = part_of(first, done);
        Span span = located(chunk, n, false);
        rtu::Request request =
            rtu::Request::read(uint8_t(station), read_function(span.table), uint16_t(span.first), uint16_t(span.count));
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

void ModbusMaster::write_words(const Interruption &interruption, const char *op, int station, const Element &first,
                               const std::vector<uint16_t> &values) {
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

bool ModbusMaster::read_bit(const Interruption &interruption, const char *op, int station, const Element &relay) {
    Span span = located(relay, 1, false);
    rtu::Request request =
        rtu::Request::read(uint8_t(station), read_function(span.table), uint16_t(span.first), uint16_t(span.count));
    std::vector<uint8_t> answer = run(interruption, op, station, relay, 1, span, request);
    if (is_bit_table(span.table)) return rtu::bit_of(answer.data(), 0);
    // The relay is one bit of a register.
    return (rtu::registers_of(answer.data(), 1)[0] >> relay.bit) & 1u;
}

void ModbusMaster::write_bit(const Interruption &interruption, const char *op, int station, const Element &relay,
                             bool value) {
    Span span = located(relay, 1, true);
    uint8_t slave = uint8_t(station);
    if (is_bit_table(span.table)) {
        run(interruption, op, station, relay, 1, span, rtu::Request::write_coil(slave, uint16_t(span.first), value));
        return;
    }
    // One bit of a holding register, changed by the slave itself (mask
    // write) so the register's other bits are never written back stale.
    uint16_t mask = uint16_t(1u << relay.bit);
    run(interruption, op, station, relay, 1, span,
        rtu::Request::mask_write(slave, uint16_t(span.first), uint16_t(~mask), value ? mask : uint16_t(0)));
}

// The span of a block check() let through.
Span ModbusMaster::located(const Element &first, size_t words, bool write) const {
    Span span;
    if (auto error = locate(settings_.element_map, first, words, write, span))
        throw LinkError(*error, ErrorKind::Address);
    return span;
}

std::vector<uint8_t> ModbusMaster::run(const Interruption &interruption, const char *op, int station,
                                       const Element &first, size_t words, const Span &span,
                                       const rtu::Request &request) {
    rtu::Outcome outcome;
    int tries = 0;
    while (tries <= settings_.retries && (tries == 0 || can_try_again())) {
        if (tries > 0) ++retries_;
        ++tries;
        try {
            outcome = exchange(request, interruption);
        } catch (const LinkError &failure) {
            if (failure.cause() != FailureCause::Port) throw;  // the Interruption's
            std::string lost = port_lost(failure.what());
            throw LinkError(where(op, station, first, words, span) + lost, ErrorKind::Line, FailureCause::Port);
        }
        if (outcome.kind == rtu::Outcome::Answer) {
            transaction_ended(true, outcome.kind);
            return std::move(outcome.frame);
        }
        if (outcome.kind == rtu::Outcome::Exception) {
            // The station answered: the port is fine.
            transaction_ended(true, outcome.kind);
            throw LinkError(where(op, station, first, words, span) + "exception response " +
                                std::to_string(outcome.code) + " (" + rtu::exception_text(outcome.code) + ")",
                            ErrorKind::Slave, FailureCause::Exception);
        }
    }
    transaction_ended(false, outcome.kind);
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

} // namespace mew
