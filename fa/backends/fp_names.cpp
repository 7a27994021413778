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
#include "fa/module/module.h"

namespace fa {

namespace {

namespace core = kvo::core;

// A byte-string name is the same name as its text.
py::object as_text(py::handle name) {
    if (PyBytes_Check(name.ptr()))
        return checked(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(name.ptr()), PyBytes_GET_SIZE(name.ptr()), nullptr));
    return py::reinterpret_borrow<py::object>(name);
}

// The UTF-8 text of a str; lone surrogates pass through, so every str has one.
struct Utf8 {
    py::object owner; // the encoded bytes when the str's own UTF-8 form does not exist
    std::string_view text;
};

Utf8 utf8_of(py::handle str) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(str.ptr(), &size)) return Utf8{py::object(), {data, size_t(size)}};
    PyErr_Clear();
    py::object bytes = checked(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
    return Utf8{bytes, {PyBytes_AS_STRING(bytes.ptr()), size_t(PyBytes_GET_SIZE(bytes.ptr()))}};
}

// A part of a name as a str.
py::object text_of(std::string_view text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogatepass"));
}

[[noreturn]] void string_index_error() { raise(PyExc_IndexError, "string index out of range"); }

// --- Objects that are not text: the host's sequence operations decide (a
// str subclass may index itself differently; anything else fails as the
// host fails on it).

py::object at(py::handle obj, Py_ssize_t i) { return checked(PySequence_GetItem(obj.ptr(), i)); }

py::object slice(py::handle obj, Py_ssize_t start, Py_ssize_t stop) {
    return checked(PySequence_GetSlice(obj.ptr(), start, stop));
}

bool is(py::handle ch, const char *text) { return equal(ch, py::str(text)); }

[[noreturn]] void invalid_name(py::handle name) { raise(PyExc_ValueError, "Invalid FP element name: %S", name.ptr()); }

// int(part, base), for a part that must be plain: ASCII decimal digits, or
// one hexadecimal digit. int() gives its own error for a part that is no
// number at all (XA0, X1G); a part it reads otherwise (a sign, an
// underscore) names no element either.
py::object plain_int(py::handle name, py::handle part, int base) {
    py::object number = checked(PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyLong_Type), "Oi", part.ptr(), base));
    Py_ssize_t size = 0;
    const char *text = PyUnicode_Check(part.ptr()) ? PyUnicode_AsUTF8AndSize(part.ptr(), &size) : nullptr;
    if (!text) PyErr_Clear();
    std::string_view digits = text ? std::string_view(text, size_t(size)) : std::string_view();
    if (base == 16 ? core::hex_digit(digits) < 0 : !core::read_decimal(digits)) invalid_name(name);
    return number;
}

py::object host_name_to_index(py::handle name) {
    if (PyUnicode_Check(name.ptr()) && !core::visible_ascii(utf8_of(name).text)) invalid_name(name);
    py::object first = at(name, 0);
    if (is(first, "X") || is(first, "Y") || is(first, "R")) {
        py::object digits = slice(name, 1, PY_SSIZE_T_MAX);
        Py_ssize_t n = PyObject_Size(digits.ptr());
        if (n < 0) raise_current();
        check(n <= 4);
        py::object dec_part = n > 0 ? slice(digits, 0, n - 1) : py::object(py::str(""));
        if (PyObject_Size(dec_part.ptr()) == 0) dec_part = py::str("0");
        py::object hex_part = at(digits, -1);
        py::object word = plain_int(name, dec_part, 10), bit = plain_int(name, hex_part, 16);
        return checked(PyNumber_Add(checked(PyNumber_Multiply(word.ptr(), py::int_(16).ptr())).ptr(), bit.ptr()));
    }
    if (is(first, "D")) return plain_int(name, slice(name, is(at(name, 1), "T") ? 2 : 1, PY_SSIZE_T_MAX), 10);
    if (is(first, "W")) return plain_int(name, slice(name, 2, PY_SSIZE_T_MAX), 10);
    invalid_name(name);
}

py::object name_to_index(py::handle, const Args &a) {
    py::object name = as_text(a[0]);
    if (!PyUnicode_CheckExact(name.ptr())) return host_name_to_index(name);
    Utf8 text = utf8_of(name);
    core::NameIndex result = core::name_to_index(text.text);
    // The host asserts the length of a relay name before reading it.
    if (result.too_long) check(false);
    switch (result.outcome) {
    case core::IndexOutcome::Number: return py::int_(result.value);
    case core::IndexOutcome::IndexError: string_index_error();
    case core::IndexOutcome::HostInteger: {
        py::object number = plain_int(name, text_of(result.decimal), 10);
        if (!result.relay) return number;
        py::object bit = plain_int(name, text_of(result.hex), 16);
        return checked(PyNumber_Add(checked(PyNumber_Multiply(number.ptr(), py::int_(16).ptr())).ptr(), bit.ptr()));
    }
    case core::IndexOutcome::InvalidName: break;
    }
    invalid_name(name);
}

// An int index that 64 bits hold (bools are ints to the host's arithmetic).
bool small_int(py::handle index, long long &value) {
    if (!PyLong_CheckExact(index.ptr()) && !PyBool_Check(index.ptr())) return false;
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    return overflow == 0 && !(value == -1 && PyErr_Occurred());
}

// Any other index goes through the host's // , % and "%d%X" formatting, which
// accept or refuse it as Python code would.
py::object host_index_to_name(py::handle prefix, py::handle index) {
    py::object first = at(prefix, 0);
    auto format = [](const char *fmt, py::handle values) {
        return checked(PyUnicode_Format(py::str(fmt).ptr(), values.ptr()));
    };
    if (is(first, "X") || is(first, "Y") || is(first, "R")) {
        py::object sixteen = py::int_(16);
        py::object word = checked(PyNumber_FloorDivide(index.ptr(), sixteen.ptr()));
        py::object bit = checked(PyNumber_Remainder(index.ptr(), sixteen.ptr()));
        return checked(PyNumber_Add(prefix.ptr(), format("%d%X", py::make_tuple(word, bit)).ptr()));
    }
    if (is(first, "D") || is(first, "W"))
        return checked(PyNumber_Add(prefix.ptr(), format("%d", py::make_tuple(index)).ptr()));
    raise(PyExc_ValueError, "Invalid FP element prefix: %S", prefix.ptr());
}

py::object index_to_name(py::handle, const Args &a) {
    py::handle prefix = a[0], index = a[1];
    if (PyUnicode_Check(index.ptr())) return py::reinterpret_borrow<py::object>(index);
    long long value = 0;
    if (!PyUnicode_CheckExact(prefix.ptr()) || !small_int(index, value)) {
        PyErr_Clear();
        return host_index_to_name(prefix, index);
    }
    Utf8 text = utf8_of(prefix);
    core::IndexName result = core::index_to_name(text.text, value);
    switch (result.outcome) {
    case core::PrefixOutcome::Name:
        return checked(PyUnicode_DecodeUTF8(result.name.data(), Py_ssize_t(result.name.size()), "surrogatepass"));
    case core::PrefixOutcome::IndexError: string_index_error();
    case core::PrefixOutcome::InvalidPrefix: break;
    }
    raise(PyExc_ValueError, "Invalid FP element prefix: %S", prefix.ptr());
}

} // namespace

const FunctionSpec kFpNameToIndex{"name_to_index", name_to_index, {{"name"}}};
const FunctionSpec kFpIndexToName{"index_to_name", index_to_name, {{"prefix", "str"}, {"index", "int"}}, "str"};

} // namespace fa
