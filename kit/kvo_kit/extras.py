"""The kit's optional parts and the pip extras that bring them.

The framework and the pytest plugin need nothing beyond the wheel. Each tool
below imports its packages when it runs, inside `needs(...)`, so that a
missing one is reported in one line that names the extra to install:

    kvo_kit plant needs the plant extra: pip install 'kvo_fa[plant]'
"""
import contextlib
import importlib.util
from collections.abc import Iterator

# extra -> the top-level modules it installs (pyproject.toml lists the packages)
EXTRAS: dict[str, tuple[str, ...]] = {
    "demo": ("matplotlib", "vcd"),
    "trace": ("matplotlib", "vcd"),
    "watch": ("rich",),
    "plant": ("flask", "werkzeug", "paho"),
    "opcua": ("asyncua", "cryptography"),
    "postgres": ("psycopg",),
}


class MissingExtra(ModuleNotFoundError):
    """A package of an extra is not installed; the message names the extra."""


def hint(extra: str, what: str) -> str:
    return f"{what} needs the {extra} extra: pip install 'kvo_fa[{extra}]'"


def installed(extra: str) -> bool:
    """Whether every module of `extra` can be imported."""
    return all(importlib.util.find_spec(name) is not None for name in EXTRAS[extra])


@contextlib.contextmanager
def needs(extra: str, what: str) -> Iterator[None]:
    """A failed import of one of `extra`'s modules inside the block raises
    MissingExtra with `hint(extra, what)`; any other import error passes."""
    try:
        yield
    except ModuleNotFoundError as error:
        missing = (error.name or "").partition(".")[0]
        if missing not in EXTRAS[extra]:
            raise
        raise MissingExtra(hint(extra, what), name=missing) from None
