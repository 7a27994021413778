// kvo_handy.Callback: a small multicast callback. It holds callables in
// subscription order (each once); calling it calls each in turn with the
// same arguments. A handler's exception (or a failing comparison while
// subscribing) is set and the member returns null.
#include <pybind11/pybind11.h>

#include "runtime/errors.h"
#include "runtime/function.h"
#include "runtime/module_state.h"
#include "runtime/native_class.h"
#include "runtime/python_compat.h"

namespace py = pybind11;

namespace {

using kvo::rt::Args;
using kvo::rt::FunctionSpec;
using kvo::rt::member;

class Callback {
public:
    Callback() : handlers_(py::reinterpret_steal<py::object>(PyList_New(0))) {}

    // Each of these returns None, or a null result with the Python error set.
    // A comparison runs Python code (`__eq__`), which may subscribe or
    // unsubscribe, even replace the list (unsubscribe_all): the list being
    // searched and the item being compared are held for the comparison.
    py::object subscribe(py::handle fn) {
        py::object searched = handlers_;
        int found = PySequence_Contains(searched.ptr(), fn.ptr());
        if (found < 0) return {};
        // Appended to the list as it stands now, as `self._handlers.append(fn)` would.
        if (!found && PyList_Append(handlers_.ptr(), fn.ptr()) < 0) return {};
        return py::none();
    }
    py::object unsubscribe(py::handle fn) {
        // The first equal one, as list.remove finds it, if there is one.
        py::object list = handlers_;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list.ptr(), i));
            int equal = PyObject_RichCompareBool(item.ptr(), fn.ptr(), Py_EQ);
            if (equal < 0) return {};
            if (!equal) continue;
            // What stands there now, as list.remove takes it out.
            if (i < PyList_GET_SIZE(list.ptr()) && PyList_SetSlice(list.ptr(), i, i + 1, nullptr) < 0) return {};
            break;
        }
        return py::none();
    }
    py::object unsubscribe_all() {
        PyObject *fresh = PyList_New(0);
        if (!fresh) return {};
        handlers_ = py::reinterpret_steal<py::object>(fresh);
        return py::none();
    }
    py::object handlers() const { return py::reinterpret_steal<py::object>(PySequence_List(handlers_.ptr())); }
    py::object call(const Args &args) {
        // A snapshot, so a handler may (un)subscribe while being called.
        py::object snapshot = handlers();
        if (!snapshot) return {};
        PyObject *kwargs = args.kwargs().ptr();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.ptr()); ++i) {
            PyObject *result = PyObject_Call(PyList_GET_ITEM(snapshot.ptr(), i), args.varargs().ptr(), kwargs);
            if (!result) return {};
            Py_DECREF(result);
        }
        return py::none();
    }
    py::object size() const {
        Py_ssize_t n = PyList_GET_SIZE(handlers_.ptr());
        return py::reinterpret_steal<py::object>(PyLong_FromSsize_t(n));
    }

    // The garbage collector's view: the list is the only object held, and
    // emptying it breaks any cycle through a handler referring back here.
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(handlers_.ptr());
        return 0;
    }
    void clear() {
        py::object list = handlers_;  // held while its items go: their finalizers run Python code
        PyList_SetSlice(list.ptr(), 0, PyList_GET_SIZE(list.ptr()), nullptr);
    }

private:
    py::object handlers_;  // an exact list, replaced by unsubscribe_all
};

// Callback instances take part in garbage collection: a handler that refers
// back to its Callback (a bound method of an object holding it, a closure)
// makes a cycle only the collector can free.
void collected(PyHeapTypeObject *heap_type) {
    PyTypeObject *type = &heap_type->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = [](PyObject *self, visitproc visit, void *arg) -> int {
        Py_VISIT(Py_TYPE(self));  // a heap type is held by its instances
        const Callback *callback = kvo::rt::native_if<Callback>(self);
        return callback ? callback->traverse(visit, arg) : 0;
    };
    type->tp_clear = [](PyObject *self) -> int {
        if (Callback *callback = kvo::rt::native_if<Callback>(self)) callback->clear();
        return 0;
    };
}

const FunctionSpec kInit{"__init__",
                         [](py::handle self, const Args &) -> py::object {
                             if (!kvo::rt::adopt<Callback>(self, [] { return new Callback(); })) return {};
                             return py::none();
                         },
                         {}};
const FunctionSpec kSubscribe{"subscribe", member<&Callback::subscribe>, {{"callback"}}, nullptr,
                              "Add `callback`, unless it is subscribed already."};
const FunctionSpec kUnsubscribe{"unsubscribe", member<&Callback::unsubscribe>, {{"callback"}}, nullptr,
                                "Remove `callback`, if it is subscribed."};
const FunctionSpec kUnsubscribeAll{"unsubscribe_all", member<&Callback::unsubscribe_all>, {}, nullptr,
                                   "Remove every callback."};
const FunctionSpec kHandlers{"handlers", member<&Callback::handlers>, {}, nullptr,
                             "A copy of the subscribed callables, in order."};
const FunctionSpec kCall{"__call__", member<&Callback::call>, {kvo::rt::var_args("args"), kvo::rt::var_kwargs("kwargs")},
                         nullptr, "Call every subscribed callable with these arguments, in order."};
const FunctionSpec kLen{"__len__", member<&Callback::size>, {}};

// kvo_handy keeps no objects of its own beyond its namespace: its module
// state is empty (m_size 0), the def is multi-phase all the same.
int exec_module(PyObject *module);

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void *>(kvo::rt::create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    KVO_MODULE_SLOTS_END,
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "kvo_handy", nullptr, 0, nullptr, kSlots, nullptr, nullptr,
                       [](void *module) { kvo::rt::end_module(static_cast<PyObject *>(module)); }};

int exec_module(PyObject *module) {
    int again = kvo::rt::begin_exec(module, &kModule);
    if (again) return again < 0 ? -1 : 0;
    return kvo::rt::run_exec_steps([&] {
        kvo::compat::native_classes_ready();
        py::module_ m = py::reinterpret_borrow<py::module_>(module);
        m.doc() = "Small helpers shared by kvo modules.";
        py::class_<Callback> cls(m, "Callback", "A multicast callback: calling it calls every subscriber in order.",
                                py::custom_type_setup(collected));
        for (const FunctionSpec *spec : {&kInit, &kSubscribe, &kUnsubscribe, &kUnsubscribeAll, &kCall, &kLen})
            kvo::rt::add_method(cls, *spec);
        kvo::rt::add_property(cls, kHandlers);
    });
}

} // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_kvo_handy() { return PyModuleDef_Init(&kModule); }
