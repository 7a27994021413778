// Chooses the transport of a port.
#include "platform/kvo_mew/errors.h"
#include "platform/kvo_mew/tcp_socket.h"
#include "platform/kvo_mew/transport.h"

namespace mew {
namespace {

const std::string kSimScheme = "sim://";
const std::string kTcpScheme = "tcp://";
const std::string kRtuTcpScheme = "rtu+tcp://";
const char *const kKinds =
    "; a port is sim://NAME, tcp://HOST[:PORT], rtu+tcp://HOST:PORT or a serial device (/dev/ttyUSB0, COM3)";

bool starts_with(const std::string &text, const std::string &head) { return text.compare(0, head.size(), head) == 0; }

} // namespace

std::unique_ptr<Transport> make_transport(const std::string &port, const std::string &port_text,
                                          pybind11::handle baudrate, pybind11::dict options) {
    if (starts_with(port, kSimScheme)) {
        std::string name = port.substr(kSimScheme.size());
        if (name.empty())
            return set_error(ErrorKind::Link, "no transport for port " + port_text + ": a sim:// port needs a PLC name");
        return make_sim_transport(name);
    }
    bool tcp = starts_with(port, kTcpScheme), rtu_tcp = starts_with(port, kRtuTcpScheme);
    if (tcp || rtu_tcp) {
        LineSettings given;
        given.kind = tcp ? PortKind::Tcp : PortKind::RtuOverTcp;
        given.device = port;
        std::string where = port.substr((tcp ? kTcpScheme : kRtuTcpScheme).size());
        if (auto error = parse_endpoint(where, rtu_tcp, false, given.host, given.tcp_port))
            return set_error(ErrorKind::Link, "no transport for port " + port_text + ": " + *error + kKinds);
        return make_tcp_transport(std::move(given), baudrate, options);
    }
    // Any other scheme is unknown; everything else names a serial device.
    if (port.empty() || port.find("://") != std::string::npos)
        return set_error(ErrorKind::Link, "no transport for port " + port_text + kKinds);
    return make_serial_transport(port, baudrate, options);
}

} // namespace mew
