// ThreadCommunicationObject: a one-shot answer slot handed between threads.
// The event is the only synchronisation; the value is stored before the
// event is set, so a woken reader sees it.
#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"
#include "fa/module/names.h"

namespace fa {

namespace {

py::object init(py::handle self, const Args &a) {
    self.attr(names._ThreadCommunicationObject__args) = a.varargs();
    self.attr(names._ThreadCommunicationObject__kwargs) = a.kwargs();
    self.attr(names._ThreadCommunicationObject__result) = py::bool_(false);
    self.attr(names._ThreadCommunicationObject__event) = name(names._Event)();
    return py::none();
}

py::object get_result(py::handle self, const Args &) {
    // Event.wait releases the GIL while it blocks.
    self.attr(names._ThreadCommunicationObject__event).attr(names.wait)();
    return self.attr(names._ThreadCommunicationObject__result);
}

py::object set_result(py::handle self, const Args &a) {
    self.attr(names._ThreadCommunicationObject__result) = a[0];
    self.attr(names._ThreadCommunicationObject__event).attr(names.set)();
    return py::none();
}

const FunctionSpec kInit{"__init__", init, {var_args("args"), var_kwargs("kwargs")}};
const FunctionSpec kResult{"result", get_result, {}};
const FunctionSpec kSetResult{"result", set_result, {{"value"}}};

} // namespace

py::object build_ThreadCommunicationObject() {
    return ClassDef("ThreadCommunicationObject").method(kInit).property(kResult, &kSetResult).build();
}

} // namespace fa
