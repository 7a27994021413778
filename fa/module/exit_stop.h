// The interpreter-exit hook of exit_stop.cpp.
#pragma once

#include <Python.h>

namespace fa {

// Registers the hook with atexit; false with the error set.
bool register_exit_stop(PyObject *module);

} // namespace fa
