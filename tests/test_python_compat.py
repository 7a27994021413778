"""The native sources reach the interpreter through its public C API alone:
every version difference and every call outside that API sits in
runtime/python_compat.h."""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
COMPAT_HEADER = ROOT / "runtime" / "python_compat.h"
SOURCE_DIRS = ["core", "fa", "runtime", "platform", "link"]
PRIVATE = re.compile(
    r"\b_Py[A-Z]\w*|\bob_digit\b|\bma_version_tag\b|\bd_wrapped\b|\bPY_VERSION_HEX\b|\bpy::detail\b"
    r"|\bPyWeakref_GetObject\b|\bPyWeakref_GET_OBJECT\b|\bsem_trywait\b|\bPy_GIL_DISABLED\b"
)


def native_sources():
    for name in SOURCE_DIRS:
        folder = ROOT / name
        if folder.is_dir():
            yield from sorted(p for p in folder.rglob("*") if p.suffix in {".cpp", ".h", ".hpp"})


def test_no_private_interpreter_symbol_outside_the_compatibility_header():
    sources = [p for p in native_sources() if p != COMPAT_HEADER]
    if not sources:
        pytest.skip("the native sources are not in this checkout")
    found = [
        f"{path.relative_to(ROOT)}:{number}: {match.group(0)}"
        for path in sources
        for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1)
        for match in [PRIVATE.search(line)]
        if match
    ]
    assert found == []

