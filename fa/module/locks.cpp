#include "fa/module/locks.h"

#include "fa/module/state.h"

namespace fa {

// The unbound methods of `_thread.lock` (a PlainLock in the module state),
// found once the `_thread` module is loaded (it is by the time `_Lock` makes
// a lock); until then every call takes the lookup. Filled under the GIL
// without any call that could release it, so no other thread sees it
// half-filled.
void PlainLock::find() {
    PyObject *module = PyImport_GetModule(names()._thread); // no import: sys.modules only
    PyObject *found = module ? PyObject_GetAttr(module, names().LockType) : nullptr;
    Py_XDECREF(module);
    if (found && PyType_Check(found) &&
        PyType_HasFeature(reinterpret_cast<PyTypeObject *>(found), Py_TPFLAGS_IMMUTABLETYPE)) {
        auto *lock_type = reinterpret_cast<PyTypeObject *>(found);
        PyObject *acquire_method = compat::type_lookup(lock_type, names().acquire); // borrowed
        PyObject *release_method = compat::type_lookup(lock_type, names().release);
        if (acquire_method && release_method) {
            // Held by the module state, with the type (`found`).
            Py_INCREF(acquire_method);
            Py_INCREF(release_method);
            acquire = acquire_method;
            release = release_method;
            type = lock_type;
            return;
        }
    }
    Py_XDECREF(found);
    PyErr_Clear();
}

// method(lock, args...) into `result` when `lock` is a plain lock;
// false otherwise, and the caller goes through the lock's own lookup.
template <typename... A>
bool PlainLock::call(PyObject *PlainLock::*method, py::handle lock, py::object &result, A... args) {
    if (!type) find();
    if (Py_TYPE(lock.ptr()) != type || !type) return false;
    PyObject *argv[] = {nullptr, lock.ptr(), args...};
    result = steal(PyObject_Vectorcall(this->*method, argv + 1,
                                       (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return true;
}

namespace {

PlainLock &plain() { return g_state->plain_lock; }


} // namespace

bool lock_acquire(py::handle lock) {
    py::object taken;
    if (!plain().call(&PlainLock::acquire, lock, taken)) taken = call_method(lock, names().acquire);
    return bool(taken);
}

int lock_try(py::handle lock, PyObject *blocking, PyObject *timeout) {
    py::object taken;
    if (timeout) {
        if (!plain().call(&PlainLock::acquire, lock, taken, blocking, timeout))
            taken = call_method(lock, names().acquire, blocking, timeout);
    } else if (!plain().call(&PlainLock::acquire, lock, taken, blocking)) {
        taken = call_method(lock, names().acquire, blocking);
    }
    return taken ? truth_of(taken) : -1;
}

bool lock_release(py::handle lock) {
    py::object done;
    if (!plain().call(&PlainLock::release, lock, done)) done = call_method(lock, names().release);
    return bool(done);
}

bool lock_release_if_locked(py::handle lock) {
    py::object done;
    if (plain().call(&PlainLock::release, lock, done)) {
        // A plain lock refuses to release an unlocked lock with a
        // RuntimeError and nothing else: one call where locked() and
        // release() would be two.
        if (done || !PyErr_ExceptionMatches(PyExc_RuntimeError)) return bool(done);
        PyErr_Clear();
        return true;
    }
    py::object locked = call_method(lock, names().locked);
    if (!locked) return false;
    int held = truth_of(locked);
    if (held <= 0) return held == 0;
    return bool(call_method(lock, names().release));
}

} // namespace fa
