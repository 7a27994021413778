// The settings of a Modbus link (a serial line, Modbus TCP, RTU over TCP),
// which the bindings read from the VedUzavur constructor's baudrate and
// keyword arguments (platform/kvo_mew/line_arguments.h).
#pragma once

#include <optional>
#include <string>

#include "link/modbus_map.h"

namespace mew {

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

} // namespace mew
