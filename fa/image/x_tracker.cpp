// X: follows one bit across updates, remembering the latest value and the
// one before it, and calls the optional rising/falling/toggle handlers when
// the value changes. The handler slots are filled by code outside the class
// under their private names.
#include "fa/module/calls.h"
#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"
#include "fa/module/state.h"

#include <utility>

namespace fa {

namespace {

const NameRef kManager{&Names::_X__manager};
const NameRef kIndex{&Names::_X__index};
const NameRef kPrev{&Names::_X__prev_value};
const NameRef kCurr{&Names::_X__curr_value};
const NameRef kRisingEvent{&Names::_X__rising_event};
const NameRef kFallingEvent{&Names::_X__falling_event};
const NameRef kToggleEvent{&Names::_X__toggle_event};

// Calls a handler slot with the tracker when it holds something other than
// None: true, or false with the error set.
bool fire(py::handle self, PyObject *slot) {
    py::object handler = get(self, slot);
    if (!handler) return false;
    return handler.is_none() || call(handler, self);
}

py::object init(py::handle self, const Args &a) {
    const std::pair<PyObject *, PyObject *> fields[] = {
        {kManager, a.ptr(0)},  {kIndex, a.ptr(1)},        {kPrev, Py_False},      {kCurr, Py_False},
        {kRisingEvent, Py_None}, {kFallingEvent, Py_None}, {kToggleEvent, Py_None},
    };
    for (const auto &[field, value] : fields)
        if (!set(self, field, value)) return {};
    return none();
}

py::object to_bool(py::handle self, const Args &) { return get(self, kCurr); }

// bool(self.<name>): 1, 0 or -1 with the error set.
int flag(py::handle self, PyObject *name) { return truth_or_error(get(self, name)); }

// `value and not other` (rising) or `not value and other` (falling).
py::object edge(py::handle self, bool rising) {
    int current = flag(self, kCurr);
    if (current < 0) return {};
    if (bool(current) != rising) return boolean(false);
    int previous = flag(self, kPrev);
    if (previous < 0) return {};
    return boolean(bool(previous) != rising);
}

py::object rising(py::handle self, const Args &) { return edge(self, true); }

py::object falling(py::handle self, const Args &) { return edge(self, false); }

py::object update(py::handle self, const Args &a) {
    // The truth test comes first: if it raises, the tracker is unchanged.
    int value = truth_of(a[0]);
    if (value < 0) return {};
    PyObject *as_bool = value ? Py_True : Py_False;
    py::object previous = get(self, kCurr);
    if (!previous || !set(self, kPrev, previous) || !set(self, kCurr, as_bool)) return {};
    // The state is in place before any handler runs, so a handler sees it.
    int changed = differs(previous, as_bool);
    if (changed < 0) return {};
    if (changed && (!fire(self, value ? kRisingEvent : kFallingEvent) || !fire(self, kToggleEvent))) return {};
    return none();
}

py::object update_to(py::handle self, bool value) {
    return call_method(self, names().update, value ? Py_True : Py_False) ? none() : py::object();
}

py::object set_on(py::handle self, const Args &) { return update_to(self, true); }

py::object rst(py::handle self, const Args &) { return update_to(self, false); }

py::object toggle(py::handle self, const Args &) {
    int current = truth_of(self);
    return current < 0 ? py::object() : update_to(self, !current);
}

const FunctionSpec kInit{"__init__", init, {{"manager"}, {"index", "int"}}};
const FunctionSpec kBool{"__bool__", to_bool, {}};
const FunctionSpec kRising{"rising", rising, {}, "bool"};
const FunctionSpec kFalling{"falling", falling, {}, "bool"};
const FunctionSpec kUpdate{"update", update, {{"value", "bool"}}};
const FunctionSpec kSet{"set", set_on, {}};
const FunctionSpec kRst{"rst", rst, {}};
const FunctionSpec kToggle{"toggle", toggle, {}};

} // namespace

py::object build_X() {
    return ClassDef("X")
        .method(kInit)
        .method(kBool)
        .method(kRising)
        .method(kFalling)
        .method(kUpdate)
        .method(kSet)
        .method(kRst)
        .method(kToggle)
        .build();
}

} // namespace fa
