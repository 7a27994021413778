// Chooses the transport of a port.
#include "platform/kvo_mew/errors.h"
#include "platform/kvo_mew/transport.h"

namespace mew {
namespace {

const std::string kSimScheme = "sim://";

} // namespace

std::unique_ptr<Transport> make_transport(const std::string &port, const std::string &port_text,
                                          pybind11::handle baudrate, pybind11::dict options) {
    if (port.compare(0, kSimScheme.size(), kSimScheme) == 0) {
        std::string name = port.substr(kSimScheme.size());
        if (name.empty())
            return set_error(ErrorKind::Link, "no transport for port " + port_text + ": a sim:// port needs a PLC name");
        return make_sim_transport(name);
    }
    // Any other scheme is unknown; everything else names a serial device.
    if (port.empty() || port.find("://") != std::string::npos)
        return set_error(ErrorKind::Link, "no transport for port " + port_text);
    return make_serial_transport(port, baudrate, options);
}

} // namespace mew
