// The module a copy of the runtime serves. Each of the three extension
// modules links its own copy of the runtime, so each has its own function
// type ("kvo_fa.function", "kvo_mew.function", ...) and its own namespace
// in which the parameter tables' annotations and defaults are evaluated.
#pragma once

#include <pybind11/pybind11.h>

namespace kvo::rt {

namespace py = pybind11;

// Called once at import, first: keeps the module (modules are never
// unloaded) and readies the function type under the module's name.
void init_module(py::handle module);

// The module's namespace and name.
py::dict module_dict();
// The namespace as a borrowed pointer, for the lookups made at every use.
PyObject *module_namespace();
const char *module_name();

} // namespace kvo::rt
