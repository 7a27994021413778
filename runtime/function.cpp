// The function type of function.h: binding, the call boundary, and the
// attributes that make our functions look like Python's to inspect.
#include "runtime/function.h"

#include "runtime/errors.h"
#include "runtime/module_state.h"

#include <structmember.h>

#include <cxxabi.h>

#include <cstring>
#include <exception>
#include <string>

namespace kvo::rt {

namespace {

enum class Rule : unsigned char { None, ExactStr, ExactList, ExceptionInstance, Float };

Rule rule_of(const char *annotation) {
    if (!annotation) return Rule::None;
    if (!std::strcmp(annotation, "str")) return Rule::ExactStr;
    if (!std::strcmp(annotation, "list")) return Rule::ExactList;
    if (!std::strcmp(annotation, "Exception")) return Rule::ExceptionInstance;
    if (!std::strcmp(annotation, "float")) return Rule::Float;
    return Rule::None;
}

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;
    PyObject *defaults;  // tuple for the trailing parameters with defaults, or None
    PyObject *dict;
    PyObject *signature; // built on first use
    PyObject *weakrefs;
    // The module instance the function was made for, held so that the module
    // and its state outlive every class and method made from them; kept by
    // clear (the module's own clear breaks the cycle through its dict).
    PyObject *owner_module;
    // Derived from the parameter table once: the named parameters (self first for
    // methods), their rules, and where *args / **kwargs go.
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
    Py_ssize_t ndefaults;
    bool has_varargs;
    bool has_varkw;
    bool plain; // no extras and no parameter rule: the fast binding applies
    const char *param_names[kMaxParams];
    Rule rules[kMaxParams];
};

PyTypeObject FunctionType;

} // namespace

void Args::release() {
    for (size_t i = 0; i < nowned_; ++i) Py_DECREF(owned_[i]);
    Py_XDECREF(varargs_);
    Py_XDECREF(kwargs_);
}

py::tuple Args::varargs() const {
    if (!varargs_) return py::tuple();
    return py::reinterpret_borrow<py::tuple>(varargs_);
}

py::dict Args::kwargs() const {
    if (!kwargs_) {
        kwargs_ = PyDict_New();
        if (!kwargs_) raise_current();
    }
    return py::reinterpret_borrow<py::dict>(kwargs_);
}

struct Binder {
    static PyObject *self_of(const Args &bound) { return bound.values_[0]; }

    // The common call: every parameter given by position, none checked or
    // converted. The caller's vector is the argument list.
    static bool fast(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        return f->plain && nargs == f->nparams && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0);
    }

    // Binds the general call; false with the Python error set on a refusal.
    static bool bind(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Args &out) {
        const Py_ssize_t np = f->nparams;
        out.first_ = f->spec->is_static ? 0 : 1;
        out.has_varkw_ = f->has_varkw;
        if (nargs > np && !f->has_varargs) return arg_count_error(f, nargs);

        PyObject **slots = out.slots_;
        Py_ssize_t npos = nargs < np ? nargs : np;
        for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = args[i];
        for (Py_ssize_t i = npos; i < np; ++i) slots[i] = nullptr;

        if (f->has_varargs) {
            Py_ssize_t extra = nargs > np ? nargs - np : 0;
            out.varargs_ = PyTuple_New(extra);
            if (!out.varargs_) return false;
            for (Py_ssize_t i = 0; i < extra; ++i) {
                Py_INCREF(args[np + i]);
                PyTuple_SET_ITEM(out.varargs_, i, args[np + i]);
            }
        }

        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            PyObject *value = args[nargs + k];
            Py_ssize_t index = -1;
            for (Py_ssize_t i = 0; i < np; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, f->param_names[i]) == 0) {
                    index = i;
                    break;
                }
            }
            if (index < 0) {
                if (!f->has_varkw) {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f->spec->name, key);
                    return false;
                }
                if (!out.kwargs_ && !(out.kwargs_ = PyDict_New())) return false;
                if (PyDict_SetItem(out.kwargs_, key, value) < 0) return false;
                continue;
            }
            if (slots[index]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f->spec->name,
                             key);
                return false;
            }
            slots[index] = value;
        }

        // Missing parameters: defaults for the trailing ones; a missing
        // required one reports its own position as the count given.
        for (Py_ssize_t i = 0; i < np; ++i) {
            if (slots[i]) continue;
            if (i >= f->nrequired) {
                slots[i] = PyTuple_GET_ITEM(f->defaults, i - f->nrequired);
                continue;
            }
            return arg_count_error(f, nkw ? i : nargs);
        }

        for (Py_ssize_t i = 0; i < np; ++i) {
            if (f->rules[i] == Rule::Float && !PyFloat_CheckExact(slots[i])) {
                double value = PyFloat_AsDouble(slots[i]);
                if (value == -1.0 && PyErr_Occurred()) return false;
                PyObject *converted = PyFloat_FromDouble(value);
                if (!converted) return false;
                out.owned_[out.nowned_++] = converted;
                slots[i] = converted;
            }
        }
        for (Py_ssize_t i = 0; i < np; ++i)
            if (!type_ok(f, i, slots[i])) return false;
        out.values_ = slots;
        return true;
    }

    // "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
    static bool arg_count_error(FunctionObject *f, Py_ssize_t found) {
        bool exact = f->nrequired == f->nparams;
        Py_ssize_t expected;
        const char *more_or_less;
        if (found < f->nrequired) {
            expected = f->nrequired;
            more_or_less = "at least";
        } else {
            expected = f->nparams;
            more_or_less = "at most";
        }
        if (exact) more_or_less = "exactly";
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->spec->name,
                     more_or_less, expected, expected == 1 ? "" : "s", found);
        return false;
    }

    static bool type_ok(FunctionObject *f, Py_ssize_t i, PyObject *value) {
        if (value == Py_None) return true;
        const char *expected = nullptr;
        switch (f->rules[i]) {
        case Rule::ExactStr:
            if (!PyUnicode_CheckExact(value)) expected = "str";
            break;
        case Rule::ExactList:
            if (!PyList_CheckExact(value)) expected = "list";
            break;
        case Rule::ExceptionInstance:
            if (!PyObject_TypeCheck(value, (PyTypeObject *)PyExc_Exception)) expected = "Exception";
            break;
        default:
            break;
        }
        if (!expected) return true;
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     f->param_names[i], expected, Py_TYPE(value)->tp_name);
        return false;
    }

    static PyObject *run(FunctionObject *f, PyObject *self, const Args &bound) {
        py::object result = f->spec->body(self, bound);
        if (result) return result.release().ptr();
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%s() returned a null result without an error", f->spec->name);
        return nullptr;
    }
};

