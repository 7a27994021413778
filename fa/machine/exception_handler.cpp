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
#include "fa/module/calls.h"
#include "fa/module/dispatch.h"
#include "fa/module/instance_attrs.h"
#include "fa/module/locks.h"
#include "fa/module/module.h"

namespace fa {

namespace {

using machine::CallbackScope;
using machine::contains;
using machine::HeldLock;
using machine::inside_callbacks;
using machine::outside_callbacks;

const NameRef kList{&Names::_handler_list};
const NameRef kGuard{&Names::_handler_list_guard};

py::object init(py::handle self, const Args &) {
    py::object list = steal(PyList_New(0));
    if (!list || !set(self, kList, list)) return {};
    py::object guard = call_global(names()._Lock);
    if (!guard || !set(self, kGuard, guard)) return {};
    return none();
}

// list.<method>(callback) when `callback in list` is `present`, under the guard.
py::object change_list(py::handle self, py::handle callback, bool present, PyObject *method) {
    HeldLock held(get(self, kGuard));
    if (!held) return {};
    py::object list = get(self, kList);
    if (!list) return {};
    int found = contains(list, callback);
    if (found < 0) return {};
    if (bool(found) == present && !call_method(list, method, callback)) return {};
    return none();
}

py::object subscribe(py::handle self, const Args &a) {
    if (!outside_callbacks(self, "subscribe() is not allowed inside a subscriber of the same exception_event"))
        return {};
    return change_list(self, a[0], false, names().append);
}

py::object unsubscribe(py::handle self, const Args &a) {
    if (!outside_callbacks(self, "unsubscribe() is not allowed inside a subscriber of the same exception_event"))
        return {};
    return change_list(self, a[0], true, names().remove);
}

py::object unsubscribe_all(py::handle self, const Args &) {
    if (!outside_callbacks(self, "unsubscribe_all() is not allowed inside a subscriber of the same exception_event"))
        return {};
    HeldLock held(get(self, kGuard));
    if (!held) return {};
    py::object list = get(self, kList);
    if (!list || !call_method(list, names().clear)) return {};
    return none();
}

// The subscribers in order until one answers with a true value (it has
// taken the call), with the guard already held.
py::object offer_held(py::handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwargs) {
    py::object list = instance_get(self, names()._handler_list);
    if (!list) return {};
    if (PyList_CheckExact(list.ptr()) && PyList_GET_SIZE(list.ptr()) == 0) return boolean(false);
    CallbackScope subscribers_run(self);
    py::object callbacks = steal(PyObject_GetIter(list.ptr()));
    if (!callbacks) return {};
    while (py::object callback = steal(PyIter_Next(callbacks.ptr()))) {
        py::object taken = steal(PyObject_VectorcallDict(callback.ptr(), args, nargs, kwargs));
        if (!taken) return {};
        int on = truth_of(taken);
        if (on) return on < 0 ? py::object() : boolean(true);
    }
    if (PyErr_Occurred()) return {};
    return boolean(false);
}

// Offers the call to the subscribers under the guard, which is released on
// every way out (an error of the release itself is reported unraisable).
py::object offer(py::handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwargs) {
    if (inside_callbacks(self)) {
        PyErr_SetString(PyExc_RuntimeError, "raising a machine fault (raise_exception() or a fault raiser) is not "
                                            "allowed inside an exception_event subscriber of the same machine");
        return {};
    }
    py::object guard = instance_get(self, names()._handler_list_guard);
    if (!guard || !lock_acquire(guard)) return {};
    py::object taken = offer_held(self, args, nargs, kwargs);
    if (taken) {
        if (!lock_release(guard)) kvo::rt::write_unraisable_for(guard);
        return taken;
    }
    // A subscriber's error travels on; the release must not replace it.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!lock_release(guard)) kvo::rt::write_unraisable_for(guard);
    PyErr_Restore(type, value, traceback);
    return taken;
}

py::object call(py::handle self, const Args &a) {
    py::tuple args = a.varargs();
    py::dict kwargs = a.kwargs();
    return offer(self, &PyTuple_GET_ITEM(args.ptr(), 0), PyTuple_GET_SIZE(args.ptr()),
                 PyDict_GET_SIZE(kwargs.ptr()) ? kwargs.ptr() : nullptr);
}

const FunctionSpec kInit{"__init__", init, {}};
const FunctionSpec kSubscribe{"subscribe", subscribe, {{"callback", "_Callable"}}};
const FunctionSpec kUnsubscribe{"unsubscribe", unsubscribe, {{"callback", "_Callable"}}};
const FunctionSpec kUnsubscribeAll{"unsubscribe_all", unsubscribe_all, {}};
const FunctionSpec kCall{"__call__", call, {var_args("args"), var_kwargs("kwargs")}};

} // namespace

namespace machine {

py::object offer_to_subscribers(py::handle subscribers, py::handle fault) {
    static OwnMethod own_call(&Names::__call__, kCall, OwnMethod::Kind::Special);
    if (!own_call.own(subscribers.ptr())) return call(subscribers, fault);
    PyObject *args[] = {fault.ptr()};
    return offer(subscribers, args, 1, nullptr);
}

} // namespace machine

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
