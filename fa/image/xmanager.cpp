// XManager: the image of a block of 16-bit words with its previous state.
// It owns both lists (fresh copies of what it is given); YManager, its
// subclass, shares its owner's lists instead.
#include "fa/image/xmanager.h"

#include "fa/image/bits.h"
#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"

namespace fa {

namespace {

constexpr const char *kWords = "_XManager__x_words";
constexpr const char *kWordsOld = "_XManager__x_words_old";

py::list words_of(py::handle self) { return self.attr(kWords); }
py::list old_words_of(py::handle self) { return self.attr(kWordsOld); }

py::object init(py::handle self, const Args &a) {
    ImageLists lists = image_lists(a[0], a[1], a[2]);
    self.attr(kWords) = new_list(lists.words);
    self.attr(kWordsOld) = new_list(lists.words_old);
    return py::none();
}

py::object word_count(py::handle self, const Args &) { return py::int_(py::len(self.attr(kWords))); }

py::object get(py::handle, const Args &a) { return py::bool_(read_bit(a[0], a[1])); }

py::object getitem(py::handle self, const Args &a) { return py::bool_(read_bit(self.attr(kWords), a[0])); }

py::object x(py::handle self, const Args &a) { return item(self, a[0]); }

py::object wx(py::handle self, const Args &a) { return item(self.attr(kWords), a[0]); }

py::object rising(py::handle self, const Args &a) {
    if (!read_bit(self.attr(kWords), a[0])) return py::bool_(false);
    return py::bool_(!read_bit(self.attr(kWordsOld), a[0]));
}

py::object falling(py::handle self, const Args &a) {
    if (!read_bit(self.attr(kWordsOld), a[0])) return py::bool_(false);
    return py::bool_(!read_bit(self.attr(kWords), a[0]));
}

py::object event_occured(py::handle self, const Args &) {
    py::list words = words_of(self), old = old_words_of(self);
    // Re-read the sizes each step: a comparison may run Python code.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(words.ptr()) && i < PyList_GET_SIZE(old.ptr()); ++i) {
        py::object current = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(words.ptr(), i));
        py::object previous = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(old.ptr(), i));
        if (not_equal(current, previous)) return py::bool_(true);
    }
    return py::bool_(false);
}

py::object copy(py::handle self, const Args &) { return name("XManager")(self.attr(kWords), self.attr(kWordsOld)); }

py::object update(py::handle self, const Args &a) {
    py::handle x_words = a[0];
    Py_ssize_t given = PyObject_Size(x_words.ptr());
    if (given < 0) raise_current();
    py::list words = words_of(self), old = old_words_of(self);
    Py_ssize_t count = PyList_GET_SIZE(words.ptr());
    // A list of another length would leave the image half updated; refuse
    // it before anything changes.
    if (given != count || PyList_GET_SIZE(old.ptr()) != count)
        raise(PyExc_IndexError, "x_words has %zd words, the image has %zd", given, count);
    bool evt_occurred = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i >= PyList_GET_SIZE(words.ptr()) || i >= PyList_GET_SIZE(old.ptr()) ||
            i >= PyList_GET_SIZE(x_words.ptr()))
            raise(PyExc_IndexError, "list index out of range");
        py::object current = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(words.ptr(), i));
        py::object incoming = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(x_words.ptr(), i));
        if (PyList_SetItem(old.ptr(), i, current.inc_ref().ptr()) < 0) raise_current();
        if (not_equal(current, incoming)) {
            if (PyList_SetItem(words.ptr(), i, incoming.inc_ref().ptr()) < 0) raise_current();
            evt_occurred = true;
        }
    }
    return py::bool_(evt_occurred);
}

py::object copy_old(py::handle self, const Args &) { return new_list(self.attr(kWordsOld)); }

const char *kOptionalSequence = "_Union[_Sequence, None]";

const FunctionSpec kInit{
    "__init__", init, {{"x_words", kOptionalSequence, "None"}, {"x_words_old", kOptionalSequence, "None"}, {"count", "int", "0"}}};
const FunctionSpec kWordCount{"word_count", word_count, {}};
const FunctionSpec kGet{"_get", get, {{"words"}, {"index"}}, nullptr, nullptr, true};
const FunctionSpec kGetItem{"__getitem__", getitem, {{"item", "int"}}, "bool"};
const FunctionSpec kX{"x", x, {{"index", "int"}}, "bool"};
const FunctionSpec kWx{"wx", wx, {{"index", "int"}}, "int"};
const FunctionSpec kRising{"rising", rising, {{"index", "int"}}};
const FunctionSpec kFalling{"falling", falling, {{"index", "int"}}, "bool"};
const FunctionSpec kEventOccured{"event_occured", event_occured, {}, "bool"};
const FunctionSpec kCopy{"copy", copy, {}};
const FunctionSpec kUpdate{"update", update, {{"x_words", "list"}}};
const FunctionSpec kCopyOld{"copy_old", copy_old, {}, "list"};

} // namespace

ImageLists image_lists(py::handle words, py::handle words_old, py::handle count) {
    ImageLists lists;
    if (words.is_none() && words_old.is_none()) {
        PyObject *positive = PyObject_RichCompare(count.ptr(), py::int_(0).ptr(), Py_GT);
        if (!positive) raise_current();
        check(truth(py::reinterpret_steal<py::object>(positive)));
        py::list zeros = py::list(py::make_tuple(0)) * py::reinterpret_borrow<py::object>(count);
        lists.words = zeros;
        lists.words_old = zeros;
        return lists;
    }
    if (words.is_none())
        raise(PyExc_ValueError,
              "It's not reasonable to create an XManager with argument x_words None and x_words_old not None.");
    if (words_old.is_none()) {
        lists.words = py::reinterpret_borrow<py::object>(words);
        lists.words_old = py::list(py::make_tuple(0)) * py::int_(py::len(words));
        return lists;
    }
    check(py::len(words) == py::len(words_old));
    lists.words = py::reinterpret_borrow<py::object>(words);
    lists.words_old = py::reinterpret_borrow<py::object>(words_old);
    return lists;
}

py::object build_XManager() {
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
