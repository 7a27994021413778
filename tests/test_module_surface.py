"""The names of the module, their order, the class tree and class attributes."""
import abc
import math
import queue
import threading
import time
import typing

import pytest

import kvo_fa
import kvo_handy
import kvo_mew

ALIASES = [
    ("_Lock", threading.Lock),
    ("_Thread", threading.Thread),
    ("_Event", threading.Event),
    ("_Queue", queue.Queue),
    ("_sleep", time.sleep),
    ("_now", time.time),
    ("_inf", math.inf),
    ("_ABC", abc.ABC),
    ("_abstractmethod", abc.abstractmethod),
    ("_Fp", kvo_mew.VedUzavur),
    ("_Callback", kvo_handy.Callback),
    ("_Union", typing.Union),
    ("_Sequence", typing.Sequence),
    ("_Callable", typing.Callable),
]

CLASSES = [
    ("ThreadCommunicationObject", object),
    ("TCOException", IOError),
    ("MotorException", IOError),
    ("CylinderException", IOError),
    ("DYCylinderException", IOError),
    ("VacuumException", IOError),
    ("XException", IOError),
    ("AbortByOtherException", Exception),
    ("StopException", Exception),
    ("FAException", Exception),
    ("DeadWorkerException", "FAException"),
    ("FATimeoutException", "FAException"),
    ("Job", object),
    ("Worker", object),
    ("X", object),
    ("XManager", object),
    ("YManager", "XManager"),
    ("WorkerGroup", object),
    ("_MachineExceptionHandler", object),
    ("MachineBase", abc.ABC),
    ("FPMachine", "MachineBase"),
    ("FEFMachine", "MachineBase"),
]


def public_names():
    return [n for n in vars(kvo_fa) if not (n.startswith("__") and n.endswith("__"))]


def test_names_and_their_order():
    assert public_names() == [a for a, _ in ALIASES] + [c for c, _ in CLASSES]


@pytest.mark.parametrize("alias, obj", ALIASES)
def test_aliases(alias, obj):
    value = getattr(kvo_fa, alias)
    assert value is obj or value == obj


@pytest.mark.parametrize("name, base", CLASSES)
def test_classes_are_genuine_python_classes(name, base):
    cls = getattr(kvo_fa, name)
    base = getattr(kvo_fa, base) if isinstance(base, str) else base
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "kvo_fa"
    assert cls.__qualname__ == name
    expected_meta = abc.ABCMeta if name in ("MachineBase", "FPMachine", "FEFMachine") else type
    assert type(cls) is expected_meta
    if name != "FAException" and not issubclass(cls, BaseException):
        assert cls.__doc__ is None


def test_exception_tree():
    assert issubclass(kvo_fa.DeadWorkerException, kvo_fa.FAException)
    assert issubclass(kvo_fa.XException, IOError)
    assert not issubclass(kvo_fa.StopException, IOError)
    assert not issubclass(kvo_fa.XException, kvo_fa.FAException)


def test_static_get_is_callable_on_the_class():
    assert kvo_fa.XManager._get([0x8000], 15) is True
    assert isinstance(kvo_fa.XManager.__dict__["_get"], staticmethod)


def test_member_order_of_xmanager():
    members = [n for n in kvo_fa.XManager.__dict__ if not n.startswith("__") or n in ("__init__", "__getitem__")]
    assert members == ["__init__", "word_count", "_get", "__getitem__", "x", "wx", "rising", "falling",
                       "event_occured", "copy", "update", "copy_old"]


def test_import_fails_without_a_sibling(tmp_path):
    import os
    import subprocess
    import sys

    (tmp_path / "kvo_handy.py").write_text("# a kvo_handy without Callback\n")
    code = "import kvo_fa"
    env = dict(os.environ, PYTHONPATH=str(tmp_path) + ":" + ":".join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert result.returncode != 0
    assert "ImportError: cannot import name 'Callback' from 'kvo_handy'" in result.stderr


def test_nothing_runs_at_import():
    import subprocess
    import sys

    code = "import threading; import kvo_fa; print(threading.active_count())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "1"
