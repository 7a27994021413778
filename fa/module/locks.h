// Calls on the locks of machines and workers, in the null-result convention
// of calls.h. A lock is whatever `_Lock()` made; any other kind of lock is
// driven through its own methods. A plain `_thread.lock` (the usual case)
// skips the per-call method lookup: its method descriptors are called
// directly (its type is immutable, so they stay its own), and where the
// interpreter's lock record is known a free lock is taken and released
// without a call at all.
#pragma once

#include "fa/module/calls.h"

namespace fa {

// lock.acquire(): true, or false with the error set.
bool lock_acquire(py::handle lock);
// lock.acquire(blocking[, timeout]): 1 taken, 0 not, -1 with the error set.
int lock_try(py::handle lock, PyObject *blocking, PyObject *timeout = nullptr);
// lock.release(): true, or false with the error set.
bool lock_release(py::handle lock);
// `if lock.locked(): lock.release()`: true, or false with the error set.
bool lock_release_if_locked(py::handle lock);

} // namespace fa
