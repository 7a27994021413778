#include "fa/records/render.h"

#include "fa/module/calls.h"
#include "fa/module/state.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace fa {

namespace {

// One rendered piece: a string object, or a short ASCII text kept on the
// stack, so a plain number costs no string object of its own.
// Plain data: compose() sets up and releases only the pieces it uses.
struct Rendered {
    PyObject *str;     // a string (a new reference unless lent), or null
    bool lent;
    Py_ssize_t length; // of ascii
    char ascii[32];

    bool take(PyObject *made) {
        str = made;
        return made != nullptr;
    }
    void append(const char *from) {
        while (*from) ascii[length++] = *from++;
    }
    // n in decimal.
    void append(long long n) {
        char digits[24];
        int count = 0;
        unsigned long long u = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
        do {
            digits[count++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u);
        if (n < 0) ascii[length++] = '-';
        while (count) ascii[length++] = digits[--count];
    }
};

// The integer conversion of a target state: ints (bools included) as they
// are, other objects through __int__ (or __index__); anything else is
// "an integer is required".
py::object to_integer(PyObject *v) {
    PyNumberMethods *nb = Py_TYPE(v)->tp_as_number;
    if (!PyLong_Check(v) && !(nb && (nb->nb_int || nb->nb_index)))
        return fail(PyExc_TypeError, "an integer is required");
    py::object result = steal(PyLong_Check(v) ? PyNumber_Long(v) : (nb->nb_int ? nb->nb_int(v) : PyNumber_Index(v)));
    if (result && !PyLong_Check(result.ptr()))
        return fail(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.ptr())->tp_name);
    return result;
}

// format(n, "d") of the converted value; an exact int is written here.
bool render_integer(PyObject *v, Rendered &out) {
    if (PyBool_Check(v)) {
        out.append(v == Py_True ? "1" : "0");
        return true;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow) {
            out.append(n);
            return true;
        }
    }
    py::object n = to_integer(v);
    return n && out.take(PyObject_Str(n.ptr()));
}

constexpr double kExactWhole = 9007199254740992.0; // 2**53: every whole double below it is exact

// format(value, ".01f"). A whole number below 2**53 in magnitude is "n.0";
// other floats are rendered by the host's own float formatting (the locale
// plays no part in either).
bool render_seconds(PyObject *value, Rendered &out) {
    if (PyFloat_CheckExact(value)) {
        double v = PyFloat_AS_DOUBLE(value);
        if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < kExactWhole) {
            if (v == 0 && std::signbit(v)) out.append("-");
            out.append(static_cast<long long>(v));
            out.append(".0");
            return true;
        }
        char *text = PyOS_double_to_string(v, 'f', 1, 0, nullptr);
        if (!text) return false;
        bool made = out.take(PyUnicode_FromString(text));
        PyMem_Free(text);
        return made;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow && n <= (1LL << 53) && n >= -(1LL << 53)) {
            out.append(n);
            out.append(".0");
            return true;
        }
    }
    return out.take(PyObject_Format(value, names().format_seconds));
}

// The fixed texts are static, so each is decoded once and kept by the
// module state (the GIL guards the tables): a dict keyed by the text's
// address, and a small table of recent answers in front of it.
PyObject *literal(const char *text) {
    LiteralSlot &slot = g_state->recent_literals[(reinterpret_cast<uintptr_t>(text) >> 3) & 63];
    if (slot.text == text) return slot.str;
    PyObject *&decoded = g_state->literals;
    if (!decoded && !(decoded = PyDict_New())) return nullptr;
    PyObject *key = PyLong_FromVoidPtr(const_cast<char *>(text));
    if (!key) return nullptr;
    PyObject *str = PyDict_GetItemWithError(decoded, key); // borrowed, held by the dict
    if (!str && !PyErr_Occurred()) {
        PyObject *made = PyUnicode_FromString(text);
        if (made && PyDict_SetItem(decoded, key, made) == 0) str = made;
        Py_XDECREF(made);
    }
    Py_DECREF(key);
    if (!str) return nullptr;
    slot = LiteralSlot{text, str};
    return str;
}

