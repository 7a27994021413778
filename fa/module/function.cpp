#include "fa/module/function.h"

#include "fa/module/module.h"

#include <structmember.h>

#include <cstring>
#include <exception>
#include <string>

namespace fa {

namespace {

enum class Rule : unsigned char { None, ExactStr, ExactList, ExceptionInstance, Float };

constexpr size_t kMaxParams = 16;

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
    // Derived from the parameter table once: the named parameters (self first for
    // methods), their rules, and where *args / **kwargs go.
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
    Py_ssize_t ndefaults;
    bool has_varargs;
    bool has_varkw;
    const char *param_names[kMaxParams];
    Rule rules[kMaxParams];
};

PyTypeObject FunctionType;

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
void raise_arg_count(FunctionObject *f, Py_ssize_t found) {
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
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->spec->name,
          more_or_less, expected, expected == 1 ? "" : "s", found);
}

} // namespace

struct Binder {
    static py::handle self_of(const Args &bound) { return bound.values_[0]; }

    static void bind(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Args &out) {
        const Py_ssize_t np = f->nparams;
        if (nargs > np && !f->has_varargs) raise_arg_count(f, nargs);

        PyObject *slots[kMaxParams] = {nullptr};
        Py_ssize_t npos = nargs < np ? nargs : np;
        for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = args[i];

        py::object varargs, varkw;
        if (f->has_varargs) {
            Py_ssize_t extra = nargs > np ? nargs - np : 0;
            PyObject *tuple = PyTuple_New(extra);
            if (!tuple) raise_current();
            varargs = py::reinterpret_steal<py::object>(tuple);
            for (Py_ssize_t i = 0; i < extra; ++i) {
                Py_INCREF(args[np + i]);
                PyTuple_SET_ITEM(tuple, i, args[np + i]);
            }
        }
        if (f->has_varkw) varkw = py::dict();

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
                if (!f->has_varkw)
                    raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f->spec->name, key);
                if (PyDict_SetItem(varkw.ptr(), key, value) < 0) raise_current();
                continue;
            }
            if (slots[index])
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f->spec->name, key);
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
            raise_arg_count(f, nkw ? i : nargs);
        }

        out.values_.reserve(np);
        for (Py_ssize_t i = 0; i < np; ++i) {
            if (f->rules[i] == Rule::Float && !PyFloat_CheckExact(slots[i])) {
                double value = PyFloat_AsDouble(slots[i]);
                if (value == -1.0 && PyErr_Occurred()) raise_current();
                out.values_.push_back(py::float_(value));
            } else {
                out.values_.push_back(py::reinterpret_borrow<py::object>(slots[i]));
            }
        }
        for (Py_ssize_t i = 0; i < np; ++i) check_type(f, i, out.values_[i].ptr());
        out.first_ = f->spec->is_static ? 0 : 1;
        out.varargs_ = std::move(varargs);
        out.kwargs_ = std::move(varkw);
    }

    static void check_type(FunctionObject *f, Py_ssize_t i, PyObject *value) {
        if (value == Py_None) return;
        switch (f->rules[i]) {
        case Rule::ExactStr:
            if (!PyUnicode_CheckExact(value)) raise_arg_type(f->param_names[i], "str", value);
            break;
        case Rule::ExactList:
            if (!PyList_CheckExact(value)) raise_arg_type(f->param_names[i], "list", value);
            break;
        case Rule::ExceptionInstance:
            if (!PyObject_TypeCheck(value, (PyTypeObject *)PyExc_Exception))
                raise_arg_type(f->param_names[i], "Exception", value);
            break;
        default:
            break;
        }
    }
};

namespace {

PyObject *call_body(FunctionObject *f, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    try {
        Args bound;
        Binder::bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
        py::handle self = f->spec->is_static ? py::handle() : Binder::self_of(bound);
        py::object result = f->spec->body(self, bound);
        if (!result) Py_RETURN_NONE;
        return result.release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in kvo_fa");
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
    PyTypeObject &t = FunctionType;
    t.tp_name = "kvo_fa.function";
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
    f->ndefaults = f->nparams - nrequired;

    std::string qualname = owner ? std::string(owner) + "." + spec.name : std::string(spec.name);
    f->name = py::str(spec.name).release().ptr();
    f->qualname = py::str(qualname).release().ptr();
    f->module = py::str("kvo_fa").release().ptr();
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

} // namespace fa
