// XManager: the image of a block of 16-bit words with its previous state.
// It owns both lists (fresh copies of what it is given); YManager, its
// subclass, shares its owner's lists instead.
#include "fa/image/xmanager.h"

#include <algorithm>

#include "fa/image/bits.h"
#include "fa/module/calls.h"
#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/dispatch.h"
#include "fa/module/instance_attrs.h"
#include "fa/module/module.h"

namespace fa {

namespace xmanager {

namespace {

extern const FunctionSpec kInit;

// The two lists as lists: any other sequence stored there is read through a
// list copy of it.
py::object list_attr(py::handle self, PyObject *attr) {
    py::object value = instance_get(self, attr);
    if (!value || PyList_Check(value.ptr())) return value;
    return steal(PySequence_List(value.ptr()));
}

py::object words_of(py::handle self) { return list_attr(self, names()._XManager__x_words); }
py::object old_words_of(py::handle self) { return list_attr(self, names()._XManager__x_words_old); }

py::object init(py::handle self, const Args &a) {
    PyObject *words = a.ptr(0), *old = a.ptr(1);
    // Two lists of one length, the copy's case: copied without the rules.
    if (PyList_CheckExact(words) && PyList_CheckExact(old) && PyList_GET_SIZE(words) == PyList_GET_SIZE(old)) {
        py::object words_copy = steal(PyList_GetSlice(words, 0, PyList_GET_SIZE(words)));
        if (!words_copy) return {};
        py::object old_copy = steal(PyList_GetSlice(old, 0, PyList_GET_SIZE(old)));
        if (!old_copy) return {};
        if (!set(self, names()._XManager__x_words, words_copy)) return {};
        if (!set(self, names()._XManager__x_words_old, old_copy)) return {};
        return none();
    }
    ImageLists lists;
    if (!image_lists(a[0], a[1], a[2], lists)) return {};
    py::object words_copy = steal(PySequence_List(lists.words.ptr()));
    if (!words_copy || !set(self, names()._XManager__x_words, words_copy)) return {};
    py::object old_copy = steal(PySequence_List(lists.words_old.ptr()));
    if (!old_copy || !set(self, names()._XManager__x_words_old, old_copy)) return {};
    return none();
}

py::object word_count(py::handle self, const Args &) { return length_of(self, names()._XManager__x_words); }

// A bit read as a result: True, False, or null with the error set.
py::object bit_result(int bit) { return bit < 0 ? py::object() : boolean(bit); }

py::object get_bit(py::handle, const Args &a) { return bit_result(read_bit(a[0], a[1])); }

py::object getitem(py::handle self, const Args &a) {
    py::object words = instance_get(self, names()._XManager__x_words);
    if (!words) return {};
    return bit_result(read_bit(words, a[0]));
}

// self[index], through the class's __getitem__.
OwnMethod own_getitem(&Names::__getitem__, kGetItem, OwnMethod::Kind::Special);

py::object x(py::handle self, const Args &a) {
    if (own_getitem.own(self.ptr())) return own_getitem.direct(self, a[0]);
    return steal(PyObject_GetItem(self.ptr(), a.ptr(0)));
}

py::object wx(py::handle self, const Args &a) {
    py::object words = instance_get(self, names()._XManager__x_words);
    if (!words) return {};
    return steal(PyObject_GetItem(words.ptr(), a.ptr(0)));
}

// The bit in `first`; when it is set, the negation of the bit in `second`.
py::object edge(py::handle self, PyObject *first, PyObject *second, py::handle index) {
    py::object words = instance_get(self, first);
    if (!words) return {};
    int bit = read_bit(words, index);
    if (bit <= 0) return bit_result(bit);
    if (!(words = instance_get(self, second))) return {};
    bit = read_bit(words, index);
    return bit < 0 ? py::object() : boolean(!bit);
}

py::object rising(py::handle self, const Args &a) {
    return edge(self, names()._XManager__x_words, names()._XManager__x_words_old, a[0]);
}

py::object falling(py::handle self, const Args &a) {
    return edge(self, names()._XManager__x_words_old, names()._XManager__x_words, a[0]);
}

py::object event_occured(py::handle self, const Args &) {
    py::object words = words_of(self);
    if (!words) return {};
    py::object old = old_words_of(self);
    if (!old) return {};
    // Re-read the sizes each step: a comparison may run Python code.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(words.ptr()) && i < PyList_GET_SIZE(old.ptr()); ++i) {
        py::object current = borrow(PyList_GET_ITEM(words.ptr(), i));
        py::object previous = borrow(PyList_GET_ITEM(old.ptr(), i));
        int differ = words_differ(current.ptr(), previous.ptr());
        if (differ < 0) return {};
        if (differ) return boolean(true);
    }
    return boolean(false);
}

OwnMethod own_init(&Names::__init__, kInit, OwnMethod::Kind::Special);

// XManager(words, old) of the class bound to the module name now. While
// that class is a plain class making its instances with object.__new__ and
// our __init__, the
// instance is made and initialised here without the type call.
py::object copy(py::handle self, const Args &) {
    py::object words = instance_get(self, names()._XManager__x_words);
    if (!words) return {};
    py::object old = instance_get(self, names()._XManager__x_words_old);
    if (!old) return {};
    py::object cls = global(names().XManager);
    if (!cls) return {};
    PyObject *type = cls.ptr();
    if (Py_TYPE(type) != &PyType_Type || reinterpret_cast<PyTypeObject *>(type)->tp_new != PyBaseObject_Type.tp_new ||
        !own_init.resolves_on(reinterpret_cast<PyTypeObject *>(type)))
        return call(cls, words, old);
    py::object empty = steal(PyTuple_New(0));
    if (!empty) return {};
    py::object copy = steal(PyBaseObject_Type.tp_new(reinterpret_cast<PyTypeObject *>(type), empty.ptr(), nullptr));
    if (!copy) return {};
    py::object zero = steal(PyLong_FromLong(0));
    if (!zero || !own_init.direct(copy, words, old, zero)) return {};
    return copy;
}

// seq[i] of an image list, or of any sequence stored in its place, with the
// host's errors: a new reference, so the word outlives any Python code that
// runs while it is used.
py::object word_at(PyObject *seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq)) return steal(PySequence_GetItem(seq, i));
    py::object key = steal(PyLong_FromSsize_t(i));
    return key ? steal(PyObject_GetItem(seq, key.ptr())) : key;
}

