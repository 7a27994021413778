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

// The release of a lock held for a scope, while an error may travel: kept
// aside, and a failing release reported (a Ctrl-C stays pending).
void release_keeping_error(py::handle lock) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!lock_release(lock)) kvo::rt::write_unraisable_for(lock);
    PyErr_Restore(type, value, traceback);
}

// A thread with a target only: no name, no daemon setting, so it takes
// the daemon status of the thread that starts it. False with the error set.
bool start_thread_if_missing(py::handle self, PyObject *field, PyObject *target) {
    py::object existing = get(self, field);
    if (!existing) return false;
    if (!existing.is_none()) return true;
    py::object thread_class = global(names()._Thread);
    if (!thread_class) return false;
    py::object body = get(self, target);
    py::object keywords = body ? steal(PyTuple_Pack(1, names().target)) : body;
    if (!keywords) return false;
    PyObject *argv[] = {nullptr, body.ptr()};
    py::object thread =
        steal(PyObject_Vectorcall(thread_class.ptr(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.ptr()));
    return thread && set(self, field, thread) && call_method(thread, names().start);
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

// The machine's lifecycle lock, made on first use; null with the error set.
py::object lifecycle_lock(py::handle self) {
    if (!lifecycle_locks) return fail(PyExc_MemoryError, "no lifecycle lock table");
    py::object key = steal(PyLong_FromVoidPtr(self.ptr()));
    if (!key) return {};
    PyObject *entry = PyDict_GetItemWithError(lifecycle_locks, key.ptr());
    if (entry) {
        PyObject *referent = nullptr;
        if (PyWeakref_GetRef(PyTuple_GET_ITEM(entry, 0), &referent) < 0) return {};
        Py_XDECREF(referent); // only compared: self holds it
        if (referent == self.ptr()) return borrow(PyTuple_GET_ITEM(entry, 1));
    } else if (PyErr_Occurred()) {
        return {};
    }
    py::object forget = steal(PyCFunction_NewEx(&kForgetLock, key.ptr(), nullptr));
    py::object reference = forget ? steal(PyWeakref_NewRef(self.ptr(), forget.ptr())) : forget;
    py::object threading = reference ? steal(PyImport_Import(names().threading)) : reference;
    py::object lock = threading ? call_method(threading, names().RLock) : threading;
    py::object fresh = lock ? steal(PyTuple_Pack(2, reference.ptr(), lock.ptr())) : lock;
    if (!fresh || PyDict_SetItem(lifecycle_locks, key.ptr(), fresh.ptr()) < 0) return {};
    return lock;
}

// Whether the current thread is this machine's updater or edge-event
// thread: 1, 0 or -1 with the error set.
int on_own_thread(py::handle self) {
    py::object threading = steal(PyImport_Import(names().threading));
    py::object current = threading ? call_method(threading, names().current_thread) : threading;
    if (!current) return -1;
    for (PyObject *field : {kUpdater, kEehThread}) {
        py::object thread = get(self, field);
        if (!thread) return -1;
        if (current.is(thread)) return 1;
    }
    return 0;
}

// Holds the machine's lifecycle lock, waited for in slices. A start from the
// machine's own thread (an edge handler) while a close elsewhere waits for
// that thread gives way instead.
class Lifecycle {
public:
    Lifecycle() = default;
    ~Lifecycle() {
        if (taken_) release_keeping_error(lock_);
    }
    Lifecycle(const Lifecycle &) = delete;
    Lifecycle &operator=(const Lifecycle &) = delete;

    // 1 taken, 0 given way, -1 with the error set.
    int take(py::handle self, bool giving_way) {
        lock_ = lifecycle_lock(self);
        py::object slice = lock_ ? steal(PyFloat_FromDouble(0.05)) : lock_;
        if (!slice) return -1;
        for (;;) {
            int got = lock_try(lock_, Py_True, slice.ptr());
            if (got < 0) return -1;
            if (got) break;
            if (!giving_way) continue;
            int closing = truth_or_error(get(self, names()._exit_flag));
            if (closing < 0) return -1;
            int own = closing ? on_own_thread(self) : 0;
            if (own) return own < 0 ? -1 : 0;
        }
        taken_ = true;
        return 1;
    }

private:
    py::object lock_;
    bool taken_ = false;
};

// Thread.join releases the GIL while it waits, so a thread running Python
// code can finish. False with the error set.
bool join_and_forget(py::handle self, PyObject *field) {
    py::object thread = get(self, field);
    if (!thread) return false;
    if (thread.is_none()) return true;
    return call_method(thread, names().join) && set(self, field, Py_None);
}

py::object start(py::handle self, const Args &) {
    Lifecycle serialised;
    int taken = serialised.take(self, true);
    if (taken <= 0) return taken < 0 ? py::object() : none();
    if (assertions_enabled()) {
        int faulted = truth_or_error(get(self, names()._exception_flag));
        if (faulted < 0 || !assertion(!faulted)) return {};
    }
    if (!set_bool(self, names()._exit_flag, false) || !set_bool(self, names()._stop_flag, false) ||
        !set_bool(self, names()._pause_flag, false))
        return {};
    if (!start_thread_if_missing(self, kEehThread, names()._eeh_thread_func) ||
        !start_thread_if_missing(self, kUpdater, names()._update))
        return {};
    return none();
}

bool drain_snapshots(py::handle self) {
    HeldLock held(get(self, names()._eeh_lock));
    if (!held) return false;
    py::object queue = get(self, names()._ee_queue);
    py::object queue_module = queue ? steal(PyImport_Import(names().queue)) : queue;
    py::object empty_error = queue_module ? get(queue_module, names().Empty) : queue_module;
    if (!empty_error) return false;
    for (;;) {
        int empty = truth_or_error(call_method(queue, names().empty));
        if (empty) return empty > 0;
        // Without blocking: a thread started meanwhile may take the last one.
        if (call_method(queue, names().get_nowait)) continue;
        if (!PyErr_ExceptionMatches(empty_error.ptr())) return false;
        PyErr_Clear();
        return true;
    }
}

// hasattr(obj, name): 1, 0, or -1 with an error other than AttributeError.
int has_attribute(py::handle obj, PyObject *name) {
    if (py::object found = get(obj, name)) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// The updater's link transactions are interrupted while close waits for the
// thread, and may run again once it is gone (whatever the wait met).
bool join_interrupted(py::handle thread, py::handle link_class) {
    py::object ident = get(thread, names().ident);
    if (!ident || !call_method(link_class, names().interrupt_thread, ident)) return false;
    bool joined = bool(call_method(thread, names().join));
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!call_method(link_class, names().resume_thread, ident)) kvo::rt::write_unraisable_for(link_class);
    PyErr_Restore(type, value, traceback);
    return joined;
}

// Made once: how long close waits for a cycle to end by itself.
PyObject *const kUpdaterGraceSeconds = PyFloat_FromDouble(kUpdaterGrace);

bool end_updater(py::handle self) {
    py::object thread = get(self, kUpdater);
    if (!thread) return false;
    if (thread.is_none()) return true;
    if (!call_method(thread, names().join, kUpdaterGraceSeconds)) return false;
    py::object link_class = global(names()._Fp);
    if (!link_class) return false;
    int alive = truth_or_error(call_method(thread, names().is_alive));
    if (alive < 0) return false;
    int interruptible = alive ? has_attribute(link_class, names().interrupt_thread) : 0;
    if (interruptible < 0 || (interruptible && !join_interrupted(thread, link_class))) return false;
    return join_and_forget(self, kUpdater);
}

py::object close(py::handle self, const Args &) {
    Lifecycle serialised;
    if (serialised.take(self, false) < 0) return {};
    if (!set_bool(self, names()._exit_flag, true) || !set_bool(self, names()._stop_flag, true)) return {};
    if (!end_updater(self) || !join_and_forget(self, kEehThread) || !drain_snapshots(self)) return {};
    return none();
}

py::object reset(py::handle self, const Args &) {
    Lifecycle serialised;
    if (serialised.take(self, false) < 0) return {};
    if (!set(self, names()._MachineBase__exception, Py_None) || !set_bool(self, names()._exception_flag, false) ||
        !set_bool(self, names()._pause_flag, false))
        return {};
    if (!call_method(self, names().close) || !call_method(self, names().start)) return {};
    return none();
}

} // namespace

const FunctionSpec kReset{"reset", reset, {}};
const FunctionSpec kClose{"close", close, {}};
const FunctionSpec kStart{"start", start, {}, nullptr, "如果发生了异常，必须要先执行一下reset，把异常标志清除，才能再次启动。"};

} // namespace fa::machine
