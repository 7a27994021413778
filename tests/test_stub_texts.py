"""What stubtest does not compare: the docstrings, and the signatures of
kvo_mew's and kvo_handy's functions as their own stubs spell them.

Every docstring a module has must appear in its stub unchanged, so editors
show the module's own text; every kvo_mew and kvo_handy function's parameter
names, kinds and defaults must be the stub's.
"""
import ast
import inspect
from pathlib import Path

import pytest

import kvo_fa
import kvo_handy
import kvo_mew

STUBS = Path(__file__).resolve().parent.parent / "stubs"
MODULES = (kvo_fa, kvo_mew, kvo_handy)


def stub_index(module):
    """Qualified name -> the stub's class or function node (a property's getter,
    the first of its definitions); "" -> the stub's module node."""
    tree = ast.parse((STUBS / f"{module.__name__}.pyi").read_text(encoding="utf-8"))
    index = {"": tree}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                index.setdefault(prefix + node.name, node)
            if isinstance(node, ast.ClassDef):
                visit(node.body, prefix + node.name + ".")

    visit(tree.body, "")
    return index


def runtime_members(module):
    """(qualified name, object) of the module, its classes and their functions,
    properties and static methods."""
    yield "", module
    for name, obj in vars(module).items():
        if isinstance(obj, type) and obj.__module__ == module.__name__:
            yield name, obj
            for attr, member in vars(obj).items():
                if isinstance(member, staticmethod):
                    member = member.__func__
                if isinstance(member, property) or callable(member) and not isinstance(member, type):
                    yield f"{name}.{attr}", member
        elif callable(obj) and getattr(obj, "__module__", None) == module.__name__:
            yield name, obj


def is_pybind(obj):
    doc = getattr(obj, "__doc__", None) or ""
    return not isinstance(obj, type) and doc.startswith(getattr(obj, "__name__", "?") + "(")


def runtime_doc(obj):
    doc = obj.__doc__
    if doc == object.__init__.__doc__:
        return None  # the interpreter's text of a constructor pybind11 left out
    if doc and is_pybind(obj):  # "sig\n\ntext\n" or "sig\n"
        doc = doc.partition("\n\n")[2][:-1]
    return doc or None


def members_with_docs():
    for module in MODULES:
        stub = stub_index(module)
        for qualname, obj in runtime_members(module):
            doc = runtime_doc(obj)
            if doc and not (qualname.rpartition(".")[2].startswith("__") and qualname not in stub):
                yield pytest.param(stub, qualname, doc, id=f"{module.__name__}.{qualname}".rstrip("."))


@pytest.mark.parametrize("stub, qualname, doc", members_with_docs())
def test_stub_carries_the_module_docstring(stub, qualname, doc):
    assert qualname in stub, f"{qualname} is missing from the stub"
    written = ast.get_docstring(stub[qualname], clean=False)
    assert written is not None, f"{qualname} has no docstring in the stub"
    assert doc in (written, inspect.cleandoc(written))


def split_params(text):
    params, depth, current = [], 0, ""
    for ch in text:
        depth += ch in "[(" and 1 or ch in "])" and -1 or 0
        if ch == "," and depth == 0:
            params.append(current.strip())
            current = ""
        else:
            current += ch
    return params + ([current.strip()] if current.strip() else [])


NO_DEFAULT = object()


def literal(text):
    try:
        return ast.literal_eval(text)
    except ValueError:
        return text


def pybind_params(obj):
    """[(name, default)] from the signature line pybind11 puts first in __doc__;
    *args and **kwargs keep their stars."""
    line = obj.__doc__.splitlines()[0]
    inside = line[line.index("(") + 1 : line.rindex(")")]
    result = []
    for param in split_params(inside):
        head, _, default = param.partition(" = ")
        result.append((head.partition(":")[0].strip(), literal(default) if default else NO_DEFAULT))
    return result


def stub_params(node, keyword_only=True):
    """Like pybind_params, from the stub; keyword_only=False leaves out the
    keyword-only parameters (a stub may spell out what **kwargs takes)."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [NO_DEFAULT] * (len(positional) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    result = [(a.arg, d) for a, d in zip(positional, defaults)]
    if args.vararg:
        result.append(("*" + args.vararg.arg, NO_DEFAULT))
    if keyword_only:
        result += [(a.arg, NO_DEFAULT if d is None else ast.literal_eval(d)) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        result.append(("**" + args.kwarg.arg, NO_DEFAULT))
    return result


def runtime_params(obj):
    """Like pybind_params, from the signature our function type carries."""
    kinds = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}
    return [(kinds.get(p.kind, "") + name, NO_DEFAULT if p.default is p.empty else p.default)
            for name, p in inspect.signature(obj).parameters.items()]


def native_functions():
    for module in (kvo_mew, kvo_handy):
        stub = stub_index(module)
        for qualname, obj in runtime_members(module):
            if isinstance(obj, property):
                continue
            if qualname and not isinstance(obj, type) and "Overloaded function" not in (obj.__doc__ or ""):
                if qualname.rpartition(".")[2].startswith("_") and qualname not in stub:
                    continue  # dunders stubtest leaves alone (__repr__), pybind11's own (_pybind11_conduit_v1_)
                yield pytest.param(stub, qualname, obj, id=f"{module.__name__}.{qualname}")


@pytest.mark.parametrize("stub, qualname, obj", native_functions())
def test_signature_is_the_stubs(stub, qualname, obj):
    assert qualname in stub, f"{qualname} is missing from the stub"
    runtime = pybind_params(obj) if is_pybind(obj) else runtime_params(obj)
    takes_any_keyword = any(name.startswith("**") for name, _ in runtime)
    assert stub_params(stub[qualname], keyword_only=not takes_any_keyword) == runtime
