// What a link needs from the thing that carries its transactions to a PLC.
// The link parses names, checks stations, values and address ranges, and
// holds the GIL-free mutex; a transport only moves words and bits. Every call
// is one transaction; `op` is the link operation it serves (counted by the
// simulated PLC, reported in error messages).
//
// Every wait of a transaction goes in slices with the transaction's
// Interruption checked between them (interruption.h), so a close() of the
// link, an interrupted thread or Ctrl-C ends it within a slice.
//
// Transports: "sim://NAME" (sim_transport.cpp), "tcp://HOST[:PORT]" and
// "rtu+tcp://HOST:PORT" (tcp_transport.cpp); any other port text without
// "://" is a serial device for the Modbus RTU transport (serial_transport.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/element_name.h"
#include "link/interruption.h"
#include "link/line_settings.h"
#include "link/link_error.h"

namespace mew {

class Transport {
public:
    virtual ~Transport() = default;

    // Called with the link's mutex held and without the GIL. open() may throw
    // LinkError (errors.h); close() never throws and may be followed by open()
    // again.
    virtual void open(const Interruption &interruption) = 0;
    virtual void close() noexcept = 0;

    // Called with the GIL held before a transaction: why this transport
    // cannot address `count` words from a word element, or one relay (the
    // message of an AddressError), so a refused call never reaches the PLC;
    // nothing when it can.
    virtual std::optional<std::string> check(const char *op, int station, const Element &first, size_t count,
                                             bool write) const {
        return std::nullopt;
    }

    // `first` is a relay word or data word; the block has been checked. A
    // failed transaction throws LinkError. A transport whose port failed
    // closes it and throws a Line LinkError whose cause is Port; the link then
    // reopens it on its next call.
    // Reads `count` words into `out`, which has room for them.
    virtual void read_words(const Interruption &interruption, const char *op, int station, const Element &first,
                            size_t count, uint16_t *out) = 0;
    virtual void write_words(const Interruption &interruption, const char *op, int station, const Element &first,
                             const std::vector<uint16_t> &values) = 0;
    // `relay` is a relay element (bit 0..15 of a relay word).
    virtual bool read_bit(const Interruption &interruption, const char *op, int station, const Element &relay) = 0;
    virtual void write_bit(const Interruption &interruption, const char *op, int station, const Element &relay,
                           bool value) = 0;

    // Tries made beyond the first of each request so far, for the link's
    // health counters; read with the link's mutex held.
    virtual uint64_t retries() const { return 0; }

    // True when a failed transaction made the transport close its port (a
    // network transport drops a connection that got no answer): the link
    // reopens it on its next call. Read with the link's mutex held.
    virtual bool lost() const { return false; }

    // True when a transaction of this open transport cannot wait (no line,
    // no latency, no lock held for long): the link then runs it with the GIL
    // held. Called with the link's mutex and the GIL held.
    virtual bool quick() const { return false; }

    // A warning the last open() left for the kvo_mew.link logger, handed
    // over once (empty for none); read with the link's mutex held.
    virtual std::string take_open_warning() { return {}; }
};

// What a port text names: a simulated PLC (`sim`, the NAME of sim://NAME)
// or, when `sim` is empty, a line whose kind, device, host and TCP port (and
// TLS files) are filled in; its other settings come from the link's keywords.
struct PortChoice {
    std::string sim;
    LineSettings line;
};

// Throws LinkError "no transport for port PORT_TEXT..." listing the kinds of
// port there are when `port` is none of them or malformed. `port_text` is the
// port as the caller gave it, for the message.
PortChoice choose_port(const std::string &port, const std::string &port_text);

std::unique_ptr<Transport> make_sim_transport(const std::string &name);
// The transport of a line: tcp://, rtu+tcp://, tls:// (tcp_transport.cpp) or
// a serial device (serial_transport.cpp). Throws LinkError when it cannot be
// set up, or for a serial device when kvo_mew was built without libmodbus.
std::unique_ptr<Transport> make_line_transport(LineSettings settings);
std::unique_ptr<Transport> make_tcp_transport(LineSettings settings);
std::unique_ptr<Transport> make_serial_transport(LineSettings settings);
// Whether this build has the serial transport.
bool serial_transport_built();

} // namespace mew
