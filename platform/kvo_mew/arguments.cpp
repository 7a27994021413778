#include "platform/kvo_mew/arguments.h"

#include <string>

#include "platform/kvo_mew/errors.h"

namespace mew {

std::optional<std::string> utf8_of(py::handle text) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) return std::nullopt;
    return std::string(utf8, size_t(size));
}

std::optional<std::string> repr_of(py::handle value) {
    py::object text = py::reinterpret_steal<py::object>(PyObject_Repr(value.ptr()));
    if (!text) return std::nullopt;
    return utf8_of(text);
}

std::optional<std::string> str_of(py::handle value) {
    py::object text = py::reinterpret_steal<py::object>(PyObject_Str(value.ptr()));
    if (!text) return std::nullopt;
    return utf8_of(text);
}

namespace {

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

ErrorSet type_error(const char *op, const std::string &what, const char *wanted, py::handle value) {
    return kvo::rt::fail(PyExc_TypeError, std::string(op) + "() " + what + " must be " + wanted + ", not " + type_name(value));
}

// An int-like value (int, bool, anything with __index__) within lo..hi; out
// of range raises `range_error` (ValueError, AddressError for a station).
std::optional<long long> integer_arg(const char *op, py::handle value, const std::string &what, long long lo,
                                     long long hi, PyObject *range_error = PyExc_ValueError) {
    if (!PyIndex_Check(value.ptr())) return type_error(op, what, "an int", value);
    py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) return std::nullopt;
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow != 0 || result < lo || result > hi) {
        std::optional<std::string> text = repr_of(value);
        if (!text) return std::nullopt;
        return kvo::rt::fail(range_error, std::string(op) + "() " + what + " " + *text + " is out of range " +
                                                std::to_string(lo) + ".." + std::to_string(hi));
    }
    return result;
}

// A copy of the items of a list or tuple, so a list changed by another
// thread while we convert cannot shift under the loop.
template <class Convert>
std::optional<std::vector<uint16_t>> words_of(const char *op, py::handle values, Convert convert) {
    if (!PyList_Check(values.ptr()) && !PyTuple_Check(values.ptr()))
        return type_error(op, "values", "a list or tuple", values);
    py::object items = py::reinterpret_steal<py::object>(PySequence_Tuple(values.ptr()));
    if (!items) return std::nullopt;
    Py_ssize_t size = PyTuple_GET_SIZE(items.ptr());
    std::vector<uint16_t> words;
    words.reserve(size_t(size) * 2);
    for (Py_ssize_t i = 0; i < size; ++i)
        if (!convert(words, PyTuple_GET_ITEM(items.ptr(), i), "values[" + std::to_string(i) + "]")) return std::nullopt;
    return words;
}

void push_double_word(std::vector<uint16_t> &words, uint32_t value) {
    words.push_back(uint16_t(value & 0xFFFFu));  // low word first
    words.push_back(uint16_t(value >> 16));
}

std::optional<Element> kind_arg(const char *op, py::handle name, bool relay, bool relay_word, bool data_word,
                                const char *wanted) {
    std::optional<Element> element = element_arg(op, name);
    if (!element) return std::nullopt;
    bool fits = (element->kind == ElementKind::Relay && relay) ||
                (element->kind == ElementKind::RelayWord && relay_word) ||
                (element->kind == ElementKind::DataWord && data_word);
    if (fits) return element;
    std::optional<std::string> text = str_of(name);
    if (!text) return std::nullopt;
    return set_error(ErrorKind::Address, std::string(op) + "() needs " + wanted + ", not " + *text);
}

} // namespace

std::optional<int> station_arg(const char *op, py::handle station) {
    if (PyLong_CheckExact(station.ptr())) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(station.ptr(), &overflow);
        if (!overflow && value >= kFirstStation && value <= kLastStation) return int(value);
        PyErr_Clear();
    }
    std::optional<long long> value =
        integer_arg(op, station, "station", kFirstStation, kLastStation, error_type(ErrorKind::Address));
    if (!value) return std::nullopt;
    return int(*value);
}

std::optional<size_t> count_arg(const char *op, py::handle count, const char *what) {
    // The upper bound only keeps the arithmetic safe; the block check refuses
    // anything larger than an area anyway.
    std::optional<long long> value = integer_arg(op, count, what, 0, 1LL << 40);
    if (!value) return std::nullopt;
    return size_t(*value);
}

