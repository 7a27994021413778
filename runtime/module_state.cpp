// The module served by this copy of the runtime (module_state.h).
#include "runtime/module_state.h"

#include <cstring>

#include "runtime/errors.h"
#include "runtime/function.h"

namespace kvo::rt {

namespace {
// The live instance, borrowed: its function objects hold it (function.cpp),
// so it outlives every class and method made from it, and m_free resets
// these before its memory goes. Guarded by the GIL.
PyObject *g_module = nullptr;
void *g_state = nullptr; // the instance's state memory, as its exec found it
PyInterpreterState *g_interpreter = nullptr;
const char *g_name = "";
} // namespace

PyObject *create_module(PyObject *spec, PyModuleDef *def) {
    if (g_module) {
        if (PyInterpreterState_Get() != g_interpreter) {
            PyErr_Format(PyExc_ImportError, "%s cannot be loaded in a second interpreter", def->m_name);
            return nullptr;
        }
        return Py_NewRef(g_module);
    }
    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

int begin_exec(PyObject *module, PyModuleDef *def) {
    void *state = PyModule_GetState(module);
    if (g_module == module) {
        // Handed out again by create_module: the import gave the module new
        // zeroed state memory; the objects are still in the old memory.
        if (state != g_state) {
            if (state && g_state) std::memcpy(state, g_state, size_t(def->m_size));
            PyMem_Free(g_state);
            g_state = state;
        }
        return 1;
    }
    if (g_module) {
        PyErr_Format(PyExc_ImportError, "%s is loaded already: one instance per process", def->m_name);
        return -1;
    }
    try {
        init_function_type();
    } catch (py::error_already_set &e) {
        e.restore();
        return -1;
    }
    g_module = module;
    ++g_module_instance;
    g_state = state;
    g_interpreter = PyInterpreterState_Get();
    g_name = def->m_name; // static text, unlike the module's name object
    return 0;
}

void end_module(PyObject *module) {
    if (module != g_module) return;
    g_module = nullptr;
    g_state = nullptr;
    g_interpreter = nullptr;
}

PyObject *live_module() { return g_module; }

unsigned g_module_instance = 0;

py::dict module_dict() { return py::reinterpret_borrow<py::dict>(PyModule_GetDict(g_module)); }

PyObject *module_namespace() { return PyModule_GetDict(g_module); }

const char *module_name() { return g_name; }

int run_exec_steps(const std::function<void()> &steps) {
    try {
        steps();
    } catch (py::error_already_set &e) {
        e.restore();
        return -1;
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return -1;
    }
    return 0;
}

} // namespace kvo::rt