namespace {

// The one boundary between our C++ bodies and the interpreter: a C++
// exception that left a body becomes the Python error it stands for.
PyObject *call_body(FunctionObject *f, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    try {
        if (Binder::fast(f, args, nargs, kwnames)) {
            Args bound(args, f->spec->is_static ? 0 : 1);
            return Binder::run(f, f->spec->is_static ? nullptr : args[0], bound);
        }
        Args bound;
        if (!Binder::bind(f, args, nargs, kwnames, bound)) return nullptr;
        return Binder::run(f, f->spec->is_static ? nullptr : Binder::self_of(bound), bound);
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (abi::__forced_unwind &) {
        // The interpreter ends this thread (it wanted the GIL at exit): the
        // unwind must go on, or the process aborts.
        throw;
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "unknown C++ exception in %s", module_name());
    }
    return nullptr;
}

PyObject *fn_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return call_body(reinterpret_cast<FunctionObject *>(callable), args, nargsf, kwnames);
}

// Functions bind to instances like Python functions.
PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int fn_traverse(PyObject *o, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FunctionObject *>(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->owner_module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    return 0;
}

int fn_clear(PyObject *o) {
    auto *f = reinterpret_cast<FunctionObject *>(o);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    return 0;
}

void fn_dealloc(PyObject *o) {
    PyObject_GC_UnTrack(o);
    auto *f = reinterpret_cast<FunctionObject *>(o);
    if (f->weakrefs) PyObject_ClearWeakRefs(o);
    fn_clear(o);
    Py_CLEAR(f->owner_module);
    PyTypeObject *type = Py_TYPE(o);
    type->tp_free(o);
}

PyObject *fn_repr(PyObject *o) {
    auto *f = reinterpret_cast<FunctionObject *>(o);
    return PyUnicode_FromFormat("<function %S at %p>", f->qualname, o);
}

// inspect.Signature from the parameter table, with annotations and defaults.
PyObject *build_signature(FunctionObject *f) {
    py::module_ inspect = py::module_::import("inspect");
    py::object Parameter = inspect.attr("Parameter");
    py::object Signature = inspect.attr("Signature");
    py::dict annotations = py::reinterpret_borrow<py::dict>(f->annotations);
    py::list params;
    Py_ssize_t named = 0;
    auto add = [&](const char *pname, py::object kind, py::object default_value) {
        py::dict kw;
        kw["default"] = default_value;
        py::str key(pname);
        kw["annotation"] = annotations.contains(key) ? py::object(annotations[key]) : Parameter.attr("empty");
        params.append(Parameter(key, kind, **kw));
    };
    if (!f->spec->is_static) {
        add("self", Parameter.attr("POSITIONAL_OR_KEYWORD"), Parameter.attr("empty"));
        named = 1;
    }
    for (const Param &p : f->spec->params) {
        if (p.kind == ParamKind::VarArgs) {
            add(p.name, Parameter.attr("VAR_POSITIONAL"), Parameter.attr("empty"));
        } else if (p.kind == ParamKind::VarKw) {
            add(p.name, Parameter.attr("VAR_KEYWORD"), Parameter.attr("empty"));
        } else {
            py::object def = Parameter.attr("empty");
            if (named >= f->nrequired)
                def = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, named - f->nrequired));
            add(p.name, Parameter.attr("POSITIONAL_OR_KEYWORD"), def);
            ++named;
        }
    }
    py::dict kw;
    py::str ret("return");
    kw["return_annotation"] = annotations.contains(ret) ? py::object(annotations[ret]) : Signature.attr("empty");
    return Signature(params, **kw).release().ptr();
}

