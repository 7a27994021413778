#include "fa/module/locks.h"

#include "fa/module/names.h"

namespace fa {

namespace {

// One standard lock type and the C functions of its two methods.
struct StandardLock {
    PyTypeObject *type = nullptr;
    PyCFunctionWithKeywords acquire = nullptr; // METH_VARARGS | METH_KEYWORDS
    PyCFunction release = nullptr;             // METH_NOARGS
};

StandardLock plain, reentrant;

PyMethodDef *method_of(PyTypeObject *type, PyObject *name, int flags) {
    PyObject *descr = _PyType_Lookup(type, name); // borrowed
    if (!descr || Py_TYPE(descr) != &PyMethodDescr_Type) return nullptr;
    PyMethodDef *def = reinterpret_cast<PyMethodDescrObject *>(descr)->d_method;
    return (def->ml_flags & ~METH_COEXIST) == flags ? def : nullptr;
}

// The lock type made by `factory`; a type whose methods do not have the
// expected shape is left to the general path.
bool note(StandardLock &lock, const char *factory) {
    PyObject *thread = PyImport_ImportModule("_thread");
    if (!thread) return false;
    PyObject *made = PyObject_CallMethod(thread, factory, nullptr);
    Py_DECREF(thread);
    if (!made) return false;
    PyTypeObject *type = Py_TYPE(made);
    PyMethodDef *acquire = method_of(type, names.acquire, METH_VARARGS | METH_KEYWORDS);
    PyMethodDef *release = method_of(type, names.release, METH_NOARGS);
    if (acquire && release) {
        Py_INCREF(type);
        lock.type = type;
        lock.acquire = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(acquire->ml_meth));
        lock.release = release->ml_meth;
    }
    Py_DECREF(made);
    return true;
}

const StandardLock *standard(PyObject *lock) {
    if (Py_TYPE(lock) == plain.type) return &plain;
    if (Py_TYPE(lock) == reentrant.type) return &reentrant;
    return nullptr;
}

PyObject *no_args() {
    static PyObject *empty = PyTuple_New(0);
    return empty;
}

} // namespace

bool init_locks() { return note(plain, "allocate_lock") && note(reentrant, "RLock") && no_args(); }

bool acquire_lock(PyObject *lock) {
    PyObject *result;
    if (const StandardLock *known = standard(lock))
        result = known->acquire(lock, no_args(), nullptr);
    else
        result = PyObject_VectorcallMethod(names.acquire, &lock, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!result) return false;
    Py_DECREF(result);
    return true;
}

bool release_lock(PyObject *lock) {
    PyObject *result;
    if (const StandardLock *known = standard(lock))
        result = known->release(lock, nullptr);
    else
        result = PyObject_VectorcallMethod(names.release, &lock, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!result) return false;
    Py_DECREF(result);
    return true;
}

} // namespace fa
