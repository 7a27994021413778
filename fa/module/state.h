// kvo_fa's module state: the interned names and the objects the module
// caches. It belongs to the module object (PyModuleDef m_size, traverse,
// clear and free in init.cpp). The module supports one interpreter and one
// instance, so the hot paths reach the state through the one pointer
// `g_state`, set when the module is executed and reset when it is freed
// (its function objects hold the module, so no method of ours runs after
// that). Guarded by the GIL, as everything here.
#pragma once

#include <Python.h>

#include <pybind11/pybind11.h>

#include <type_traits>

#include "fa/module/names.h"

namespace fa {

// Objects made on first use and kept (each file says why it keeps one).
// clang-format off
#define FA_CACHED_OBJECTS(X) \
    X(motor_format) X(abort_message) X(stop_message) X(no_args) /* records/exceptions.cpp */ \
    X(last_shift) X(last_block) /* backends/fp_machine.cpp */ \
    X(genuine_clock) /* workers/worker_put.cpp */
// clang-format on

// The unbound methods of `_thread.lock` and the type, once found (module/locks.cpp).
struct PlainLock {
    PyTypeObject *type;
    PyObject *acquire;
    PyObject *release;

    void find();
    template <typename... A>
    bool call(PyObject *PlainLock::*method, pybind11::handle lock, pybind11::object &result, A... args);
};

// A recent answer of records/render.cpp's literal(): borrowed from `literals`.
struct LiteralSlot {
    const char *text;
    PyObject *str;
};

struct State {
    Names names;
    PlainLock plain_lock;
    PyObject *literals; // decoded fixed texts by address (records/render.cpp)
    LiteralSlot recent_literals[64];
#define FA_CACHED_FIELD(ident) PyObject *ident;
    FA_CACHED_OBJECTS(FA_CACHED_FIELD)
#undef FA_CACHED_FIELD
};

// The import gives the state zeroed memory and may move it (runtime/module_state.h).
static_assert(std::is_trivially_copyable_v<State>, "the module state is moved with memcpy");

extern State *g_state;

inline Names &names() { return g_state->names; }

inline NameRef::operator PyObject *() const { return names().*field; }

} // namespace fa
