// Import of kvo_fa: bind the aliases, then define the classes. Nothing else
// runs at import: no thread, no port, no instance of the module's classes;
// only the exit hook that ends our threads (exit_stop.cpp) is registered.
#include "fa/module/classes.h"
#include "fa/module/exit_stop.h"
#include "fa/module/module.h"
#include "fa/module/runtime.h"
#include "fa/module/state.h"

#include <new>

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

State *state_of(PyObject *module) { return static_cast<State *>(PyModule_GetState(module)); }

int traverse_state(PyObject *module, visitproc visit, void *arg) {
    State *st = state_of(module);
    if (int failed = visit_names(st->names, visit, arg)) return failed;
    Py_VISIT(st->literals);
    Py_VISIT(st->plain_lock.type);
    Py_VISIT(st->plain_lock.acquire);
    Py_VISIT(st->plain_lock.release);
#define FA_CACHED_VISIT(ident) Py_VISIT(st->ident);
    FA_CACHED_OBJECTS(FA_CACHED_VISIT)
#undef FA_CACHED_VISIT
    return 0;
}

// The cached objects go; the names (strings, which take part in no cycle)
// stay until the module is freed, so that code the collector runs while it
// clears the module's cycle (a finalizer of one of our objects) still finds
// them.
int clear_state(PyObject *module) {
    State *st = state_of(module);
    for (LiteralSlot &slot : st->recent_literals) slot = LiteralSlot{};
    Py_CLEAR(st->literals);
    Py_CLEAR(st->plain_lock.type);
    Py_CLEAR(st->plain_lock.acquire);
    Py_CLEAR(st->plain_lock.release);
#define FA_CACHED_CLEAR(ident) Py_CLEAR(st->ident);
    FA_CACHED_OBJECTS(FA_CACHED_CLEAR)
#undef FA_CACHED_CLEAR
    return 0;
}

void free_state(void *module) {
    auto *m = static_cast<PyObject *>(module);
    State *st = state_of(m);
    if (!st) return;
    clear_state(m);
    release_names(st->names);
    if (st == g_state) g_state = nullptr;
    kvo::rt::end_module(m);
}

int exec_module(PyObject *module);

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void *>(kvo::rt::create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    KVO_MODULE_SLOTS_END,
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "kvo_fa", nullptr, sizeof(State), nullptr,
                       kSlots, traverse_state, clear_state, free_state};

int exec_module(PyObject *module) {
    int again = kvo::rt::begin_exec(module, &kModule);
    if (again < 0) return -1;
    g_state = state_of(module);
    if (again) return 0;
    new (g_state) State{};
    return kvo::rt::run_exec_steps([&] {
        if (!init_names(g_state->names)) throw py::error_already_set();
        bind_aliases();
        build_classes();
        if (!register_exit_stop(module)) throw py::error_already_set();
    });
}

} // namespace

// The one pointer to the live instance's state (state.h).
State *g_state = nullptr;

} // namespace fa

extern "C" PYBIND11_EXPORT PyObject *PyInit_kvo_fa() { return PyModuleDef_Init(&fa::kModule); }
