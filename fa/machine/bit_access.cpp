// Bit access of MachineBase: inputs and outputs by bit index or by element
// name. Names go through the instance's name_to_index, so a back-end's
// addressing takes effect in every accessor.
#include "fa/image/bits.h"
#include "fa/machine/machine_members.h"
#include "fa/machine/machine_support.h"
#include "fa/module/module.h"

namespace fa::machine {

namespace {

// A text or byte string is an element name; anything else is an index.
py::object resolve(py::handle self, py::handle index) {
    if (PyUnicode_Check(index.ptr()) || PyBytes_Check(index.ptr())) return self.attr("name_to_index")(index);
    return py::reinterpret_borrow<py::object>(index);
}

py::object name_to_index(py::handle, const Args &a) {
    return checked(PyNumber_Long(a[0].ptr()));
}

py::object index_to_name(py::handle, const Args &a) { return checked(PyObject_Str(a[1].ptr())); }

py::object x(py::handle self, const Args &a) { return self.attr("x_manager").attr("x")(resolve(self, a[0])); }

py::object wx(py::handle self, const Args &a) { return self.attr("x_manager").attr("wx")(resolve(self, a[0])); }

py::object rising(py::handle self, const Args &a) {
    return self.attr("x_manager").attr("rising")(resolve(self, a[0]));
}

py::object falling(py::handle self, const Args &a) {
    return self.attr("x_manager").attr("falling")(resolve(self, a[0]));
}

py::object y(py::handle self, const Args &a) {
    return checked(PyObject_GetItem(self.attr("y_manager").ptr(), resolve(self, a[0]).ptr()));
}

py::object wy(py::handle self, const Args &a) { return self.attr("y_manager").attr("wx")(resolve(self, a[0])); }

// Changes exactly one bit of one output word; the refresh cycle writes it.
py::object set_y(py::handle self, const Args &a) {
    py::object index = resolve(self, a[0]);
    BitAddress at = split_bit_index(index);
    // Read before the lock: a __bool__ of Python code runs outside it.
    bool on = truth(a[1]);
    py::object mask = checked(PyNumber_Lshift(py::int_(1).ptr(), at.shift.ptr()));
    if (!on) mask = checked(PyNumber_Invert(mask.ptr()));

    HeldLock held(self.attr("_y_lock"));
    py::object words = self.attr("_y_words");
    py::object old = checked(PyObject_GetItem(words.ptr(), at.word.ptr()));
    py::object updated = checked(on ? PyNumber_Or(old.ptr(), mask.ptr()) : PyNumber_And(old.ptr(), mask.ptr()));
    if (PyObject_SetItem(words.ptr(), at.word.ptr(), updated.ptr()) < 0) raise_current();
    return py::none();
}

py::object x_word_count(py::handle self, const Args &) { return self.attr("x_manager").attr("word_count"); }

py::object y_word_count(py::handle self, const Args &) { return py::int_(py::len(self.attr("_y_words"))); }

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
