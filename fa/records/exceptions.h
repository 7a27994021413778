// Building a fault of the exception family from C++, as the fault raisers
// do many times over: new_exception(names().XException, own_x_init, ...) is
// `XException(...)` with the class looked up as a module name at each use.
//
// While the class is a plain class over a built-in exception __new__ whose
// __init__ is still our own, the instance is made by that __new__ and our
// __init__ body runs directly, which is all that calling the class would
// do; a replaced class, a patched __init__ or a subclass's own __init__ is
// called through Python exactly as before.
#pragma once

#include "fa/module/calls.h"
#include "fa/module/dispatch.h"

namespace fa {

// The constructors of the machine faults, for the dispatch guard.
extern OwnMethod own_cylinder_init;
extern OwnMethod own_dy_cylinder_init;
extern OwnMethod own_vacuum_init;
extern OwnMethod own_motor_init;
extern OwnMethod own_x_init;
extern OwnMethod own_tco_init;

// `cls` as a type whose call is the plain one described above, or null.
PyTypeObject *plain_exception_class(PyObject *cls, OwnMethod &init);

// type.__new__ of a plain exception class: the instance before __init__.
py::object new_instance(PyTypeObject *type);

// cls(args...), cls the module name `cls_name` as it stands now.
template <typename... A>
py::object new_exception(PyObject *cls_name, OwnMethod &init, A... args) {
    py::object cls = global(cls_name);
    if (!cls) return cls;
    PyTypeObject *type = plain_exception_class(cls.ptr(), init);
    if (!type) return call(cls, args...);
    py::object made = new_instance(type);
    if (!made || !PyObject_TypeCheck(made.ptr(), type)) return made;
    if (!init.direct(made, args...)) return {};
    return made;
}

} // namespace fa