PyObject *fn_get_signature(PyObject *o, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(o);
    if (!f->signature) {
        try {
            f->signature = build_signature(f);
        } catch (py::error_already_set &e) {
            e.restore();
            return nullptr;
        }
    }
    Py_INCREF(f->signature);
    return f->signature;
}

PyMemberDef fn_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), 0, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef fn_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", fn_get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

py::object eval_expr(const char *expr) {
    py::dict globals = module_dict();
    PyObject *result = PyRun_String(expr, Py_eval_input, globals.ptr(), globals.ptr());
    if (!result) raise_current();
    return py::reinterpret_steal<py::object>(result);
}

} // namespace

void init_function_type() {
    static const std::string type_name = std::string(module_name()) + ".function";
    PyTypeObject &t = FunctionType;
    t.tp_name = type_name.c_str();
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = fn_descr_get;
    t.tp_traverse = fn_traverse;
    t.tp_clear = fn_clear;
    t.tp_dealloc = fn_dealloc;
    t.tp_repr = fn_repr;
    t.tp_members = fn_members;
    t.tp_getset = fn_getset;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    if (PyType_Ready(&t) < 0) raise_current();
}

bool is_function(py::handle obj) { return Py_TYPE(obj.ptr()) == &FunctionType; }

const FunctionSpec *spec_of(PyObject *obj) {
    if (Py_TYPE(obj) != &FunctionType) return nullptr;
    return reinterpret_cast<FunctionObject *>(obj)->spec;
}

py::object make_function(const FunctionSpec &spec, const char *owner) {
    // Count and classify the parameters first so a bad table fails loudly.
    std::vector<const Param *> named;
    bool has_varargs = false, has_varkw = false;
    for (const Param &p : spec.params) {
        if (p.kind == ParamKind::VarArgs) has_varargs = true;
        else if (p.kind == ParamKind::VarKw) has_varkw = true;
        else named.push_back(&p);
    }
    size_t offset = spec.is_static ? 0 : 1;
    if (named.size() + offset > kMaxParams) raise(PyExc_SystemError, "too many parameters for %s", spec.name);

    auto *f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) raise_current();
    f->vectorcall = fn_vectorcall;
    f->spec = &spec;
    f->name = f->qualname = f->module = f->doc = f->annotations = f->defaults = f->dict = f->signature = nullptr;
    f->weakrefs = nullptr;
    f->owner_module = Py_XNewRef(live_module());
    py::object holder = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));

    f->has_varargs = has_varargs;
    f->has_varkw = has_varkw;
    f->nparams = static_cast<Py_ssize_t>(named.size() + offset);
    if (offset) {
        f->param_names[0] = "self";
        f->rules[0] = Rule::None;
    }
    Py_ssize_t nrequired = f->nparams;
    for (size_t i = 0; i < named.size(); ++i) {
        f->param_names[i + offset] = named[i]->name;
        f->rules[i + offset] = rule_of(named[i]->annotation);
        if (named[i]->default_expr && nrequired == f->nparams) nrequired = static_cast<Py_ssize_t>(i + offset);
    }
    f->nrequired = nrequired;
    f->plain = !has_varargs && !has_varkw;
    for (Py_ssize_t i = 0; i < f->nparams; ++i)
        if (f->rules[i] != Rule::None) f->plain = false;
    f->ndefaults = f->nparams - nrequired;

    std::string qualname = owner ? std::string(owner) + "." + spec.name : std::string(spec.name);
    f->name = py::str(spec.name).release().ptr();
    f->qualname = py::str(qualname).release().ptr();
    f->module = py::str(module_name()).release().ptr();
    f->doc = (spec.doc ? py::object(py::str(spec.doc)) : py::object(py::none())).release().ptr();

    py::dict annotations;
    py::tuple defaults(f->ndefaults);
    for (size_t i = 0; i < named.size(); ++i) {
        const Param &p = *named[i];
        if (p.annotation) annotations[p.name] = eval_expr(p.annotation);
        Py_ssize_t pos = static_cast<Py_ssize_t>(i + offset);
        if (pos >= nrequired) {
            if (!p.default_expr) raise(PyExc_SystemError, "%s: required parameter after a default", spec.name);
            py::object value = eval_expr(p.default_expr);
            if (f->rules[pos] == Rule::Float) value = py::float_(value);
            defaults[pos - nrequired] = value;
        }
    }
    if (spec.returns) annotations["return"] = eval_expr(spec.returns);
    f->annotations = annotations.release().ptr();
    f->defaults = f->ndefaults ? defaults.release().ptr() : py::none().release().ptr();
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return holder;
}

} // namespace kvo::rt
