// Bit access of MachineBase: inputs and outputs by bit index or by element
// name. Names go through the instance's name_to_index, so a back-end's
// addressing takes effect in every accessor. The images are reached through
// the instance's x_manager and y_manager; their own methods run directly
// while nothing overrides them.
#include <optional>

#include "core/bits.h"
#include "fa/backends/fp_names.h"
#include "fa/image/bits.h"
#include "fa/image/xmanager.h"
#include "fa/machine/machine_members.h"
#include "fa/machine/machine_support.h"
#include "fa/module/calls.h"
#include "fa/module/dispatch.h"
#include "fa/module/instance_attrs.h"
#include "fa/module/module.h"

namespace fa::machine {

namespace {

namespace core = kvo::core;

OwnMethod own_name_to_index(&Names::name_to_index, kNameToIndex);
OwnMethod own_fp_name_to_index(&Names::name_to_index, kFpNameToIndex);
OwnMethod own_x(&Names::x, xmanager::kX);
OwnMethod own_wx(&Names::wx, xmanager::kWx);
OwnMethod own_rising(&Names::rising, xmanager::kRising);
OwnMethod own_falling(&Names::falling, xmanager::kFalling);
OwnMethod own_getitem(&Names::__getitem__, xmanager::kGetItem, OwnMethod::Kind::Special);

// A text or byte string is an element name; anything else is an index.
py::object resolve(py::handle self, py::handle index) {
    if (!PyUnicode_Check(index.ptr()) && !PyBytes_Check(index.ptr())) return borrow(index.ptr());
    // Names are mostly an FP back-end's: its parser runs directly too.
    if (own_fp_name_to_index.own(self.ptr())) return own_fp_name_to_index.direct(self, index);
    return own_name_to_index.call(self, index);
}

py::object name_to_index(py::handle, const Args &a) { return steal(PyNumber_Long(a.ptr(0))); }

py::object index_to_name(py::handle, const Args &a) { return steal(PyObject_Str(a.ptr(1))); }

// self.<manager>.<method>(resolved index)
py::object on_manager(py::handle self, PyObject *manager, OwnMethod &method, py::handle index) {
    py::object resolved = resolve(self, index);
    if (!resolved) return {};
    py::object image = instance_get(self, manager);
    if (!image) return {};
    return method.call(image, resolved);
}

py::object x(py::handle self, const Args &a) { return on_manager(self, names().x_manager, own_x, a[0]); }
py::object wx(py::handle self, const Args &a) { return on_manager(self, names().x_manager, own_wx, a[0]); }
py::object rising(py::handle self, const Args &a) { return on_manager(self, names().x_manager, own_rising, a[0]); }
py::object falling(py::handle self, const Args &a) { return on_manager(self, names().x_manager, own_falling, a[0]); }
py::object wy(py::handle self, const Args &a) { return on_manager(self, names().y_manager, own_wx, a[0]); }

py::object y(py::handle self, const Args &a) {
    py::object resolved = resolve(self, a[0]);
    if (!resolved) return {};
    py::object image = instance_get(self, names().y_manager);
    if (!image) return {};
    if (own_getitem.own(image.ptr())) return own_getitem.direct(image, resolved);
    return steal(PyObject_GetItem(image.ptr(), resolved.ptr()));
}

// Bit `index` of a list of exact ints, set or cleared natively: true when
// done, false when the host's arithmetic must decide (big or odd values, an
// index out of range: the host raises its own error).
bool set_bit_natively(PyObject *words, PyObject *index, bool on, bool &failed) {
    if (!PyLong_CheckExact(index) || !PyList_CheckExact(words)) return false;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (overflow) return false;
    core::BitAddress at = core::split_bit_index(n);
    std::optional<size_t> position = core::word_position(at.word, size_t(PyList_GET_SIZE(words)));
    if (!position) return false;
    PyObject *old = PyList_GET_ITEM(words, Py_ssize_t(*position));
    if (!PyLong_CheckExact(old)) return false;
    long long value = PyLong_AsLongLongAndOverflow(old, &overflow);
    if (overflow || value < -(1LL << 48) || value > (1LL << 48)) return false;
    long long updated = core::with_bit(value, at.shift, on);
    if (updated == value) return true;
    PyObject *result = PyLong_FromLongLong(updated);
    failed = !result || PyList_SetItem(words, Py_ssize_t(*position), result) < 0;
    return true;
}

// self._y_words[index // 16] |= 1 << index % 16 (or &= ~...), with the
// host's arithmetic and errors, in the host's order: the word is read first
// and held while the operators (of Python code, maybe) run, and stored into
// the list the attribute holds then.
bool set_bit_generic(py::handle self, PyObject *words, const BitAddress &at, bool on) {
    py::object old = steal(PyObject_GetItem(words, at.word.ptr()));
    if (!old) return false;
    py::object one = steal(PyLong_FromLong(1));
    py::object mask = one ? steal(PyNumber_Lshift(one.ptr(), at.shift.ptr())) : one;
    if (!mask) return false;
    if (!on && !(mask = steal(PyNumber_Invert(mask.ptr())))) return false;
    py::object updated = steal(on ? PyNumber_Or(old.ptr(), mask.ptr()) : PyNumber_And(old.ptr(), mask.ptr()));
    if (!updated) return false;
    py::object now = instance_get(self, names()._y_words);
    return now && PyObject_SetItem(now.ptr(), at.word.ptr(), updated.ptr()) == 0;
}

// Changes exactly one bit of one output word; the refresh cycle writes it.
py::object set_y(py::handle self, const Args &a) {
    py::object index = resolve(self, a[0]);
    if (!index) return {};
    // An index the host cannot divide fails before anything else.
    BitAddress at;
    bool native_index = PyLong_CheckExact(index.ptr());
    if (!native_index && !split_bit_index(index, at)) return {};
    // Read before the lock: a __bool__ of Python code runs outside it.
    int on = truth_of(a[1]);
    if (on < 0) return {};

    py::object lock = instance_get(self, names()._y_lock);
    if (!lock) return {};
    HeldLock held(lock);
    if (!held) return {};
    py::object words = instance_get(self, names()._y_words);
    if (!words) return {};
    bool failed = false;
    if (native_index && set_bit_natively(words.ptr(), index.ptr(), on, failed)) return failed ? py::object() : none();
    if (native_index && !split_bit_index(index, at)) return {};
    if (!set_bit_generic(self, words.ptr(), at, on)) return {};
    return none();
}

py::object x_word_count(py::handle self, const Args &) {
    py::object image = instance_get(self, names().x_manager);
    if (!image) return {};
    return get(image, names().word_count);
}

py::object y_word_count(py::handle self, const Args &) { return length_of(self, names()._y_words); }

constexpr const char *kNameOrIndex = "_Union[str, int]";

} // namespace

const FunctionSpec kNameToIndex{"name_to_index", name_to_index, {{"name"}}};
const FunctionSpec kIndexToName{"index_to_name", index_to_name, {{"prefix", "str"}, {"index", "int"}}, "str"};
const FunctionSpec kX{"x", x, {{"index", kNameOrIndex}}};
const FunctionSpec kWx{"wx", wx, {{"index", kNameOrIndex}}};
const FunctionSpec kRising{"rising", rising, {{"index", "int"}}, "bool"};
const FunctionSpec kFalling{"falling", falling, {{"index", kNameOrIndex}}, "bool"};
const FunctionSpec kY{"y", y, {{"index", kNameOrIndex}}};
const FunctionSpec kWy{"wy", wy, {{"index", kNameOrIndex}}};
const FunctionSpec kSetY{"set_y", set_y, {{"index", kNameOrIndex}, {"value", "bool"}}};
const FunctionSpec kXWordCount{"x_word_count", x_word_count, {}};
const FunctionSpec kYWordCount{"y_word_count", y_word_count, {}};

} // namespace fa::machine
