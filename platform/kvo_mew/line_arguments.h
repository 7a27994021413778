// A link's port and settings from the VedUzavur constructor's arguments.
// Wrong types raise TypeError, values out of range ValueError, unknown
// keywords (and the serial ones on a tcp:// port) TypeError, all at
// construction, before the port is touched: the result is then empty, with
// the exception set.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>

#include "link/line_settings.h"
#include "link/transport.h"

namespace mew {

namespace py = pybind11;

// The transport for a port text; null, with LinkError "no transport for port
// ..." or the settings' TypeError or ValueError set (GIL held). `port_text`
// is the port as the caller gave it, for the message; `baudrate` and
// `options` are the constructor's, read by line transports only.
std::unique_ptr<Transport> make_transport(const std::string &port, const std::string &port_text,
                                          py::handle baudrate, py::dict options);

// `settings` comes with kind, device and (TCP) host and port filled in; the
// baudrate and the keywords are read into it. A Modbus TCP port ignores the
// baudrate (machines always pass one).
std::optional<LineSettings> line_settings(LineSettings settings, py::handle baudrate, py::dict options);

// An element map as Python sees it: {"X": ("discrete_inputs", 0), ...}, an
// area left out of the map as None.
py::dict element_map_dict(const ElementMap &map);

} // namespace mew