bool render(const Piece &piece, Rendered &out) {
    PyObject *value = piece.value.ptr();
    switch (piece.how) {
    case Render::Literal:
        // Held by the module state: lent, not owned.
        out.lent = true;
        return out.take(literal(piece.text));
    case Render::Text:
        if (PyUnicode_CheckExact(value)) {
            Py_INCREF(value);
            return out.take(value);
        }
        return out.take(PyObject_Str(value));
    case Render::Integer:
        return render_integer(value, out);
    case Render::Seconds:
        return render_seconds(value, out);
    }
    return true;
}

// Copies `count` characters of one width into a string of a width at least
// as large.
template <typename To, typename From>
To *widen(To *out, const void *from, Py_ssize_t count) {
    const From *in = static_cast<const From *>(from);
    if (sizeof(To) == sizeof(From)) {
        std::memcpy(out, in, static_cast<size_t>(count) * sizeof(To));
        return out + count;
    }
    for (Py_ssize_t i = 0; i < count; ++i) *out++ = static_cast<To>(in[i]);
    return out;
}

// Writes the parts one after the other into characters of type Char, wide
// enough for every part.
template <typename Char>
void write_parts(Char *out, const Rendered *parts, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const Rendered &part = parts[i];
        if (!part.str) {
            out = widen<Char, Py_UCS1>(out, part.ascii, part.length);
            continue;
        }
        Py_ssize_t length = PyUnicode_GET_LENGTH(part.str);
        const void *from = PyUnicode_DATA(part.str);
        switch (PyUnicode_KIND(part.str)) {
        case PyUnicode_1BYTE_KIND:
            out = widen<Char, Py_UCS1>(out, from, length);
            break;
        case PyUnicode_2BYTE_KIND:
            out = widen<Char, Py_UCS2>(out, from, length);
            break;
        default:
            out = widen<Char, Py_UCS4>(out, from, length);
            break;
        }
    }
}

} // namespace

py::object compose(std::initializer_list<Piece> pieces) {
    if (pieces.size() > kMaxPieces) return fail(PyExc_SystemError, "a message of more than %d pieces", int(kMaxPieces));
    Rendered parts[kMaxPieces];
    size_t count = 0;
    struct Release {
        Rendered *parts;
        size_t &count;
        ~Release() {
            for (size_t i = 0; i < count; ++i)
                if (!parts[i].lent) Py_XDECREF(parts[i].str);
        }
    } release{parts, count};
    Py_ssize_t total = 0;
    Py_UCS4 widest = 127;
    for (const Piece &piece : pieces) {
        Rendered &part = parts[count++];
        part.str = nullptr;
        part.length = 0;
        part.lent = false;
        if (!render(piece, part)) return {};
        if (!part.str) {
            total += part.length;
            continue;
        }
        if (!compat::unicode_ready(part.str)) return {};
        total += PyUnicode_GET_LENGTH(part.str);
        Py_UCS4 most = PyUnicode_MAX_CHAR_VALUE(part.str);
        if (most > widest) widest = most;
    }
    // One string of the final size, filled in place.
    py::object message = steal(PyUnicode_New(total, widest));
    if (!message) return message;
    void *data = PyUnicode_DATA(message.ptr());
    switch (PyUnicode_KIND(message.ptr())) {
    case PyUnicode_1BYTE_KIND:
        write_parts(static_cast<Py_UCS1 *>(data), parts, count);
        break;
    case PyUnicode_2BYTE_KIND:
        write_parts(static_cast<Py_UCS2 *>(data), parts, count);
        break;
    default:
        write_parts(static_cast<Py_UCS4 *>(data), parts, count);
        break;
    }
    return message;
}

} // namespace fa
