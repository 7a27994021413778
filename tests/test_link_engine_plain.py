"""The link's engine (link/) is plain C++: nothing of Python or pybind11 in
its sources or its build, so it builds and its unit tests run (ctest) without
an interpreter; the bindings in platform/kvo_mew/ are the only Python side."""
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
ENGINE = ROOT / "link"


def test_no_engine_source_reaches_python():
    pattern = re.compile(r'#include\s*[<"](Python\.h|pybind11/|runtime/|platform/)|pybind11::|\bPyObject\b|\bPy[A-Za-z]*_\w+')
    sources = sorted(p for p in ENGINE.rglob("*") if p.suffix in (".h", ".cpp"))
    assert len(sources) > 40
    offenders = [str(p.relative_to(ROOT)) for p in sources if pattern.search(p.read_text(encoding="utf-8"))]
    assert offenders == []


def test_the_engine_library_has_no_python_target():
    build = (ENGINE / "CMakeLists.txt").read_text(encoding="utf-8")
    assert re.search(r"Python::|pybind11|find_package\(Python", build) is None
