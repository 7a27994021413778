// Import of kvo_fa: bind the aliases, then define the classes. Nothing else
// runs at import: no thread, no port, no instance of the module's classes;
// only the exit hook that ends our threads (exit_stop.cpp) is registered.
#include "fa/module/classes.h"
#include "fa/module/exit_stop.h"
#include "fa/module/module.h"
#include "fa/module/names.h"
#include "fa/module/runtime.h"

namespace fa {

namespace {

struct Alias {
    const char *alias;
    const char *module;
    const char *object;
};

// Bound in this order; a failure aborts the import and binds nothing later.
const Alias kAliases[] = {
    {"_Lock", "threading", "Lock"},
    {"_Thread", "threading", "Thread"},
    {"_Event", "threading", "Event"},
    {"_Queue", "queue", "Queue"},
    {"_sleep", "time", "sleep"},
    {"_now", "time", "time"},
    {"_inf", "math", "inf"},
    {"_ABC", "abc", "ABC"},
    {"_abstractmethod", "abc", "abstractmethod"},
    {"_Fp", "kvo_mew", "VedUzavur"},
    {"_Callback", "kvo_handy", "Callback"},
    {"_Union", "typing", "Union"},
    {"_Sequence", "typing", "Sequence"},
    {"_Callable", "typing", "Callable"},
};

void bind_aliases() {
    py::dict ns = module_dict();
    for (const Alias &a : kAliases) {
        py::module_ mod = py::module_::import(a.module);
        if (!py::hasattr(mod, a.object))
            raise(PyExc_ImportError, "cannot import name '%s' from '%s'", a.object, a.module);
        ns[a.alias] = mod.attr(a.object);
    }
}

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "kvo_fa", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

} // namespace

} // namespace fa

extern "C" PYBIND11_EXPORT PyObject *PyInit_kvo_fa() {
    PyObject *module = PyModule_Create(&fa::kModule);
    if (!module) return nullptr;
    if (kvo::compat::declare_gil_used(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    try {
        if (!fa::init_names()) throw py::error_already_set();
        kvo::rt::init_module(module);
        fa::bind_aliases();
        fa::build_classes();
        if (!fa::register_exit_stop(module)) throw py::error_already_set();
    } catch (py::error_already_set &e) {
        e.restore();
        Py_DECREF(module);
        return nullptr;
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
