// The settings of a serial (Modbus RTU) link, read from the VedUzavur
// constructor's baudrate and keyword arguments. Wrong types raise TypeError,
// values out of range ValueError, unknown keywords TypeError, all at
// construction, before the port is touched: the settings are then empty,
// with the exception set.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "platform/kvo_mew/modbus_map.h"

namespace mew {

namespace py = pybind11;

struct SerialSettings {
    std::string device;     // "/dev/ttyUSB0", "COM3"
    int baudrate = 9600;
    char parity = 'N';      // 'N', 'E' or 'O'
    int bytesize = 8;       // data bits, 5..8
    int stopbits = 1;       // 1 or 2
    double timeout = 0.5;   // seconds to wait for an answer
    int retries = 1;        // further tries of a transaction after a time-out or a damaged answer
    double drain = -1;      // seconds of silence that end the drain after a failed try; < 0: the time-out
    ElementMap element_map = ElementMap::defaults();
};

std::optional<SerialSettings> serial_settings(const std::string &device, py::handle baudrate, py::dict options);

// An element map as Python sees it: {"X": ("discrete_inputs", 0), ...}, an
// area left out of the map as None.
py::dict element_map_dict(const ElementMap &map);

} // namespace mew
