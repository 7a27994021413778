// WorkerGroup: the directory of a machine's stations. Two parallel lists
// (names and workers, in registration order); jobs are routed by name.
// Workers are started first to last and stopped last to first.
#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"
#include "fa/module/names.h"
#include "fa/workers/worker.h"

namespace fa {

namespace {

py::object init(py::handle self, const Args &) {
    self.attr(names._names) = py::list();
    self.attr(names._workers) = py::list();
    return py::none();
}

// `name in self._names`, required: true when the call goes on, false with
// the error set (the bare AssertionError of a name not found among them).
bool registered(py::handle self, py::handle name, bool expected) {
    py::object names_list = get(self, names._names);
    int found = names_list ? PySequence_Contains(names_list.ptr(), name.ptr()) : -1;
    return found >= 0 && worker::asserted((found == 1) == expected);
}

py::object add(py::handle self, const Args &a) {
    py::object worker_name = get(a[0], names.name);
    if (!worker_name || !registered(self, worker_name, false)) return {};
    py::object names_list = get(self, names._names);
    if (!names_list || !call_method(names_list, names.append, worker_name)) return {};
    py::object workers = get(self, names._workers);
    if (!workers || !call_method(workers, names.append, a[0])) return {};
    return none();
}

py::object get_worker(py::handle self, const Args &a) {
    if (!registered(self, a[0], true)) return {};
    // Under -O an unknown name fails here with list.index's ValueError.
    py::object names_list = get(self, names._names);
    py::object index = names_list ? call_method(names_list, names.index, a[0]) : names_list;
    if (!index) return {};
    py::object workers = get(self, names._workers);
    return workers ? call_method(workers, names.__getitem__, index) : workers;
}

// Calls `method(args...)` on each worker, first to last or last to first.
// A snapshot of the list is walked, as a for-loop over a copy would.
template <typename... A>
void for_each_worker(py::handle self, bool reverse, PyObject *method, A &&...args) {
    py::list workers = new_list(self.attr(names._workers));
    if (reverse && PyList_Reverse(workers.ptr()) < 0) raise_current();
    for (py::handle worker : workers) worker.attr(method)(std::forward<A>(args)...);
}

py::object start(py::handle self, const Args &a) {
    if (a[0].is_none())
        self.attr(names.start_all)();
    else
        self.attr(names.get)(a[0]).attr(names.start)();
    return py::none();
}

py::object start_all(py::handle self, const Args &) {
    for_each_worker(self, false, names.start);
    return py::none();
}

py::object stop(py::handle self, const Args &a) {
    if (a[0].is_none())
        self.attr(names.stop_all)();
    else
        self.attr(names.get)(a[0]).attr(names.stop)();
    return py::none();
}

py::object stop_all(py::handle self, const Args &) {
    for_each_worker(self, true, names.stop);
    return py::none();
}

py::object reset(py::handle self, const Args &a) {
    if (!a[0].is_none())
        self.attr(names.get)(a[0]).attr(names.reset)(a[1]);
    else
        self.attr(names.reset_all)(a[1]);
    return py::none();
}

py::object reset_all(py::handle self, const Args &a) {
    for_each_worker(self, false, names.reset, a[0]);
    return py::none();
}

py::object put_task(py::handle self, const Args &a) {
    py::object worker = call_method(self, names.get, a[0]);
    if (!worker || !call_method(worker, names.put, a[1])) return {};
    return none();
}

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
