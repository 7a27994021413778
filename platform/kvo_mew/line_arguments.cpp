#include "platform/kvo_mew/line_arguments.h"

#include <cmath>

#include "platform/kvo_mew/arguments.h"
#include "platform/kvo_mew/errors.h"

namespace mew {
namespace {

// The rates the termios layer under libmodbus knows; any other would silently
// fall back to 9600 baud.
const int kBaudRates[] = {110,    300,    600,    1200,   2400,   4800,    9600,    19200,   38400,
                          57600,  115200, 230400, 460800, 500000, 576000,  921600,  1000000, 1152000,
                          1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

const char *const kAreaKeys[] = {"X", "Y", "R", "D"};  // in the order of Area

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

ErrorSet type_error(const std::string &what, const char *wanted, py::handle value) {
    return kvo::rt::fail(PyExc_TypeError, "VedUzavur() " + what + " must be " + wanted + ", not " + type_name(value));
}

ErrorSet value_error(const std::string &what, py::handle value, const std::string &allowed) {
    std::optional<std::string> text = repr_of(value);
    if (!text) return {};
    return kvo::rt::fail(PyExc_ValueError, "VedUzavur() " + what + " " + *text + " is not " + allowed);
}

std::optional<long long> integer(const std::string &what, py::handle value, long long lo, long long hi,
                                 const std::string &allowed) {
    if (PyBool_Check(value.ptr()) || !PyLong_Check(value.ptr())) return type_error(what, "an int", value);
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow != 0 || result < lo || result > hi) return value_error(what, value, allowed);
    return result;
}

std::optional<int> baudrate_of(py::handle value) {
    const char *allowed = "a standard baud rate (9600, 19200, 115200, ...)";
    std::optional<long long> rate = integer("baudrate", value, 1, 4000000, allowed);
    if (!rate) return std::nullopt;
    for (int known : kBaudRates)
        if (*rate == known) return known;
    return value_error("baudrate", value, allowed);
}

std::optional<char> parity_of(py::handle value) {
    if (!PyUnicode_Check(value.ptr())) return type_error("parity", "a str", value);
    std::optional<std::string> text = utf8_of(value);
    if (!text) return std::nullopt;
    if (*text != "N" && *text != "E" && *text != "O") return value_error("parity", value, "\"N\", \"E\" or \"O\"");
    return (*text)[0];
}

std::optional<double> seconds_of(const std::string &key, py::handle value, bool zero_allowed, const char *meaning) {
    if (PyBool_Check(value.ptr()) || !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())))
        return type_error(key, "a number of seconds", value);
    double seconds = PyFloat_AsDouble(value.ptr());
    if (PyErr_Occurred()) return std::nullopt;
    if (!std::isfinite(seconds) || seconds < 0 || (seconds == 0 && !zero_allowed) || seconds > 3600)
        return value_error(key, value, meaning);
    return seconds;
}

std::optional<AreaMapping> area_mapping_of(const std::string &key, py::handle value) {
    std::string what = "element_map[" + key + "]";
    if (value.is_none()) return AreaMapping{};
    if (!PyTuple_Check(value.ptr()) && !PyList_Check(value.ptr()))
        return type_error(what, "a (table, base) pair or None", value);
    // A copy, so a list changed meanwhile cannot shift under us.
    py::object pair = py::reinterpret_steal<py::object>(PySequence_Tuple(value.ptr()));
    if (!pair) return std::nullopt;
    if (PyTuple_GET_SIZE(pair.ptr()) != 2) return value_error(what, value, "a (table, base) pair");
    py::handle table_name = PyTuple_GET_ITEM(pair.ptr(), 0);
    if (!PyUnicode_Check(table_name.ptr())) return type_error(what + " table", "a str", table_name);
    std::optional<std::string> table_text = utf8_of(table_name);
    if (!table_text) return std::nullopt;
    Table table;
    if (!parse_table(*table_text, table))
        return value_error(what + " table", table_name,
                           "one of \"coils\", \"discrete_inputs\", \"holding_registers\", \"input_registers\"");
    std::optional<long long> base =
        integer(what + " base", PyTuple_GET_ITEM(pair.ptr(), 1), 0, kModbusAddresses - 1, "an address 0..65535");
    if (!base) return std::nullopt;
    return AreaMapping{true, table, uint32_t(*base)};
}

