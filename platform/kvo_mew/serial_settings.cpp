#include "platform/kvo_mew/serial_settings.h"

#include <cmath>

namespace mew {
namespace {

// The rates the termios layer under libmodbus knows; any other would silently
// fall back to 9600 baud.
const int kBaudRates[] = {110,    300,    600,    1200,   2400,   4800,    9600,    19200,   38400,
                          57600,  115200, 230400, 460800, 500000, 576000,  921600,  1000000, 1152000,
                          1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

const char *const kAreaKeys[] = {"X", "Y", "R", "D"};  // in the order of Area

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

std::string text_of(py::handle value) { return py::repr(value).cast<std::string>(); }

[[noreturn]] void type_error(const std::string &what, const char *wanted, py::handle value) {
    throw py::type_error("VedUzavur() " + what + " must be " + wanted + ", not " + type_name(value));
}

[[noreturn]] void value_error(const std::string &what, py::handle value, const std::string &allowed) {
    throw py::value_error("VedUzavur() " + what + " " + text_of(value) + " is not " + allowed);
}

long long integer(const std::string &what, py::handle value, long long lo, long long hi, const std::string &allowed) {
    if (PyBool_Check(value.ptr()) || !PyLong_Check(value.ptr())) type_error(what, "an int", value);
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || result < lo || result > hi) value_error(what, value, allowed);
    return result;
}

int baudrate_of(py::handle value) {
    long long rate = integer("baudrate", value, 1, 4000000, "a standard baud rate (9600, 19200, 115200, ...)");
    for (int known : kBaudRates)
        if (rate == known) return known;
    value_error("baudrate", value, "a standard baud rate (9600, 19200, 115200, ...)");
}

char parity_of(py::handle value) {
    if (!PyUnicode_Check(value.ptr())) type_error("parity", "a str", value);
    std::string text = value.cast<std::string>();
    if (text != "N" && text != "E" && text != "O") value_error("parity", value, "\"N\", \"E\" or \"O\"");
    return text[0];
}

double seconds_of(const std::string &key, py::handle value, bool zero_allowed, const char *meaning) {
    if (PyBool_Check(value.ptr()) || !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())))
        type_error(key, "a number of seconds", value);
    double seconds = PyFloat_AsDouble(value.ptr());
    if (PyErr_Occurred()) throw py::error_already_set();
    if (!std::isfinite(seconds) || seconds < 0 || (seconds == 0 && !zero_allowed) || seconds > 3600)
        value_error(key, value, meaning);
    return seconds;
}

AreaMapping area_mapping_of(const std::string &key, py::handle value) {
    std::string what = "element_map[" + key + "]";
    if (value.is_none()) return AreaMapping{};
    if (!PyTuple_Check(value.ptr()) && !PyList_Check(value.ptr()))
        type_error(what, "a (table, base) pair or None", value);
    py::sequence pair = py::reinterpret_borrow<py::sequence>(value);
    if (pair.size() != 2) value_error(what, value, "a (table, base) pair");
    py::object table_name = pair[0];
    if (!PyUnicode_Check(table_name.ptr())) type_error(what + " table", "a str", table_name);
    Table table;
    if (!parse_table(table_name.cast<std::string>(), table))
        value_error(what + " table", table_name,
                    "one of \"coils\", \"discrete_inputs\", \"holding_registers\", \"input_registers\"");
    uint32_t base = uint32_t(integer(what + " base", pair[1], 0, kModbusAddresses - 1, "an address 0..65535"));
    return AreaMapping{true, table, base};
}

ElementMap element_map_of(py::handle value) {
    if (!PyDict_Check(value.ptr())) type_error("element_map", "a dict", value);
    ElementMap map = ElementMap::defaults();
    for (auto item : py::reinterpret_borrow<py::dict>(value)) {
        if (!PyUnicode_Check(item.first.ptr())) type_error("element_map key", "a str", item.first);
        std::string key = item.first.cast<std::string>();
        int area = -1;
        for (int i = 0; i < 4; ++i)
            if (key == kAreaKeys[i]) area = i;
        if (area < 0) value_error("element_map key", item.first, "one of \"X\", \"Y\", \"R\", \"D\"");
        map.areas[area] = area_mapping_of(key, item.second);
    }
    return map;
}

} // namespace

SerialSettings serial_settings(const std::string &device, py::handle baudrate, py::dict options) {
    SerialSettings settings;
    settings.device = device;
    settings.baudrate = baudrate_of(baudrate);
    for (auto item : options) {
        std::string key = item.first.cast<std::string>();
        py::handle value = item.second;
        if (key == "parity")
            settings.parity = parity_of(value);
        else if (key == "bytesize")
            settings.bytesize = int(integer(key, value, 5, 8, "a number of data bits 5..8"));
        else if (key == "stopbits")
            settings.stopbits = int(integer(key, value, 1, 2, "1 or 2"));
        else if (key == "timeout")
            settings.timeout = seconds_of(key, value, false, "a time-out in seconds (0 < timeout <= 3600)");
        else if (key == "drain")
            settings.drain = seconds_of(key, value, true, "a drain period in seconds (0 <= drain <= 3600)");
        else if (key == "retries")
            settings.retries = int(integer(key, value, 0, 100, "a number of retries 0..100"));
        else if (key == "element_map")
            settings.element_map = element_map_of(value);
        else
            throw py::type_error("VedUzavur() got an unexpected keyword argument '" + key + "'");
    }
    return settings;
}

py::dict element_map_dict(const ElementMap &map) {
    py::dict result;
    for (int i = 0; i < 4; ++i) {
        const AreaMapping &area = map.areas[i];
        if (area.mapped)
            result[kAreaKeys[i]] = py::make_tuple(table_key(area.table), area.base);
        else
            result[kAreaKeys[i]] = py::none();
    }
    return result;
}

} // namespace mew
