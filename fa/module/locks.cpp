#include "fa/module/locks.h"

#include <semaphore.h>

namespace fa {

namespace {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
// The record of a `_thread.lock` in this interpreter version. Taking a
// free lock through its methods costs more than the work most holders do
// under it (acquire parses its optional arguments on every call), so a
// free lock is taken here the way its own acquire first tries it: without
// waiting, under the GIL, marking it locked. Used only when the type's size
// matches this record; a lock that is not free, and every other case, goes
// through the methods.
struct LockRecord {
    PyObject_HEAD
    PyThread_type_lock lock_lock;
    PyObject *in_weakreflist;
    char locked;
};
constexpr Py_ssize_t kLockRecordSize = sizeof(LockRecord);
#else
struct LockRecord {
    PyThread_type_lock lock_lock;
    char locked;
};
constexpr Py_ssize_t kLockRecordSize = -1; // unknown layout: methods only
#endif

// sys.thread_info.lock == "semaphore": the interpreter's locks are POSIX
// semaphores (sem_t *), taken with sem_wait and given back with sem_post.
bool locks_are_semaphores() {
    PyObject *info = PySys_GetObject("thread_info"); // borrowed
    PyObject *kind = info ? PyObject_GetAttrString(info, "lock") : nullptr;
    bool semaphores = kind && PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "semaphore") == 0;
    Py_XDECREF(kind);
    PyErr_Clear();
    return semaphores;
}

// The unbound methods of `_thread.lock`, found once the `_thread` module is
// loaded (it is by the time `_Lock` makes a lock); until then every call
// takes the lookup. Filled under the GIL without any call that could release
// it, so no other thread sees it half-filled.
struct PlainLock {
    PyTypeObject *type = nullptr;
    PyObject *acquire = nullptr;
    PyObject *release = nullptr;
    bool known_layout = false;
    bool semaphore = false; // each lock's PyThread_type_lock is a POSIX semaphore

    void find() {
        PyObject *module = PyImport_GetModule(names._thread); // no import: sys.modules only
        PyObject *found = module ? PyObject_GetAttr(module, names.LockType) : nullptr;
        Py_XDECREF(module);
        if (found && PyType_Check(found) &&
            PyType_HasFeature(reinterpret_cast<PyTypeObject *>(found), Py_TPFLAGS_IMMUTABLETYPE)) {
            auto *lock_type = reinterpret_cast<PyTypeObject *>(found);
            PyObject *acquire_method = _PyType_Lookup(lock_type, names.acquire); // borrowed
            PyObject *release_method = _PyType_Lookup(lock_type, names.release);
            if (acquire_method && release_method) {
                // Kept for the life of the process, like the type itself.
                Py_INCREF(acquire_method);
                Py_INCREF(release_method);
                acquire = acquire_method;
                release = release_method;
                type = lock_type;
                known_layout = lock_type->tp_basicsize == kLockRecordSize;
                semaphore = known_layout && locks_are_semaphores();
                return;
            }
        }
        Py_XDECREF(found);
        PyErr_Clear();
    }

    // The record of `lock` when it is a plain lock of the known layout.
    LockRecord *record(py::handle lock) {
        if (!type) find();
        return known_layout && Py_TYPE(lock.ptr()) == type ? reinterpret_cast<LockRecord *>(lock.ptr()) : nullptr;
    }

    // Takes a free plain lock at once; false when it is not one.
    bool take_free(py::handle lock) {
        LockRecord *held = record(lock);
        if (!held) return false;
        // A try without waiting, as the lock's own first try: the semaphore
        // itself when the interpreter's locks are semaphores (the host's
        // timed acquire reads the clock even for a try), else the host's.
        if (semaphore ? sem_trywait(reinterpret_cast<sem_t *>(held->lock_lock)) != 0
                      : PyThread_acquire_lock_timed(held->lock_lock, 0, 0) != PY_LOCK_ACQUIRED)
            return false;
        held->locked = 1;
        return true;
    }

    // Releases a held plain lock; false when it is not one.
    bool give_back(py::handle lock) {
        LockRecord *held = record(lock);
        if (!held || !held->locked) return false;
        held->locked = 0;
        PyThread_release_lock(held->lock_lock);
        return true;
    }

    // method(lock, args...) into `result` when `lock` is a plain lock;
    // false otherwise, and the caller goes through the lock's own lookup.
    template <typename... A>
    bool call(PyObject *PlainLock::*method, py::handle lock, py::object &result, A... args) {
        if (!type) find();
        if (Py_TYPE(lock.ptr()) != type || !type) return false;
        PyObject *argv[] = {nullptr, lock.ptr(), args...};
        result = steal(PyObject_Vectorcall(this->*method, argv + 1,
                                           (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        return true;
    }
};

PlainLock plain;

} // namespace

bool lock_acquire(py::handle lock) {
    if (plain.take_free(lock)) return true;
    py::object taken;
    if (!plain.call(&PlainLock::acquire, lock, taken)) taken = call_method(lock, names.acquire);
    return bool(taken);
}

int lock_try(py::handle lock, PyObject *blocking, PyObject *timeout) {
    if (plain.take_free(lock)) return 1;
    py::object taken;
    if (timeout) {
        if (!plain.call(&PlainLock::acquire, lock, taken, blocking, timeout))
            taken = call_method(lock, names.acquire, blocking, timeout);
    } else if (!plain.call(&PlainLock::acquire, lock, taken, blocking)) {
        taken = call_method(lock, names.acquire, blocking);
    }
    return taken ? truth_of(taken) : -1;
}

bool lock_release(py::handle lock) {
    if (plain.give_back(lock)) return true;
    py::object done;
    if (!plain.call(&PlainLock::release, lock, done)) done = call_method(lock, names.release);
    return bool(done);
}

bool lock_release_if_locked(py::handle lock) {
    if (LockRecord *held = plain.record(lock)) {
        if (held->locked) plain.give_back(lock);
        return true;
    }
    py::object done;
    if (plain.call(&PlainLock::release, lock, done)) {
        // A plain lock refuses to release an unlocked lock with a
        // RuntimeError and nothing else: one call where locked() and
        // release() would be two.
        if (done || !PyErr_ExceptionMatches(PyExc_RuntimeError)) return bool(done);
        PyErr_Clear();
        return true;
    }
    py::object locked = call_method(lock, names.locked);
    if (!locked) return false;
    int held = truth_of(locked);
    if (held <= 0) return held == 0;
    return bool(call_method(lock, names.release));
}

} // namespace fa
