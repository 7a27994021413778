// FP element addressing: FPMachine.name_to_index and index_to_name. Relay
// names (X, Y, R) are a decimal word number followed by one hexadecimal bit
// digit and stand for word * 16 + bit; word names (D, DT, W + one letter)
// stand for their decimal number. The native core (core/fp_names.h) reads
// and writes the names. A name is ASCII and its numbers are plain digits:
// what the host's int() would read besides (a sign, blanks, underscores,
// other scripts' digits, a trailing newline) is an invalid name. The host's
// int() still reads numbers beyond 64 bits, and gives its own error for a
// part that is no number at all (XA0); indexes it cannot format go through
// its % formatting.
#include "fa/backends/fp_names.h"

#include "core/fp_names.h"
#include "fa/module/calls.h"
#include "fa/module/module.h"

#include <initializer_list>

namespace fa {

namespace {

namespace core = kvo::core;

using kvo::rt::ErrorSet;

// A byte-string name is the same name as its text.
py::object as_text(py::handle name) {
    if (PyBytes_Check(name.ptr()))
        return steal(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(name.ptr()), PyBytes_GET_SIZE(name.ptr()), nullptr));
    return borrow(name.ptr());
}

// The UTF-8 text of a str; lone surrogates pass through, so every str has one.
struct Utf8 {
    py::object owner; // the encoded bytes when the str's own UTF-8 form does not exist
    std::string_view text;
};

// False with the error set.
bool utf8_of(py::handle str, Utf8 &utf8) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(str.ptr(), &size)) {
        utf8.text = {data, size_t(size)};
        return true;
    }
    PyErr_Clear();
    utf8.owner = steal(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
    if (!utf8.owner) return false;
    utf8.text = {PyBytes_AS_STRING(utf8.owner.ptr()), size_t(PyBytes_GET_SIZE(utf8.owner.ptr()))};
    return true;
}

// A part of a name as a str.
py::object text_of(std::string_view text) {
    return steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogatepass"));
}

ErrorSet string_index_error() { return fail(PyExc_IndexError, "string index out of range"); }

ErrorSet invalid_name(py::handle name) { return fail(PyExc_ValueError, "Invalid FP element name: %S", name.ptr()); }

// --- Objects that are not text: the host's sequence operations decide (a
// str subclass may index itself differently; anything else fails as the
// host fails on it).

py::object at(py::handle obj, Py_ssize_t i) { return steal(PySequence_GetItem(obj.ptr(), i)); }

py::object slice(py::handle obj, Py_ssize_t start, Py_ssize_t stop) {
    return steal(PySequence_GetSlice(obj.ptr(), start, stop));
}

// Whether `ch == letter` holds for one of `letters`, tried in order as the
// host's `or` would: 1 or 0, or -1 with the error set.
int is_one_of(py::handle ch, std::initializer_list<const char *> letters) {
    for (const char *letter : letters) {
        py::object text = steal(PyUnicode_FromString(letter));
        py::object equal = text ? steal(PyObject_RichCompare(ch.ptr(), text.ptr(), Py_EQ)) : py::object();
        int holds = equal ? PyObject_IsTrue(equal.ptr()) : -1;
        if (holds != 0) return holds;
    }
    return 0;
}

// int(part, base), for a part that must be plain: ASCII decimal digits, or
// one hexadecimal digit. int() gives its own error for a part that is no
// number at all (XA0, X1G); a part it reads otherwise (a sign, an
// underscore) names no element either. A null part passes its error on.
py::object plain_int(py::handle name, py::handle part, int base) {
    if (!part) return {};
    py::object number = steal(PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyLong_Type), "Oi", part.ptr(), base));
    if (!number) return number;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_Check(part.ptr()) ? PyUnicode_AsUTF8AndSize(part.ptr(), &size) : nullptr;
    if (!text) PyErr_Clear();
    std::string_view digits = text ? std::string_view(text, size_t(size)) : std::string_view();
    if (base == 16 ? core::hex_digit(digits) < 0 : !core::read_decimal(digits)) return invalid_name(name);
    return number;
}

// word * 16 + bit; a null operand passes its error on.
py::object relay_index(py::handle word, py::handle bit) {
    if (!word || !bit) return {};
    py::object sixteen = steal(PyLong_FromLong(16));
    py::object scaled = sixteen ? steal(PyNumber_Multiply(word.ptr(), sixteen.ptr())) : py::object();
    return scaled ? steal(PyNumber_Add(scaled.ptr(), bit.ptr())) : scaled;
}

