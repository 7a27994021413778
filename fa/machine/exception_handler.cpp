// _MachineExceptionHandler: the subscribers that hear of a machine fault,
// behind MachineBase.exception_event. The guard is held while the
// subscribers run, so faults raised on several threads are offered one
// after the other, and a subscriber that calls back into the same list (a
// fault raised from inside a subscriber, a subscribe) is refused
// (callback_guard.h).
#include "fa/machine/callback_guard.h"
#include "fa/machine/machine_support.h"
#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"

namespace fa {

namespace {

using machine::CallbackScope;
using machine::contains;
using machine::HeldLock;
using machine::refuse_inside_callbacks;

constexpr const char *kList = "_handler_list";
constexpr const char *kGuard = "_handler_list_guard";

py::object init(py::handle self, const Args &) {
    self.attr(kList) = py::list();
    self.attr(kGuard) = name("_Lock")();
    return py::none();
}

py::object subscribe(py::handle self, const Args &a) {
    refuse_inside_callbacks(self, "subscribe() is not allowed inside a subscriber of the same exception_event");
    HeldLock held(self.attr(kGuard));
    py::object list = self.attr(kList);
    if (!contains(list, a[0])) list.attr("append")(a[0]);
    return py::none();
}

py::object unsubscribe(py::handle self, const Args &a) {
    refuse_inside_callbacks(self, "unsubscribe() is not allowed inside a subscriber of the same exception_event");
    HeldLock held(self.attr(kGuard));
    py::object list = self.attr(kList);
    if (contains(list, a[0])) list.attr("remove")(a[0]);
    return py::none();
}

py::object unsubscribe_all(py::handle self, const Args &) {
    refuse_inside_callbacks(self,
                            "unsubscribe_all() is not allowed inside a subscriber of the same exception_event");
    HeldLock held(self.attr(kGuard));
    self.attr(kList).attr("clear")();
    return py::none();
}

// Offers the call to each subscriber in order; the first that answers with
// a true value has taken it.
py::object call(py::handle self, const Args &a) {
    refuse_inside_callbacks(self, "raising a machine fault (raise_exception() or a fault raiser) is not allowed "
                                  "inside an exception_event subscriber of the same machine");
    HeldLock held(self.attr(kGuard));
    CallbackScope subscribers_run(self);
    py::tuple args = a.varargs();
    py::dict kwargs = a.kwargs();
    py::object list = self.attr(kList);
    for (py::handle callback : list) {
        py::object taken = py::reinterpret_borrow<py::object>(callback)(*args, **kwargs);
        if (truth(taken)) return py::bool_(true);
    }
    return py::bool_(false);
}

const FunctionSpec kInit{"__init__", init, {}};
const FunctionSpec kSubscribe{"subscribe", subscribe, {{"callback", "_Callable"}}};
const FunctionSpec kUnsubscribe{"unsubscribe", unsubscribe, {{"callback", "_Callable"}}};
const FunctionSpec kUnsubscribeAll{"unsubscribe_all", unsubscribe_all, {}};
const FunctionSpec kCall{"__call__", call, {var_args("args"), var_kwargs("kwargs")}};

} // namespace

py::object build_MachineExceptionHandler() {
    return ClassDef("_MachineExceptionHandler")
        .method(kInit)
        .method(kSubscribe)
        .method(kUnsubscribe)
        .method(kUnsubscribeAll)
        .method(kCall)
        .build();
}

} // namespace fa
