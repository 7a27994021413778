// ThreadCommunicationObject: a one-shot answer slot handed between threads.
// The event is the only synchronisation; the value is stored before the
// event is set, so a woken reader sees it. An interrupted wait leaves as
// a Python error with a null result.
#include "fa/module/calls.h"
#include "fa/module/classdef.h"
#include "fa/module/classes.h"

namespace fa {

namespace {

py::object init(py::handle self, const Args &a) {
    if (!set(self, names()._ThreadCommunicationObject__args, a.varargs()) ||
        !set(self, names()._ThreadCommunicationObject__kwargs, a.kwargs()) ||
        !set_bool(self, names()._ThreadCommunicationObject__result, false))
        return {};
    py::object event = call_global(names()._Event);
    if (!event || !set(self, names()._ThreadCommunicationObject__event, event)) return {};
    return none();
}

py::object get_result(py::handle self, const Args &) {
    // Event.wait releases the GIL while it blocks.
    py::object event = get(self, names()._ThreadCommunicationObject__event);
    if (!event || !call_method(event, names().wait)) return {};
    return get(self, names()._ThreadCommunicationObject__result);
}

py::object set_result(py::handle self, const Args &a) {
    if (!set(self, names()._ThreadCommunicationObject__result, a[0])) return {};
    py::object event = get(self, names()._ThreadCommunicationObject__event);
    if (!event || !call_method(event, names().set)) return {};
    return none();
}

const FunctionSpec kInit{"__init__", init, {var_args("args"), var_kwargs("kwargs")}};
const FunctionSpec kResult{"result", get_result, {}};
const FunctionSpec kSetResult{"result", set_result, {{"value"}}};

} // namespace

py::object build_ThreadCommunicationObject() {
    return ClassDef("ThreadCommunicationObject").method(kInit).property(kResult, &kSetResult).build();
}

} // namespace fa
