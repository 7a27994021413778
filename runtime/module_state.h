// The module a copy of the runtime serves. Each of the three extension
// modules links its own copy of the runtime, so each has its own function
// type ("kvo_fa.function", "kvo_mew.function", ...) and its own namespace
// in which the parameter tables' annotations and defaults are evaluated.
//
// Each module keeps its objects in its module state (PyModuleDef.m_size),
// made by multi-phase initialisation. A module supports one interpreter and
// one instance per process: its hot paths reach the state through one
// pointer set when the module is executed (its own State header says which),
// not through the module object. A second import (after del sys.modules,
// say) is handed the live instance, as pybind11 does for its own modules;
// only once the instance has been freed does an import make a new one.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace kvo::rt {

namespace py = pybind11;

// Py_mod_create: the live instance, or a new module named by the spec.
// ImportError from an interpreter other than the one holding the instance.
PyObject *create_module(PyObject *spec, PyModuleDef *def);

// The first step of Py_mod_exec. 0: `module` is new and now the live
// instance, with its function type ready; go on and fill its state.
// 1: `module` is the live instance handed out again; its state is in place
// (moved into the memory the import gave it, if the import gave new
// memory) and there is nothing else to do. -1 with the error set.
int begin_exec(PyObject *module, PyModuleDef *def);

// The rest of Py_mod_exec, the import-time code that builds classes and
// may throw (errors.h): 0, or -1 with the error set, a C++ failure given
// as an ImportError.
int run_exec_steps(const std::function<void()> &steps);

// m_free: the live instance is gone; the next import makes a new one.
void end_module(PyObject *module);

// The live instance (borrowed), null before exec and after m_free.
PyObject *live_module();

// Which instance is live: 1 for the first made in the process, then one
// more for each new one, for caches that must not outlive an instance's
// classes.
extern unsigned g_module_instance;
inline unsigned module_instance() { return g_module_instance; }

// The module's namespace and name.
py::dict module_dict();
// The namespace as a borrowed pointer, for the lookups made at every use.
PyObject *module_namespace();
const char *module_name();

} // namespace kvo::rt
