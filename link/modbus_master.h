// The Modbus master's side shared by the transports that speak Modbus to a
// station (RTU on a serial line, Modbus TCP, RTU over TCP): element names
// become requests by the element map (modbus_map.h), long blocks are split
// into requests a slave takes, every request is tried up to 1 + retries
// times, and how it ended becomes the LinkError of its kind. A subclass
// carries one try of a request (exchange) and owns the port.
//
// A time-out, a damaged answer or a stray frame fails the try and the next
// try goes out (if the subclass can still send one); an exception response
// is final; a port failure closes the port (port_lost) and ends the
// transaction: the link reopens the port on its next call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/line_settings.h"
#include "link/rtu_frame.h"
#include "link/rtu_line.h"
#include "link/transport.h"

namespace mew {

class ModbusMaster : public Transport {
public:
    // `last_station`: the highest station number the port can address.
    ModbusMaster(LineSettings settings, int last_station)
        : settings_(std::move(settings)), last_station_(last_station) {}

    std::optional<std::string> check(const char *op, int station, const Element &first, size_t count,
                                     bool write) const override;
    void read_words(const Interruption &interruption, const char *op, int station, const Element &first,
                    size_t count, uint16_t *words) override;
    void write_words(const Interruption &interruption, const char *op, int station, const Element &first,
                     const std::vector<uint16_t> &values) override;
    bool read_bit(const Interruption &interruption, const char *op, int station, const Element &relay) override;
    void write_bit(const Interruption &interruption, const char *op, int station, const Element &relay,
                   bool value) override;
    uint64_t retries() const override { return retries_; }

protected:
    // One try of `request` on the open port. A port failure throws a Line
    // LinkError of cause Port.
    virtual rtu::Outcome exchange(const rtu::Request &request, const Interruption &interruption) = 0;
    // The port failed in a try (`why`): the subclass closes it and says so
    // for the message ("serial port '/dev/ttyUSB0' failed: ...; it is
    // reopened on the next call").
    virtual std::string port_lost(const std::string &why) = 0;
    // Whether a failed try may be followed by another on this port.
    virtual bool can_try_again() const { return true; }
    // A transaction has ended: good, or failed the way `kind` says.
    virtual void transaction_ended(bool /*good*/, rtu::Outcome::Kind /*kind*/) {}

    const LineSettings settings_;

private:
    Span located(const Element &first, size_t words, bool write) const;
    // One Modbus transaction, tried up to 1 + retries times: the answer frame.
    std::vector<uint8_t> run(const Interruption &interruption, const char *op, int station, const Element &first,
                             size_t words, const Span &span, const rtu::Request &request);

    const int last_station_;
    uint64_t retries_ = 0;
};

} // namespace mew
