"""Members of the platform classes called through the class with None as
`self` raise TypeError (they once dereferenced a null pointer)."""
import inspect

import pytest

import kvo_handy
import kvo_mew

CLASSES = (kvo_mew.VedUzavur, kvo_mew.SimulatedPlc, kvo_handy.Callback)
MEMBERS = [(cls, name) for cls in CLASSES for name, value in vars(cls).items()
           if not name.startswith("_pybind11") and (name in ("__repr__", "__call__", "__len__") or not name.startswith("__"))]


@pytest.mark.parametrize("cls,name", MEMBERS, ids=[f"{c.__name__}.{n}" for c, n in MEMBERS])
def test_none_self_is_refused(cls, name):
    raw = inspect.getattr_static(cls, name)
    with pytest.raises(TypeError):
        if isinstance(raw, property):
            raw.fget(None)
        else:
            getattr(cls, name)(None)
    if isinstance(raw, property) and raw.fset is not None:
        with pytest.raises(TypeError):
            raw.fset(None, 1.0)