std::optional<Element> element_arg(const char *op, py::handle name) {
    if (!PyUnicode_Check(name.ptr())) return type_error(op, "element name", "a str", name);
    // A lone surrogate has no UTF-8 form: written escaped, it is no element name either.
    py::object bytes = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(name.ptr(), "utf-8", "backslashreplace"));
    if (!bytes) return std::nullopt;
    std::optional<std::string> text = std::string(PyBytes_AS_STRING(bytes.ptr()), size_t(PyBytes_GET_SIZE(bytes.ptr())));
    std::string error;
    std::optional<Element> element = parse_element(*text, error);
    if (!element) return set_error(ErrorKind::Address, std::string(op) + "() " + error);
    return element;
}

bool block_arg(const char *op, const Element &first, size_t words) {
    std::optional<std::string> error = block_error(first, words);
    if (error) set_error(ErrorKind::Address, std::string(op) + "() " + *error);
    return !error;
}

std::optional<Element> relay_arg(const char *op, py::handle name) {
    return kind_arg(op, name, true, false, false, "a relay name (X, Y, R such as X1F)");
}

std::optional<Element> relay_word_arg(const char *op, py::handle name) {
    return kind_arg(op, name, false, true, false, "a relay word name (WX, WY, WR such as WX0)");
}

std::optional<Element> word_arg(const char *op, py::handle name) {
    // The last few names, kept alive and compared by identity: a str never
    // changes, and a refresh cycle passes the same few objects every time.
    struct Parsed {
        PyObject *name = nullptr;
        Element element;
    };
    static Parsed recent[4];
    static size_t next = 0;
    for (const Parsed &parsed : recent)
        if (parsed.name == name.ptr()) return parsed.element;
    std::optional<Element> element = kind_arg(op, name, false, true, true, "a word name (D, DT, WX, WY, WR such as D100)");
    if (element && PyUnicode_CheckExact(name.ptr())) {
        Parsed &slot = recent[next++ % 4];
        Py_XDECREF(slot.name);
        slot = Parsed{name.inc_ref().ptr(), *element};
    }
    return element;
}

std::optional<bool> coil_arg(const char *op, py::handle value) {
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
    if (!PyIndex_Check(value.ptr())) return type_error(op, "value", "a bool", value);
    std::optional<long long> bit = integer_arg(op, value, "value", 0, 1);
    if (!bit) return std::nullopt;
    return *bit != 0;
}

std::optional<uint16_t> uint16_arg(const char *op, py::handle value, const char *what) {
    std::optional<long long> number = integer_arg(op, value, what, 0, 0xFFFF);
    if (!number) return std::nullopt;
    return uint16_t(*number);
}

std::optional<uint32_t> uint32_arg(const char *op, py::handle value, const char *what) {
    std::optional<long long> number = integer_arg(op, value, what, 0, 0xFFFFFFFFLL);
    if (!number) return std::nullopt;
    return uint32_t(*number);
}

std::optional<int32_t> int32_arg(const char *op, py::handle value, const char *what) {
    std::optional<long long> number = integer_arg(op, value, what, INT32_MIN, INT32_MAX);
    if (!number) return std::nullopt;
    return int32_t(*number);
}

std::optional<std::vector<uint16_t>> uint16_list_arg(const char *op, py::handle values) {
    return words_of(op, values, [op](std::vector<uint16_t> &words, py::handle item, const std::string &what) {
        std::optional<uint16_t> word = uint16_arg(op, item, what.c_str());
        if (word) words.push_back(*word);
        return bool(word);
    });
}

std::optional<std::vector<uint16_t>> uint32_list_arg(const char *op, py::handle values) {
    return words_of(op, values, [op](std::vector<uint16_t> &words, py::handle item, const std::string &what) {
        std::optional<uint32_t> value = uint32_arg(op, item, what.c_str());
        if (value) push_double_word(words, *value);
        return bool(value);
    });
}

std::optional<std::vector<uint16_t>> int32_list_arg(const char *op, py::handle values) {
    return words_of(op, values, [op](std::vector<uint16_t> &words, py::handle item, const std::string &what) {
        std::optional<int32_t> value = int32_arg(op, item, what.c_str());
        if (value) push_double_word(words, uint32_t(*value));
        return bool(value);
    });
}

} // namespace mew
