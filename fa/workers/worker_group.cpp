// WorkerGroup: the directory of a machine's stations. Two parallel lists
// (names and workers, in registration order); jobs are routed by name.
// Workers are started first to last and stopped last to first.
#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"
#include "fa/module/state.h"
#include "fa/workers/worker.h"

namespace fa {

namespace {

py::object init(py::handle self, const Args &) {
    py::object names_list = steal(PyList_New(0));
    if (!names_list || !set(self, names()._names, names_list)) return {};
    py::object workers = steal(PyList_New(0));
    if (!workers || !set(self, names()._workers, workers)) return {};
    return none();
}

// Requires `name in self._names` to be `expected`: true when the call goes
// on, false with the error set (a bare AssertionError when it is not).
bool registered(py::handle self, py::handle name, bool expected) {
    py::object names_list = get(self, names()._names);
    int found = names_list ? PySequence_Contains(names_list.ptr(), name.ptr()) : -1;
    return found >= 0 && worker::asserted((found == 1) == expected);
}

py::object add(py::handle self, const Args &a) {
    py::object worker_name = get(a[0], names().name);
    if (!worker_name || !registered(self, worker_name, false)) return {};
    py::object names_list = get(self, names()._names);
    if (!names_list || !call_method(names_list, names().append, worker_name)) return {};
    py::object workers = get(self, names()._workers);
    if (!workers || !call_method(workers, names().append, a[0])) return {};
    return none();
}

py::object get_worker(py::handle self, const Args &a) {
    if (!registered(self, a[0], true)) return {};
    // Under -O an unknown name fails here with list.index's ValueError.
    py::object names_list = get(self, names()._names);
    py::object index = names_list ? call_method(names_list, names().index, a[0]) : names_list;
    if (!index) return {};
    py::object workers = get(self, names()._workers);
    return workers ? call_method(workers, names().__getitem__, index) : workers;
}

// Calls `method(args...)` on each worker, first to last or last to first.
// A snapshot of the list is walked, as a for-loop over a copy would.
template <typename... A>
py::object for_each_worker(py::handle self, bool reverse, PyObject *method, A... args) {
    py::object workers = get(self, names()._workers);
    py::object snapshot = workers ? steal(PySequence_List(workers.ptr())) : workers;
    if (!snapshot || (reverse && PyList_Reverse(snapshot.ptr()) < 0)) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.ptr()); ++i)
        if (!call_method(PyList_GET_ITEM(snapshot.ptr(), i), method, args...)) return {};
    return none();
}

// `self.get(name).method(args...)`.
template <typename... A>
py::object on_named(py::handle self, py::handle name, PyObject *method, A... args) {
    py::object worker = call_method(self, names().get, name);
    if (!worker || !call_method(worker, method, args...)) return {};
    return none();
}

// `self.method_all(args...)` for no name, else `self.get(name).method(args...)`.
template <typename... A>
py::object on_named_or_all(py::handle self, py::handle name, PyObject *method_all, PyObject *method, A... args) {
    if (!name.is_none()) return on_named(self, name, method, args...);
    return call_method(self, method_all, args...) ? none() : py::object();
}

py::object start(py::handle self, const Args &a) { return on_named_or_all(self, a[0], names().start_all, names().start); }
py::object start_all(py::handle self, const Args &) { return for_each_worker(self, false, names().start); }
py::object stop(py::handle self, const Args &a) { return on_named_or_all(self, a[0], names().stop_all, names().stop); }
py::object stop_all(py::handle self, const Args &) { return for_each_worker(self, true, names().stop); }

py::object reset(py::handle self, const Args &a) {
    return on_named_or_all(self, a[0], names().reset_all, names().reset, a[1]);
}

py::object reset_all(py::handle self, const Args &a) { return for_each_worker(self, false, names().reset, a[0]); }

py::object put_task(py::handle self, const Args &a) { return on_named(self, a[0], names().put, a[1]); }

const FunctionSpec kInit{"__init__", init, {}};
const FunctionSpec kAdd{"add", add, {{"worker", "Worker"}}};
const FunctionSpec kGet{"get", get_worker, {{"name"}}};
const FunctionSpec kStart{"start", start, {{"name", nullptr, "None"}}};
const FunctionSpec kStartAll{"start_all", start_all, {}};
const FunctionSpec kStop{"stop", stop, {{"name", nullptr, "None"}}};
const FunctionSpec kStopAll{"stop_all", stop_all, {}};
const FunctionSpec kReset{"reset", reset, {{"name", nullptr, "None"}, {"clear_job", nullptr, "True"}}};
const FunctionSpec kResetAll{"reset_all", reset_all, {{"clear_job", nullptr, "True"}}};
const FunctionSpec kPutTask{"put_task", put_task, {{"worker_name"}, {"task"}}};

} // namespace

py::object build_WorkerGroup() {
    return ClassDef("WorkerGroup")
        .method(kInit)
        .method(kAdd)
        .method(kGet)
        .method(kStart)
        .method(kStartAll)
        .method(kStop)
        .method(kStopAll)
        .method(kReset)
        .method(kResetAll)
        .method(kPutTask)
        .build();
}

} // namespace fa