py::object host_name_to_index(py::handle name) {
    if (PyUnicode_Check(name.ptr())) {
        Utf8 text;
        if (!utf8_of(name, text)) return {};
        if (!core::visible_ascii(text.text)) return invalid_name(name);
    }
    py::object first = at(name, 0);
    if (!first) return first;
    int relay = is_one_of(first, {"X", "Y", "R"});
    if (relay < 0) return {};
    if (relay) {
        py::object digits = slice(name, 1, PY_SSIZE_T_MAX);
        if (!digits) return digits;
        Py_ssize_t n = PyObject_Size(digits.ptr());
        if (n < 0 || !assertion(n <= 4)) return {};
        py::object dec_part = n > 0 ? slice(digits, 0, n - 1) : steal(PyUnicode_FromString(""));
        if (!dec_part) return dec_part;
        Py_ssize_t decimals = PyObject_Size(dec_part.ptr());
        if (decimals < 0) return {};
        if (decimals == 0 && !(dec_part = steal(PyUnicode_FromString("0")))) return {};
        py::object hex_part = at(digits, -1);
        if (!hex_part) return hex_part;
        py::object word = plain_int(name, dec_part, 10);
        if (!word) return word;
        return relay_index(word, plain_int(name, hex_part, 16));
    }
    int data = is_one_of(first, {"D"});
    if (data < 0) return {};
    if (data) {
        py::object second = at(name, 1);
        int two_letters = second ? is_one_of(second, {"T"}) : -1;
        if (two_letters < 0) return {};
        return plain_int(name, slice(name, two_letters ? 2 : 1, PY_SSIZE_T_MAX), 10);
    }
    int word = is_one_of(first, {"W"});
    if (word < 0) return {};
    if (word) return plain_int(name, slice(name, 2, PY_SSIZE_T_MAX), 10);
    return invalid_name(name);
}

py::object name_to_index(py::handle, const Args &a) {
    py::object name = as_text(a[0]);
    if (!name) return name;
    if (!PyUnicode_CheckExact(name.ptr())) return host_name_to_index(name);
    Utf8 text;
    if (!utf8_of(name, text)) return {};
    core::NameIndex result = core::name_to_index(text.text);
    // The host asserts the length of a relay name before reading it.
    if (!assertion(!result.too_long)) return {};
    switch (result.outcome) {
    case core::IndexOutcome::Number: return steal(PyLong_FromLongLong(result.value));
    case core::IndexOutcome::IndexError: return string_index_error();
    case core::IndexOutcome::HostInteger: {
        py::object number = plain_int(name, text_of(result.decimal), 10);
        if (!number || !result.relay) return number;
        return relay_index(number, plain_int(name, text_of(result.hex), 16));
    }
    case core::IndexOutcome::InvalidName: break;
    }
    return invalid_name(name);
}

// An int index that 64 bits hold (bools are ints to the host's arithmetic).
bool small_int(py::handle index, long long &value) {
    if (!PyLong_CheckExact(index.ptr()) && !PyBool_Check(index.ptr())) return false;
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    return overflow == 0 && !(value == -1 && PyErr_Occurred());
}

// prefix + (format % values)
py::object with_number(py::handle prefix, const char *format, py::handle values) {
    if (!values) return {};
    py::object pattern = steal(PyUnicode_FromString(format));
    py::object number = pattern ? steal(PyUnicode_Format(pattern.ptr(), values.ptr())) : py::object();
    return number ? steal(PyNumber_Add(prefix.ptr(), number.ptr())) : number;
}

ErrorSet invalid_prefix(py::handle prefix) {
    return fail(PyExc_ValueError, "Invalid FP element prefix: %S", prefix.ptr());
}

// Any other index goes through the host's // , % and "%d%X" formatting, which
// accept or refuse it as Python code would.
py::object host_index_to_name(py::handle prefix, py::handle index) {
    py::object first = at(prefix, 0);
    if (!first) return first;
    int relay = is_one_of(first, {"X", "Y", "R"});
    if (relay < 0) return {};
    if (relay) {
        py::object sixteen = steal(PyLong_FromLong(16));
        if (!sixteen) return sixteen;
        py::object word = steal(PyNumber_FloorDivide(index.ptr(), sixteen.ptr()));
        if (!word) return word;
        py::object bit = steal(PyNumber_Remainder(index.ptr(), sixteen.ptr()));
        if (!bit) return bit;
        return with_number(prefix, "%d%X", steal(PyTuple_Pack(2, word.ptr(), bit.ptr())));
    }
    int words = is_one_of(first, {"D", "W"});
    if (words < 0) return {};
    if (words) return with_number(prefix, "%d", steal(PyTuple_Pack(1, index.ptr())));
    return invalid_prefix(prefix);
}

py::object index_to_name(py::handle, const Args &a) {
    py::handle prefix = a[0], index = a[1];
    if (PyUnicode_Check(index.ptr())) return borrow(index.ptr());
    long long value = 0;
    if (!PyUnicode_CheckExact(prefix.ptr()) || !small_int(index, value)) {
        PyErr_Clear();
        return host_index_to_name(prefix, index);
    }
    Utf8 text;
    if (!utf8_of(prefix, text)) return {};
    core::IndexName result = core::index_to_name(text.text, value);
    switch (result.outcome) {
    case core::PrefixOutcome::Name: return text_of(result.name);
    case core::PrefixOutcome::IndexError: return string_index_error();
    case core::PrefixOutcome::InvalidPrefix: break;
    }
    return invalid_prefix(prefix);
}

} // namespace

const FunctionSpec kFpNameToIndex{"name_to_index", name_to_index, {{"name"}}};
const FunctionSpec kFpIndexToName{"index_to_name", index_to_name, {{"prefix", "str"}, {"index", "int"}}, "str"};

} // namespace fa
