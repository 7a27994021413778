// X: follows one bit across updates, remembering the latest value and the
// one before it, and calls the optional rising/falling/toggle handlers when
// the value changes. The handler slots are filled by code outside the class
// under their private names.
#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"
#include "fa/module/state.h"

namespace fa {

namespace {

const NameRef kManager{&Names::_X__manager};
const NameRef kIndex{&Names::_X__index};
const NameRef kPrev{&Names::_X__prev_value};
const NameRef kCurr{&Names::_X__curr_value};
const NameRef kRisingEvent{&Names::_X__rising_event};
const NameRef kFallingEvent{&Names::_X__falling_event};
const NameRef kToggleEvent{&Names::_X__toggle_event};

// Calls a handler slot with the tracker when it holds something other than None.
void fire(py::handle self, PyObject *slot) {
    py::object handler = self.attr(slot);
    if (!handler.is_none()) handler(self);
}

py::object init(py::handle self, const Args &a) {
    self.attr(kManager) = a[0];
    self.attr(kIndex) = a[1];
    self.attr(kPrev) = py::bool_(false);
    self.attr(kCurr) = py::bool_(false);
    self.attr(kRisingEvent) = py::none();
    self.attr(kFallingEvent) = py::none();
    self.attr(kToggleEvent) = py::none();
    return py::none();
}

py::object to_bool(py::handle self, const Args &) { return self.attr(kCurr); }

py::object rising(py::handle self, const Args &) {
    if (!truth(self.attr(kCurr))) return py::bool_(false);
    return py::bool_(!truth(self.attr(kPrev)));
}

py::object falling(py::handle self, const Args &) {
    if (truth(self.attr(kCurr))) return py::bool_(false);
    return py::bool_(truth(self.attr(kPrev)));
}

py::object update(py::handle self, const Args &a) {
    // The truth test comes first: if it raises, the tracker is unchanged.
    bool value = truth(a[0]);
    py::object previous = self.attr(kCurr);
    self.attr(kPrev) = previous;
    self.attr(kCurr) = py::bool_(value);
    // The state is in place before any handler runs, so a handler sees it.
    if (not_equal(previous, py::bool_(value))) {
        fire(self, value ? kRisingEvent : kFallingEvent);
        fire(self, kToggleEvent);
    }
    return py::none();
}

py::object set(py::handle self, const Args &) {
    self.attr(names().update)(true);
    return py::none();
}

py::object rst(py::handle self, const Args &) {
    self.attr(names().update)(false);
    return py::none();
}

py::object toggle(py::handle self, const Args &) {
    bool current = truth(self);
    self.attr(names().update)(!current);
    return py::none();
}

const FunctionSpec kInit{"__init__", init, {{"manager"}, {"index", "int"}}};
const FunctionSpec kBool{"__bool__", to_bool, {}};
const FunctionSpec kRising{"rising", rising, {}, "bool"};
const FunctionSpec kFalling{"falling", falling, {}, "bool"};
const FunctionSpec kUpdate{"update", update, {{"value", "bool"}}};
const FunctionSpec kSet{"set", set, {}};
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