// seq[i] = value, with the host's errors.
bool put_word(PyObject *seq, Py_ssize_t i, PyObject *value) {
    if (PyList_CheckExact(seq)) return store_word(seq, i, value);
    py::object key = steal(PyLong_FromSsize_t(i));
    return key && PyObject_SetItem(seq, key.ptr(), value) == 0;
}

// The update from position `i` on while the three words at each position
// are exact ints in exact lists: no Python code can run (dropping an int
// runs none), so the item arrays stay put and the items need no references
// of our own. Returns the first position it leaves to the generic step, or
// `count`.
Py_ssize_t exact_int_run(PyObject *words, PyObject *old, PyObject *incoming, Py_ssize_t i, Py_ssize_t count,
                         bool &changed) {
    // A generic step before may have changed the lengths; the host's errors are its to raise.
    Py_ssize_t end = std::min({count, PyList_GET_SIZE(words), PyList_GET_SIZE(old), PyList_GET_SIZE(incoming)});
    PyObject **current = reinterpret_cast<PyListObject *>(words)->ob_item;
    PyObject **previous = reinterpret_cast<PyListObject *>(old)->ob_item;
    PyObject **given = reinterpret_cast<PyListObject *>(incoming)->ob_item;
    for (; i < end; ++i) {
        PyObject *cur = current[i], *prev = previous[i];
        if (!PyLong_CheckExact(cur) || !PyLong_CheckExact(prev) || !PyLong_CheckExact(given[i])) return i;
        if (prev != cur) {
            Py_INCREF(cur);
            previous[i] = cur;
            Py_DECREF(prev);
        }
        // Read after the store: `incoming` may be the previous list itself.
        PyObject *in = given[i];
        if (in != cur && words_differ(cur, in)) {
            Py_INCREF(in);
            current[i] = in;
            Py_DECREF(cur);
            changed = true;
        }
    }
    return i < count ? i : count;
}

// old[i] = current[i]; if current[i] != x_words[i]: current[i] = x_words[i].
// Every word is read afresh from its list, as the loop of the host reads it,
// and held while a comparison of Python code may change any of the lists.
// 1 changed, 0 not, -1 with the error set.
int generic_step(PyObject *words, PyObject *old, PyObject *incoming, Py_ssize_t i) {
    py::object current = word_at(words, i);
    if (!current || !put_word(old, i, current.ptr())) return -1;
    if (!(current = word_at(words, i))) return -1;
    py::object given = word_at(incoming, i);
    if (!given) return -1;
    int differ = words_differ(current.ptr(), given.ptr());
    if (differ <= 0) return differ;
    if (!(given = word_at(incoming, i)) || !put_word(words, i, given.ptr())) return -1;
    return 1;
}

py::object update(py::handle self, const Args &a) {
    PyObject *x_words = a.ptr(0);
    Py_ssize_t given = PyObject_Size(x_words);
    if (given < 0) return {};
    // The stored objects themselves, held for the whole loop: a comparison
    // may replace the attributes.
    py::object words = instance_get(self, names()._XManager__x_words);
    if (!words) return {};
    py::object old = instance_get(self, names()._XManager__x_words_old);
    if (!old) return {};
    Py_ssize_t count = PyObject_Size(words.ptr());
    if (count < 0) return {};
    // A list of another length would leave the image half updated; refuse
    // it before anything changes.
    if (given != count) return fail(PyExc_IndexError, "x_words has %zd words, the image has %zd", given, count);
    bool lists = PyList_CheckExact(words.ptr()) && PyList_CheckExact(old.ptr()) && PyList_CheckExact(x_words);
    bool evt_occurred = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (lists && (i = exact_int_run(words.ptr(), old.ptr(), x_words, i, count, evt_occurred)) == count) break;
        int changed = generic_step(words.ptr(), old.ptr(), x_words, i);
        if (changed < 0) return {};
        evt_occurred = evt_occurred || changed;
    }
    return boolean(evt_occurred);
}

