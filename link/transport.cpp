// Chooses the transport of a port.
#include "link/link_error.h"
#include "link/tcp_socket.h"
#include "link/transport.h"

namespace mew {
namespace {

const std::string kSimScheme = "sim://";
const std::string kTcpScheme = "tcp://";
const std::string kRtuTcpScheme = "rtu+tcp://";
const std::string kTlsScheme = "tls://";
const char *const kKinds = "; a port is sim://NAME, tcp://HOST[:PORT], rtu+tcp://HOST:PORT, "
                           "tls://HOST[:PORT]?ca=CA.pem&cert=CLIENT.pem&key=CLIENT.key or a serial device "
                           "(/dev/ttyUSB0, COM3)";

bool starts_with(const std::string &text, const std::string &head) { return text.compare(0, head.size(), head) == 0; }

// The query of a tls:// port (ca=...&cert=...&key=..., each once) into
// `settings`; why not.
std::optional<std::string> parse_tls_query(const std::string &query, LineSettings &settings) {
    size_t at = 0;
    while (at <= query.size() && !query.empty()) {
        size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        std::string pair = query.substr(at, end - at);
        size_t equals = pair.find('=');
        std::string key = pair.substr(0, equals), value = equals == std::string::npos ? "" : pair.substr(equals + 1);
        std::string *field = key == "ca" ? &settings.ca : key == "cert" ? &settings.cert : key == "key" ? &settings.key : nullptr;
        if (!field) return "unknown query key '" + key + "' (ca, cert, key)";
        if (value.empty()) return key + "= needs a file";
        if (!field->empty()) return key + "= given twice";
        *field = value;
        at = end + 1;
    }
    if (settings.ca.empty() || settings.cert.empty() || settings.key.empty())
        return std::string("a tls:// port needs ?ca=CA.pem&cert=CLIENT.pem&key=CLIENT.key");
    return std::nullopt;
}

} // namespace

PortChoice choose_port(const std::string &port, const std::string &port_text) {
    PortChoice choice;
    if (starts_with(port, kSimScheme)) {
        choice.sim = port.substr(kSimScheme.size());
        if (choice.sim.empty())
            throw LinkError("no transport for port " + port_text + ": a sim:// port needs a PLC name");
        return choice;
    }
    LineSettings &given = choice.line;
    given.device = port;
    bool tcp = starts_with(port, kTcpScheme), rtu_tcp = starts_with(port, kRtuTcpScheme),
         tls = starts_with(port, kTlsScheme);
    if (tcp || rtu_tcp || tls) {
        given.kind = tcp ? PortKind::Tcp : rtu_tcp ? PortKind::RtuOverTcp : PortKind::Tls;
        std::string where = port.substr((tcp ? kTcpScheme : rtu_tcp ? kRtuTcpScheme : kTlsScheme).size());
        std::optional<std::string> error;
        if (tls) {
            given.tcp_port = 802;
            size_t query = where.find('?');
            error = parse_tls_query(query == std::string::npos ? "" : where.substr(query + 1), given);
            if (query != std::string::npos) {
                given.device = port.substr(0, kTlsScheme.size() + query);  // messages leave the files out
                where.erase(query);
            }
        }
        if (!error) error = parse_endpoint(where, rtu_tcp, false, given.host, given.tcp_port);
        if (error) throw LinkError("no transport for port " + port_text + ": " + *error + kKinds);
        return choice;
    }
    // Any other scheme is unknown; everything else names a serial device.
    if (port.empty() || port.find("://") != std::string::npos)
        throw LinkError("no transport for port " + port_text + kKinds);
    return choice;
}

std::unique_ptr<Transport> make_line_transport(LineSettings settings) {
    if (settings.kind == PortKind::Serial) return make_serial_transport(std::move(settings));
    return make_tcp_transport(std::move(settings));
}

} // namespace mew
