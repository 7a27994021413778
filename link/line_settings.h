// The settings of a Modbus link (a serial line, Modbus TCP, RTU over TCP),
// read from the VedUzavur constructor's baudrate and keyword arguments.
// Wrong types raise TypeError, values out of range ValueError, unknown
// keywords (and the serial ones on a tcp:// port) TypeError, all at
// construction, before the port is touched: the settings are then empty,
// with the exception set.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "platform/kvo_mew/modbus_map.h"

namespace mew {

namespace py = pybind11;

enum class PortKind {
    Serial,      // "/dev/ttyUSB0": Modbus RTU on a serial line
    Tcp,         // "tcp://HOST[:PORT]": Modbus TCP (MBAP)
    RtuOverTcp,  // "rtu+tcp://HOST:PORT": RTU frames through a serial device server
    Tls,         // "tls://HOST[:PORT]?ca=...&cert=...&key=...": Modbus TCP in TLS (Modbus/TCP Security)
};

struct LineSettings {
    PortKind kind = PortKind::Serial;
    std::string device;     // the port: "/dev/ttyUSB0", "COM3", "tcp://plc:502"
    std::string host;       // of a TCP port: a name, an IPv4 address or an IPv6 one without brackets
    int tcp_port = 502;
    double connect_timeout = 3.0;  // seconds a TCP connect (and a TLS handshake) may take
    std::string ca, cert, key;     // tls://: the PEM files of the query
    int baudrate = 9600;    // of the (remote) serial line
    char parity = 'N';      // 'N', 'E' or 'O'
    int bytesize = 8;       // data bits, 5..8
    int stopbits = 1;       // 1 or 2
    double timeout = 0.5;   // seconds to wait for an answer
    int retries = 1;        // further tries of a transaction after a time-out or a damaged answer
    double drain = -1;      // seconds of silence that end the drain after a failed try; < 0: the time-out
    ElementMap element_map = ElementMap::defaults();
};

// `settings` comes with kind, device and (TCP) host and port filled in; the
// baudrate and the keywords are read into it. A Modbus TCP port ignores the
// baudrate (machines always pass one).
std::optional<LineSettings> line_settings(LineSettings settings, py::handle baudrate, py::dict options);

// An element map as Python sees it: {"X": ("discrete_inputs", 0), ...}, an
// area left out of the map as None.
py::dict element_map_dict(const ElementMap &map);

} // namespace mew
