// Job: a read-only (owner, task) pair. The owner names the worker that is to
// receive the task; a worker's group routes it there.
#include "fa/module/calls.h"
#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/state.h"

namespace fa {

namespace {

py::object init(py::handle self, const Args &a) {
    if (!set(self, names()._Job__owner, a[0]) || !set(self, names()._Job__task, a[1])) return {};
    return none();
}

py::object owner(py::handle self, const Args &) { return get(self, names()._Job__owner); }
py::object task(py::handle self, const Args &) { return get(self, names()._Job__task); }

const FunctionSpec kInit{"__init__", init, {{"owner", "str"}, {"task"}}, nullptr,
                         "\n\t\t:param owner:\n\t\t:param task:\n\t\t"};
const FunctionSpec kOwner{"owner", owner, {}};
const FunctionSpec kTask{"task", task, {}};

} // namespace

py::object build_Job() { return ClassDef("Job").method(kInit).property(kOwner).property(kTask).build(); }

} // namespace fa
