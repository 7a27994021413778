#include "platform/kvo_mew/arguments.h"

#include <string>

#include "platform/kvo_mew/errors.h"

namespace mew {
namespace {

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

std::string describe(py::handle value) { return py::repr(value).cast<std::string>(); }

// An int-like value (int, bool, anything with __index__) within lo..hi.
long long integer_arg(const char *op, py::handle value, const std::string &what, long long lo, long long hi) {
    if (!PyIndex_Check(value.ptr()))
        throw py::type_error(std::string(op) + "() " + what + " must be an int, not " + type_name(value));
    py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || result < lo || result > hi)
        throw py::value_error(std::string(op) + "() " + what + " " + describe(value) + " is out of range " +
                              std::to_string(lo) + ".." + std::to_string(hi));
    return result;
}

py::sequence sequence_arg(const char *op, py::handle values) {
    if (!PyList_Check(values.ptr()) && !PyTuple_Check(values.ptr()))
        throw py::type_error(std::string(op) + "() values must be a list or tuple, not " + type_name(values));
    return py::reinterpret_borrow<py::sequence>(values);
}

template <class Convert>
std::vector<uint16_t> words_of(const char *op, py::handle values, Convert convert) {
    // A copy of the items first, so a list changed by another thread while we
    // convert cannot shift under the loop.
    py::tuple items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(sequence_arg(op, values).ptr()));
    if (!items) throw py::error_already_set();
    std::vector<uint16_t> words;
    words.reserve(items.size() * 2);
    for (size_t i = 0; i < items.size(); ++i) convert(words, items[i], "values[" + std::to_string(i) + "]");
    return words;
}

void push_double_word(std::vector<uint16_t> &words, uint32_t value) {
    words.push_back(uint16_t(value & 0xFFFFu));  // low word first
    words.push_back(uint16_t(value >> 16));
}

Element kind_arg(const char *op, py::handle name, bool relay, bool relay_word, bool data_word, const char *wanted) {
    Element element = element_arg(op, name);
    bool fits = (element.kind == ElementKind::Relay && relay) ||
                (element.kind == ElementKind::RelayWord && relay_word) ||
                (element.kind == ElementKind::DataWord && data_word);
    if (!fits)
        throw AddressError(std::string(op) + "() needs " + wanted + ", not " + py::str(name).cast<std::string>());
    return element;
}

} // namespace

int station_arg(const char *op, py::handle station) {
    if (PyLong_CheckExact(station.ptr())) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(station.ptr(), &overflow);
        if (!overflow && value >= kFirstStation && value <= kLastStation) return int(value);
        PyErr_Clear();
    }
    if (!PyIndex_Check(station.ptr()))
        throw py::type_error(std::string(op) + "() station must be an int, not " + type_name(station));
    try {
        return int(integer_arg(op, station, "station", kFirstStation, kLastStation));
    } catch (py::value_error &) {
        throw AddressError(std::string(op) + "() station " + describe(station) + " is out of range " +
                           std::to_string(kFirstStation) + ".." + std::to_string(kLastStation));
    }
}

size_t count_arg(const char *op, py::handle count, const char *what) {
    // The upper bound only keeps the arithmetic safe; the block check refuses
    // anything larger than an area anyway.
    return size_t(integer_arg(op, count, what, 0, 1LL << 40));
}

Element element_arg(const char *op, py::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        throw py::type_error(std::string(op) + "() element name must be a str, not " + type_name(name));
    try {
        return parse_element(name.cast<std::string>());
    } catch (const AddressError &e) {
        throw AddressError(std::string(op) + "() " + e.what());
    }
}

void block_arg(const char *op, const Element &first, size_t words) {
    try {
        check_block(first, words);
    } catch (const AddressError &e) {
        throw AddressError(std::string(op) + "() " + e.what());
    }
}

Element relay_arg(const char *op, py::handle name) {
    return kind_arg(op, name, true, false, false, "a relay name (X, Y, R such as X1F)");
}

Element relay_word_arg(const char *op, py::handle name) {
    return kind_arg(op, name, false, true, false, "a relay word name (WX, WY, WR such as WX0)");
}

Element word_arg(const char *op, py::handle name) {
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
    Element element = kind_arg(op, name, false, true, true, "a word name (D, DT, WX, WY, WR such as D100)");
    if (PyUnicode_CheckExact(name.ptr())) {
        Parsed &slot = recent[next++ % 4];
        Py_XDECREF(slot.name);
        slot = Parsed{name.inc_ref().ptr(), element};
    }
    return element;
}

bool coil_arg(const char *op, py::handle value) {
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
    if (!PyIndex_Check(value.ptr()))
        throw py::type_error(std::string(op) + "() value must be a bool, not " + type_name(value));
    return integer_arg(op, value, "value", 0, 1) != 0;
}

uint16_t uint16_arg(const char *op, py::handle value, const char *what) {
    return uint16_t(integer_arg(op, value, what, 0, 0xFFFF));
}

uint32_t uint32_arg(const char *op, py::handle value, const char *what) {
    return uint32_t(integer_arg(op, value, what, 0, 0xFFFFFFFFLL));
}

int32_t int32_arg(const char *op, py::handle value, const char *what) {
    return int32_t(integer_arg(op, value, what, INT32_MIN, INT32_MAX));
}

std::vector<uint16_t> uint16_list_arg(const char *op, py::handle values) {
    return words_of(op, values, [op](std::vector<uint16_t> &words, py::handle item, const std::string &what) {
        words.push_back(uint16_arg(op, item, what.c_str()));
    });
}

std::vector<uint16_t> uint32_list_arg(const char *op, py::handle values) {
    return words_of(op, values, [op](std::vector<uint16_t> &words, py::handle item, const std::string &what) {
        push_double_word(words, uint32_arg(op, item, what.c_str()));
    });
}

std::vector<uint16_t> int32_list_arg(const char *op, py::handle values) {
    return words_of(op, values, [op](std::vector<uint16_t> &words, py::handle item, const std::string &what) {
        push_double_word(words, uint32_t(int32_arg(op, item, what.c_str())));
    });
}

} // namespace mew