std::optional<ElementMap> element_map_of(py::handle value) {
    if (!PyDict_Check(value.ptr())) return type_error("element_map", "a dict", value);
    ElementMap map = ElementMap::defaults();
    PyObject *key_object, *mapping;
    Py_ssize_t at = 0;
    while (PyDict_Next(value.ptr(), &at, &key_object, &mapping)) {
        if (!PyUnicode_Check(key_object)) return type_error("element_map key", "a str", key_object);
        std::optional<std::string> key = utf8_of(key_object);
        if (!key) return std::nullopt;
        int area = -1;
        for (int i = 0; i < 4; ++i)
            if (*key == kAreaKeys[i]) area = i;
        if (area < 0) return value_error("element_map key", key_object, "one of \"X\", \"Y\", \"R\", \"D\"");
        std::optional<AreaMapping> area_mapping = area_mapping_of(*key, mapping);
        if (!area_mapping) return std::nullopt;
        map.areas[area] = *area_mapping;
    }
    return map;
}

// Reads a value into `field`; false with the exception set.
template <class Field, class Value>
bool store(Field &field, const std::optional<Value> &value) {
    if (value) field = Field(*value);
    return bool(value);
}

bool is_serial_key(const std::string &key) {
    return key == "parity" || key == "bytesize" || key == "stopbits" || key == "drain";
}

// Reads one keyword into `settings`; false with the exception set.
bool read_option(LineSettings &settings, const std::string &key, py::handle value) {
    bool mbap = settings.kind == PortKind::Tcp || settings.kind == PortKind::Tls;
    if (mbap && is_serial_key(key)) {
        kvo::rt::fail(PyExc_TypeError, "VedUzavur() got an unexpected keyword argument '" + key + "' (a " +
                                           (settings.kind == PortKind::Tcp ? "tcp" : "tls") +
                                           ":// port has no serial line)");
        return false;
    }
    if (settings.kind != PortKind::Serial && key == "connect_timeout")
        return store(settings.connect_timeout,
                     seconds_of(key, value, false, "a connect time-out in seconds (0 < connect_timeout <= 3600)"));
    if (key == "parity") return store(settings.parity, parity_of(value));
    if (key == "bytesize") return store(settings.bytesize, integer(key, value, 5, 8, "a number of data bits 5..8"));
    if (key == "stopbits") return store(settings.stopbits, integer(key, value, 1, 2, "1 or 2"));
    if (key == "timeout")
        return store(settings.timeout, seconds_of(key, value, false, "a time-out in seconds (0 < timeout <= 3600)"));
    if (key == "drain")
        return store(settings.drain, seconds_of(key, value, true, "a drain period in seconds (0 <= drain <= 3600)"));
    if (key == "retries") return store(settings.retries, integer(key, value, 0, 100, "a number of retries 0..100"));
    if (key == "element_map") return store(settings.element_map, element_map_of(value));
    kvo::rt::fail(PyExc_TypeError, "VedUzavur() got an unexpected keyword argument '" + key + "'");
    return false;
}

} // namespace

std::optional<LineSettings> line_settings(LineSettings settings, py::handle baudrate, py::dict options) {
    if (settings.kind == PortKind::Serial || settings.kind == PortKind::RtuOverTcp) {
        std::optional<int> rate = baudrate_of(baudrate);
        if (!rate) return std::nullopt;
        settings.baudrate = *rate;
    }
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(options.ptr(), &at, &key, &value)) {
        std::optional<std::string> text = utf8_of(key);  // keyword names are str
        if (!text || !read_option(settings, *text, value)) return std::nullopt;
    }
    return settings;
}

std::unique_ptr<Transport> make_transport(const std::string &port, const std::string &port_text,
                                          py::handle baudrate, py::dict options) {
    try {
        PortChoice choice = choose_port(port, port_text);
        if (!choice.sim.empty()) return make_sim_transport(choice.sim);
        std::optional<LineSettings> settings = line_settings(std::move(choice.line), baudrate, options);
        if (!settings) return nullptr;
        return make_line_transport(std::move(*settings));
    } catch (const LinkError &failure) {
        return set_error(failure.kind(), failure.what());
    }
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
