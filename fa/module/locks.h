// Taking and giving back the locks of machines and workers. The locks are
// whatever the module's `_Lock` alias made; when a lock is exactly the
// standard library's lock (or re-entrant lock) type, its own C acquire and
// release run directly, without the method lookup and call machinery. Any
// other lock object is called through its methods as usual.
#pragma once

#include <Python.h>

namespace fa {

// Notes the standard lock types at import; false with the Python error set.
bool init_locks();

// lock.acquire(): true once held, false with the Python error set.
bool acquire_lock(PyObject *lock);

// lock.release(): false with the Python error set.
bool release_lock(PyObject *lock);

} // namespace fa