py::object copy_old(py::handle self, const Args &) {
    py::object old = instance_get(self, names()._XManager__x_words_old);
    if (!old) return {};
    return steal(PySequence_List(old.ptr()));
}

const char *kOptionalSequence = "_Union[_Sequence, None]";

const FunctionSpec kInit{
    "__init__", init, {{"x_words", kOptionalSequence, "None"}, {"x_words_old", kOptionalSequence, "None"}, {"count", "int", "0"}}};
const FunctionSpec kGet{"_get", get_bit, {{"words"}, {"index"}}, nullptr, nullptr, true};
const FunctionSpec kEventOccured{"event_occured", event_occured, {}, "bool"};
const FunctionSpec kCopyOld{"copy_old", copy_old, {}, "list"};

} // namespace

const FunctionSpec kGetItem{"__getitem__", getitem, {{"item", "int"}}, "bool"};
const FunctionSpec kX{"x", x, {{"index", "int"}}, "bool"};
const FunctionSpec kWx{"wx", wx, {{"index", "int"}}, "int"};
const FunctionSpec kRising{"rising", rising, {{"index", "int"}}};
const FunctionSpec kFalling{"falling", falling, {{"index", "int"}}, "bool"};
const FunctionSpec kCopy{"copy", copy, {}};
const FunctionSpec kUpdate{"update", update, {{"x_words", "list"}}};
const FunctionSpec kWordCount{"word_count", word_count, {}};

} // namespace xmanager

int words_differ(PyObject *a, PyObject *b) {
    if (a == b && PyLong_CheckExact(a)) return 0;
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        int overflow_a = 0, overflow_b = 0;
        long long va = PyLong_AsLongLongAndOverflow(a, &overflow_a);
        long long vb = PyLong_AsLongLongAndOverflow(b, &overflow_b);
        if (!overflow_a && !overflow_b) return va != vb;
        return PyObject_RichCompareBool(a, b, Py_NE);
    }
    PyObject *result = PyObject_RichCompare(a, b, Py_NE);
    if (!result) return -1;
    int differ = PyObject_IsTrue(result);
    Py_DECREF(result);
    return differ;
}

bool store_word(PyObject *list, Py_ssize_t i, PyObject *value) {
    if (i < PyList_GET_SIZE(list) && PyList_GET_ITEM(list, i) == value) return true;
    Py_INCREF(value);
    return PyList_SetItem(list, i, value) == 0;
}

bool image_lists(py::handle words, py::handle words_old, py::handle count, ImageLists &lists) {
    if (words.is_none() && words_old.is_none()) {
        if (assertions_enabled()) {
            py::object zero = steal(PyLong_FromLong(0));
            int positive = zero ? PyObject_RichCompareBool(count.ptr(), zero.ptr(), Py_GT) : -1;
            if (positive < 0 || !assertion(positive)) return false;
        }
        lists.words = zeros(count);
        lists.words_old = lists.words;
        return bool(lists.words);
    }
    if (words.is_none()) {
        fail(PyExc_ValueError,
             "It's not reasonable to create an XManager with argument x_words None and x_words_old not None.");
        return false;
    }
    if (words_old.is_none()) {
        Py_ssize_t length = PyObject_Size(words.ptr());
        if (length < 0) return false;
        lists.words = py::reinterpret_borrow<py::object>(words);
        py::object count_of_words = steal(PyLong_FromSsize_t(length));
        lists.words_old = count_of_words ? zeros(count_of_words) : count_of_words;
        return bool(lists.words_old);
    }
    if (assertions_enabled()) {
        Py_ssize_t length = PyObject_Size(words.ptr());
        Py_ssize_t old_length = length < 0 ? -1 : PyObject_Size(words_old.ptr());
        if (old_length < 0 || !assertion(length == old_length)) return false;
    }
    lists.words = py::reinterpret_borrow<py::object>(words);
    lists.words_old = py::reinterpret_borrow<py::object>(words_old);
    return true;
}

py::object build_XManager() {
    using namespace xmanager;
    return ClassDef("XManager")
        .method(kInit)
        .property(kWordCount)
        .static_method(kGet)
        .method(kGetItem)
        .method(kX)
        .method(kWx)
        .method(kRising)
        .method(kFalling)
        .method(kEventOccured)
        .method(kCopy)
        .method(kUpdate)
        .method(kCopyOld)
        .build();
}

} // namespace fa
