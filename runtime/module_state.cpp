// The module served by this copy of the runtime (module_state.h).
#include "runtime/module_state.h"

#include "runtime/errors.h"
#include "runtime/function.h"

namespace kvo::rt {

namespace {
// Owned for the life of the process: the module object outlives every call.
PyObject *g_module = nullptr;
const char *g_name = "";
} // namespace

void init_module(py::handle module) {
    Py_XINCREF(module.ptr());
    g_module = module.ptr();
    g_name = PyModule_GetName(module.ptr());
    if (!g_name) raise_current();
    init_function_type();
}

py::dict module_dict() { return py::reinterpret_borrow<py::dict>(PyModule_GetDict(g_module)); }

PyObject *module_namespace() { return PyModule_GetDict(g_module); }

const char *module_name() { return g_name; }

} // namespace kvo::rt
