"""Each extension module keeps its objects in its module state, made by
multi-phase initialisation: dropping a module and importing it again, or
freeing it, must neither crash nor lose its types; the collector sees the
state's objects through the module."""
import ctypes
import gc
import os
import subprocess
import sys
import textwrap

import pytest

import kvo_fa
import kvo_handy
import kvo_mew

MODULES = [kvo_fa, kvo_handy, kvo_mew]


def run_child(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_the_module_def_is_multi_phase(module):
    # A multi-phase module's init function hands back its definition, not a module.
    # The definition is static: read it borrowed (ctypes would release a py_object result).
    init = getattr(ctypes.PyDLL(module.__file__), "PyInit_" + module.__name__)
    init.restype = ctypes.c_void_p
    definition = ctypes.cast(init(), ctypes.py_object).value
    assert type(definition).__name__ == "moduledef"


def test_the_collector_sees_the_state_objects():
    referents = gc.get_referents(kvo_mew)
    assert any(r is kvo_mew.LinkError for r in referents)
    assert any(r is kvo_mew.LinkDownError for r in referents)
    names = {r for r in gc.get_referents(kvo_fa) if type(r) is str}
    assert {"x_manager", "_Worker__task_list", "do_set_y_uint16"} <= names


def test_a_dropped_module_imported_again_is_the_live_instance():
    out = run_child("""
        import gc, importlib, sys
        import kvo_fa, kvo_handy, kvo_mew
        before = {name: sys.modules[name] for name in ("kvo_fa", "kvo_handy", "kvo_mew")}
        for name in before:
            del sys.modules[name]
        gc.collect()
        for name, module in before.items():
            assert importlib.import_module(name) is module, name
            importlib.reload(module)
        import kvo_fa, kvo_mew
        try:
            raise kvo_fa.MotorException(3)
        except IOError as e:
            assert "3" in str(e)
        link = kvo_mew.VedUzavur("sim://state")
        try:
            link.get_coil(1, "no such name")
        except kvo_mew.AddressError:
            print("address error")
        link.close()
    """)
    assert out.strip() == "address error"


@pytest.mark.parametrize("name, use", [
    ("kvo_handy", "c = m.Callback(); seen = []; c.subscribe(seen.append); c(5); assert seen == [5]"),
    ("kvo_mew", "assert issubclass(m.AddressError, m.LinkError); m.VedUzavur('sim://again').close()"),
])
def test_a_freed_module_is_made_anew(name, use):
    out = run_child(f"""
        import gc, importlib, sys, weakref
        def use(m):
            {use}
        m = importlib.import_module({name!r})
        use(m)
        gone = weakref.ref(m)
        del sys.modules[{name!r}], m
        gc.collect()
        print("freed" if gone() is None else "alive")
        use(importlib.import_module({name!r}))
        print("again")
    """)
    # Freed: its classes are gone, and the new instance binds them anew.
    assert out.split() == ["freed", "again"]


def test_finalizes_cleanly_with_objects_alive():
    # Workers, managers and callbacks still alive when the interpreter ends,
    # their modules dropped: each state goes with its module, after every
    # object of its classes.
    out = run_child("""
        import sys, time
        import kvo_fa, kvo_handy
        done = []
        class Station(kvo_fa.Worker):
            def work(self, task):
                done.append(task)
        worker = Station(None, "w")
        worker.start()
        worker.put(1)
        while not done:
            time.sleep(0.01)
        worker.stop()
        cb = kvo_handy.Callback()
        cb.subscribe(lambda: cb)
        manager = kvo_fa.XManager(count=2)
        error = kvo_fa.StopException()
        del sys.modules["kvo_fa"], sys.modules["kvo_handy"]
        print(done, manager.word_count, cb.handlers[0]() is cb)
    """)
    assert out.split() == ["[1]", "2", "True"]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="per-module subinterpreter support is declared from 3.12 on")
@pytest.mark.parametrize("name", ["kvo_fa", "kvo_handy", "kvo_mew"])
def test_a_subinterpreter_is_refused(name):
    out = run_child(f"""
        try:
            import _interpreters as interpreters  # 3.13
        except ImportError:
            import _xxsubinterpreters as interpreters  # 3.12
        sub = interpreters.create()
        try:
            if hasattr(interpreters, "exec"):
                failure = interpreters.exec(sub, "import {name}")
                print(failure.formatted if failure else "loaded")
            else:
                try:
                    interpreters.run_string(sub, "import {name}")
                    print("loaded")
                except Exception as e:
                    print(e)
        finally:
            interpreters.destroy(sub)
    """)
    assert "does not support loading in subinterpreters" in out
