"""The crash fuzzer's child process: calls every public callable of kvo_fa,
kvo_mew and kvo_handy with generated arguments, on fresh and started
objects, through the class (unbound, any `self`) and as properties.

Any Python exception is an acceptable answer. What is not: a crash or an
abort (the process dies; faulthandler prints where), a hang (the parent's
time-out), and a Python exception that betrays a C++ exception or a broken
use of the C API; those are collected and printed, and the exit code is 1.

Usage: python crash_fuzz_child.py EXAMPLES [LAST_CALL_FILE]
"""
import faulthandler
import os
import re
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

import fuzz_targets as ft  # noqa: E402
from fuzz_values import values as _values  # noqa: E402

VALUES = _values()


def values():
    return VALUES


# A wrong `self` for members called through the class: None half the time.
SELVES = st.one_of(st.none(), VALUES)

# Texts of Python exceptions that come from C++ or from a misuse of the C API.
LEAKED = re.compile(r"Caught an unknown exception|std::|_M_|basic_string|stoi|stol|bad_alloc|"
                    r"Unable to cast|returned NULL without|returned a result with an exception set|"
                    r"error return without exception set|vector::|out_of_range|bad_cast")

defects = []
last_call_path = None


def note_call(text):
    if last_call_path:
        with open(last_call_path, "w") as out:
            out.write(text[:2000])


def short(value):
    try:
        text = repr(value)
    except BaseException:
        text = "<%s with failing repr>" % type(value).__name__
    return text if len(text) < 120 else text[:117] + "..."


def judge(where, error):
    if isinstance(error, SystemError) or LEAKED.search(str(error) if not isinstance(error, RecursionError) else ""):
        defects.append("%s: %s: %s" % (where, type(error).__name__, error))


def invoke(where, made, call):
    note_call(where)
    with ft.Watchdog(made.stop if made else (lambda: None)):
        try:
            call()
        except BaseException as error:  # any Python exception is a fine answer
            if isinstance(error, KeyboardInterrupt):
                raise
            try:
                judge(where, error)
            except BaseException:
                pass


def arguments(data, names, count):
    """Positional arguments, sometimes too few or too many, and sometimes
    keywords (right or wrong names)."""
    n = data.draw(st.integers(0, count + 2), label="count")
    args = [data.draw(values(), label="arg") for _ in range(n)]
    kwargs = {}
    if names and data.draw(st.booleans(), label="use keywords"):
        for name in data.draw(st.lists(st.sampled_from(names + ["bogus", "self"]), max_size=3, unique=True)):
            kwargs[name] = data.draw(values(), label=name)
        args = args[: max(0, len(args) - len(kwargs))]
    return args, kwargs


def fuzz_member(cls, name, kind, raw, examples):
    function = raw.fget if kind == "property" else raw
    count, names = ft.param_count(function) if kind != "property" else (0, [])

    @settings(max_examples=examples, derandomize=True, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(data=st.data())
    def run(data):
        way = data.draw(st.sampled_from(["fresh", "started", "unbound"]), label="way")
        made = None
        try:
            if way != "unbound":
                made = ft.make(cls, way == "started")
            where = "%s.%s (%s)" % (cls.__name__, name, way)
            if kind == "property":
                action = data.draw(st.sampled_from(["get", "set", "delete"]), label="action")
                if made is None or action == "get" and way == "unbound":
                    target = data.draw(SELVES, label="self")
                    invoke(where + " fget(%s)" % short(target), made, lambda: raw.fget(target))
                elif action == "get":
                    invoke(where + " get", made, lambda: getattr(made.obj, name))
                elif action == "set":
                    value = data.draw(values(), label="value")
                    invoke(where + " set %s" % short(value), made, lambda: setattr(made.obj, name, value))
                else:
                    invoke(where + " delete", made, lambda: delattr(made.obj, name))
                return
            args, kwargs = arguments(data, names, count)
            desc = "%s(%s, %s)" % (where, ", ".join(short(a) for a in args), short(kwargs))
            if kind == "static":
                invoke(desc, made, lambda: raw(*args, **kwargs))
            elif made is None:
                target = data.draw(SELVES, label="self")
                invoke(desc + " self=" + short(target), None, lambda: getattr(cls, name)(target, *args, **kwargs))
            elif name == "__init__":
                # Construction from scratch, and re-initialisation of a live object.
                if data.draw(st.booleans(), label="again"):
                    invoke(desc + " again", made, lambda: made.obj.__init__(*args, **kwargs))
                else:
                    def construct():
                        obj = cls(*args, **kwargs)
                        for stop in ("close", "stop_all", "stop"):
                            if hasattr(obj, stop) and ft.param_count(getattr(type(obj), stop))[0] == 0:
                                try:
                                    getattr(obj, stop)()
                                except Exception:
                                    pass
                                break
                    invoke(desc + " new", made, construct)
            else:
                invoke(desc, made, lambda: getattr(made.obj, name)(*args, **kwargs))
        finally:
            if made is not None:
                ft.finish(made)

    run()


def check_threads(where):
    """Every object is cleaned up after each example: no thread may stay."""
    deadline = time.monotonic() + 1.0
    while True:
        left = [t for t in threading.enumerate() if t is not threading.main_thread() and t.is_alive()]
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.01)
    if left:
        defects.append("threads left running after %s: %r" % (where, left))
        for thread in left:  # end them, so the next member starts clean
            owner = getattr(getattr(thread, "_target", None), "__self__", None)
            for stop in ("stop", "close"):
                if hasattr(owner, stop):
                    try:
                        getattr(owner, stop)()
                    except Exception:
                        pass


def fuzz_function(qualname, function, examples):
    count, names = ft.param_count(function)

    @settings(max_examples=examples, derandomize=True, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(data=st.data())
    def run(data):
        args, kwargs = arguments(data, names, count)
        invoke("%s(%s, %s)" % (qualname, ", ".join(short(a) for a in args), short(kwargs)), None,
               lambda: function(*args, **kwargs))
        ft.kvo_mew.reset_simulators()

    run()


def main():
    global last_call_path
    examples = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    last_call_path = sys.argv[2] if len(sys.argv) > 2 else None
    faulthandler.enable()
    ft.bound_sleep()
    # Threads of the framework print what they catch; keep the output short.
    threading.excepthook = lambda args: None
    sys.stdout = open(os.devnull, "w")
    only = re.compile(os.environ.get("KVO_FUZZ_ONLY", ""))
    classes = ft.own_classes()
    calls = 0
    for cls in classes:
        for name, kind, raw in ft.members(cls):
            if not only.search("%s.%s" % (cls.__name__, name)):
                continue
            began = time.monotonic()
            fuzz_member(cls, name, kind, raw, examples)
            sys.stderr.write("fuzzed %s.%s in %.2f s\n" % (cls.__name__, name, time.monotonic() - began))
            check_threads("%s.%s" % (cls.__name__, name))
            calls += 1
    for qualname, function in ft.module_functions():
        began = time.monotonic()
        if not only.search(qualname):
            continue
        fuzz_function(qualname, function, examples)
        sys.stderr.write("fuzzed %s in %.2f s\n" % (qualname, time.monotonic() - began))
        check_threads(qualname)
        calls += 1
    sys.stderr.write("fuzzed %d callables of %d classes\n" % (calls, len(classes)))
    for defect in defects:
        sys.stderr.write("DEFECT " + defect + "\n")
    sys.stderr.flush()
    os._exit(1 if defects else 0)


if __name__ == "__main__":
    main()
