// Calls on a worker's station lock, in the null-result convention of
// calls.h. The lock is whatever `_Lock()` made, so every operation goes
// through its methods; a plain `_thread.lock` (the usual case) has its
// method descriptors called directly, skipping the per-call method lookup.
// Its type is immutable, so the descriptors found once stay its own.
#pragma once

#include "fa/module/calls.h"

namespace fa::worker {

// lock.acquire(): true, or false with the error set.
bool lock_acquire(py::handle lock);
// lock.acquire(blocking[, timeout]): 1 taken, 0 not, -1 with the error set.
int lock_try(py::handle lock, PyObject *blocking, PyObject *timeout = nullptr);
// lock.release(): true, or false with the error set.
bool lock_release(py::handle lock);
// `if lock.locked(): lock.release()`: true, or false with the error set.
bool lock_release_if_locked(py::handle lock);

} // namespace fa::worker
