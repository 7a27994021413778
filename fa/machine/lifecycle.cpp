// Lifecycle of a machine: start creates the edge-event and updater threads
// (at most one of each), close ends and forgets them and drops the
// snapshots nobody will see, reset clears a fault and restarts.
//
// close waits a moment for the updater's cycle to end by itself; a cycle
// still running then is waiting on a hanging link, and its link transactions
// are interrupted (the link class's interrupt_thread), which ends them within
// a slice without closing the link: an FPMachine's link stays open for the
// program, and the machine's next start refreshes through it as before.
//
// Lifecycle calls on one machine run one at a time: a start that cleared the
// exit flag while a close waited for the updater would keep that wait going
// for ever.
#include "fa/machine/machine_members.h"
#include "fa/machine/machine_support.h"
#include "fa/module/calls.h"
#include "fa/module/locks.h"
#include "fa/module/module.h"
#include "fa/module/state.h"

namespace fa::machine {

namespace {

const NameRef kEehThread{&Names::_MachineBase__eeh_thread};
const NameRef kUpdater{&Names::_MachineBase__updater};

// A healthy cycle and its pause take far less.
constexpr double kUpdaterGrace = 0.2;

// A thread with a target only: no name, no daemon setting, so it takes
// the daemon status of the thread that starts it.
void start_thread_if_missing(py::handle self, PyObject *field, PyObject *target) {
    if (!self.attr(field).is_none()) return;
    py::object thread = name(names()._Thread)(py::arg("target") = self.attr(target));
    self.attr(field) = thread;
    thread.attr(names().start)();
}

// One reentrant lock per machine (reset holds it across its close and
// start), kept beside the machine rather than in its record: address ->
// (weak reference, lock), the entry dropped when the machine goes. Keyed by
// address, not by the machine, whose class may make it unhashable.
PyObject *const lifecycle_locks = PyDict_New();

PyObject *forget_lock(PyObject *key, PyObject *reference) {
    PyObject *entry = PyDict_GetItemWithError(lifecycle_locks, key);
    if (entry && PyTuple_GET_ITEM(entry, 0) == reference && PyDict_DelItem(lifecycle_locks, key) < 0) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kForgetLock = {"_forget_lifecycle_lock", forget_lock, METH_O, nullptr};

py::object lifecycle_lock(py::handle self) {
    if (!lifecycle_locks) raise_current();
    py::object key = checked(PyLong_FromVoidPtr(self.ptr()));
    PyObject *entry = PyDict_GetItemWithError(lifecycle_locks, key.ptr());
    if (entry) {
        PyObject *referent = nullptr;
        if (PyWeakref_GetRef(PyTuple_GET_ITEM(entry, 0), &referent) < 0) raise_current();
        Py_XDECREF(referent); // only compared: self holds it
        if (referent == self.ptr()) return borrow(PyTuple_GET_ITEM(entry, 1));
    } else if (PyErr_Occurred()) {
        raise_current();
    }
    py::object forget = checked(PyCFunction_NewEx(&kForgetLock, key.ptr(), nullptr));
    py::object reference = checked(PyWeakref_NewRef(self.ptr(), forget.ptr()));
    py::object threading = checked(PyImport_ImportModule("threading"));
    py::object lock = checked(PyObject_CallMethod(threading.ptr(), "RLock", nullptr));
    py::object fresh = checked(PyTuple_Pack(2, reference.ptr(), lock.ptr()));
    if (PyDict_SetItem(lifecycle_locks, key.ptr(), fresh.ptr()) < 0) raise_current();
    return lock;
}

// The current thread is this machine's updater or edge-event thread.
bool on_own_thread(py::handle self) {
    py::object threading = checked(PyImport_ImportModule("threading"));
    py::object current = checked(PyObject_CallMethod(threading.ptr(), "current_thread", nullptr));
    return current.is(self.attr(kUpdater)) || current.is(self.attr(kEehThread));
}

// Holds the machine's lifecycle lock, waited for in slices. A start from the
// machine's own thread (an edge handler) while a close elsewhere waits for
// that thread gives way instead: `taken()` is false and the start does nothing.
class Lifecycle {
public:
    Lifecycle(py::handle self, bool giving_way) : lock_(lifecycle_lock(self)) {
        py::object slice = steal(PyFloat_FromDouble(0.05));
        if (!slice) raise_current();
        for (;;) {
            int got = lock_try(lock_, Py_True, slice.ptr());
            if (got < 0) raise_current();
            if (got) break;
            if (giving_way && truth(self.attr(names()._exit_flag)) && on_own_thread(self)) return;
        }
        taken_ = true;
    }
    ~Lifecycle() {
        if (!taken_) return;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (!lock_release(lock_)) PyErr_WriteUnraisable(lock_.ptr());
        PyErr_Restore(type, value, traceback);
    }
    Lifecycle(const Lifecycle &) = delete;
    Lifecycle &operator=(const Lifecycle &) = delete;
    bool taken() const { return taken_; }

private:
    py::object lock_;
    bool taken_ = false;
};

// Thread.join releases the GIL while it waits, so a thread running Python
// code can finish.
void join_and_forget(py::handle self, PyObject *field) {
    py::object thread = self.attr(field);
    if (thread.is_none()) return;
    thread.attr(names().join)();
    self.attr(field) = py::none();
}

py::object start(py::handle self, const Args &) {
    Lifecycle serialised(self, true);
    if (!serialised.taken()) return py::none();
    if (assertions_enabled()) check(!truth(self.attr(names()._exception_flag)));
    self.attr(names()._exit_flag) = py::bool_(false);
    self.attr(names()._stop_flag) = py::bool_(false);
    self.attr(names()._pause_flag) = py::bool_(false);
    start_thread_if_missing(self, kEehThread, names()._eeh_thread_func);
    start_thread_if_missing(self, kUpdater, names()._update);
    return py::none();
}

void drain_snapshots(py::handle self) {
    HeldLock held(self.attr(names()._eeh_lock));
    py::object queue = self.attr(names()._ee_queue);
    py::object empty_error = py::module_::import("queue").attr("Empty");
    while (!truth(queue.attr(names().empty)())) {
        // Without blocking: a thread started meanwhile may take the last one.
        try {
            queue.attr(names().get_nowait)();
        } catch (py::error_already_set &error) {
            if (error.matches(empty_error)) break;
            throw;
        }
    }
}

// Lets the updater's link transactions run again once the thread is gone.
class InterruptedThread {
public:
    InterruptedThread(py::object link_class, py::object ident)
        : link_class_(std::move(link_class)), ident_(std::move(ident)) {
        link_class_.attr("interrupt_thread")(ident_);
    }
    ~InterruptedThread() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyObject *result = PyObject_CallMethod(link_class_.ptr(), "resume_thread", "O", ident_.ptr());
        if (result) Py_DECREF(result);
        else PyErr_WriteUnraisable(link_class_.ptr());
        PyErr_Restore(type, value, traceback);
    }

private:
    py::object link_class_, ident_;
};

void end_updater(py::handle self) {
    py::object thread = self.attr(kUpdater);
    if (thread.is_none()) return;
    thread.attr("join")(kUpdaterGrace);
    py::object link_class = name("_Fp");
    if (truth(thread.attr("is_alive")()) && py::hasattr(link_class, "interrupt_thread")) {
        InterruptedThread interrupted(link_class, thread.attr("ident"));
        thread.attr("join")();
    }
    join_and_forget(self, kUpdater);
}

py::object close(py::handle self, const Args &) {
    Lifecycle serialised(self, false);
    self.attr(names()._exit_flag) = py::bool_(true);
    self.attr(names()._stop_flag) = py::bool_(true);
    end_updater(self);
    join_and_forget(self, kEehThread);
    drain_snapshots(self);
    return py::none();
}

py::object reset(py::handle self, const Args &) {
    Lifecycle serialised(self, false);
    self.attr(names()._MachineBase__exception) = py::none();
    self.attr(names()._exception_flag) = py::bool_(false);
    self.attr(names()._pause_flag) = py::bool_(false);
    self.attr(names().close)();
    self.attr(names().start)();
    return py::none();
}

} // namespace

const FunctionSpec kReset{"reset", reset, {}};
const FunctionSpec kClose{"close", close, {}};
const FunctionSpec kStart{"start", start, {}, nullptr, "如果发生了异常，必须要先执行一下reset，把异常标志清除，才能再次启动。"};

} // namespace fa::machine
