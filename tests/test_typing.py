"""The stubs in stubs/ against the modules, and the examples against the stubs.

stubtest imports the same kvo_fa, kvo_mew and kvo_handy that these tests
import (installed into site-packages, or build/dev on PYTHONPATH) and compares
every name, class, parameter list and default with the stubs; mypy in strict
mode checks the examples and the README's usage example.
"""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import kvo_fa
import kvo_handy
import kvo_mew

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs"
CONFIG = ROOT / "pyproject.toml"
ALLOWLISTS = [Path(__file__).resolve().parent / "stubtest_allowlist.txt"]
if sys.version_info < (3, 13):
    # threading.Lock becomes a class in 3.13; before, stubtest sees a function.
    ALLOWLISTS.append(Path(__file__).resolve().parent / "stubtest_allowlist_before_3_13.txt")
MODULES = (kvo_fa, kvo_mew, kvo_handy)


@pytest.fixture(scope="session")
def mypy_env(tmp_path_factory):
    """The environment of a mypy run: the stubs first, the imported modules' own
    directories on the path, and one cache for the whole session."""
    module_dirs = {str(Path(m.__file__).parent) for m in MODULES}
    path = os.pathsep.join([*sorted(module_dirs), *filter(None, [os.environ.get("PYTHONPATH")])])
    env = dict(os.environ, MYPYPATH=str(STUBS), PYTHONPATH=path)
    return env, tmp_path_factory.mktemp("mypy_cache")


def run(args, env):
    done = subprocess.run(
        [sys.executable, "-m", *args], cwd=ROOT, env=env, capture_output=True, text=True, timeout=300
    )
    return done.returncode, done.stdout + done.stderr


def mypy(files, mypy_env):
    env, cache = mypy_env
    return run(["mypy", "--config-file", str(CONFIG), "--cache-dir", str(cache), *map(str, files)], env)


def test_stubs_agree_with_the_modules(mypy_env):
    env, _ = mypy_env
    code, out = run(
        ["mypy.stubtest", "--mypy-config-file", str(CONFIG),
         *(arg for allowlist in ALLOWLISTS for arg in ("--allowlist", str(allowlist))),
         *(m.__name__ for m in MODULES)],
        env,
    )
    assert code == 0, out


def example_groups():
    """The examples in groups that mypy can check in one run each: the files at
    the top of examples/, and each folder below it (whose modules may share
    names with the top-level ones)."""
    top = sorted((ROOT / "examples").glob("*.py"))
    folders = sorted(p for p in (ROOT / "examples").iterdir() if p.is_dir() and any(p.rglob("*.py")))
    return ([pytest.param(top, id="examples")] if top else []) + [
        pytest.param(sorted(d.rglob("*.py")), id=f"examples/{d.name}") for d in folders
    ]


@pytest.mark.parametrize("files", example_groups())
def test_examples_type_check_strictly(files, mypy_env):
    code, out = mypy(files, mypy_env)
    assert code == 0, out


def test_readme_usage_example_type_checks_strictly(tmp_path, mypy_env):
    usage = (ROOT / "README.md").read_text(encoding="utf-8").split("\n## Usage\n", 1)[1]
    block = re.search(r"```python\n(.*?)```", usage, re.S)
    assert block, "no python block under ## Usage"
    example = tmp_path / "readme_usage.py"
    example.write_text(block.group(1), encoding="utf-8")
    code, out = mypy([example], mypy_env)
    assert code == 0, out


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_stub_lies_beside_the_module(module):
    """Installed (or built), each module has its stub beside it, as in stubs/."""
    beside = Path(module.__file__).with_name(f"{module.__name__}.pyi")
    assert beside.read_bytes() == (STUBS / beside.name).read_bytes(), f"{beside} is stale: rebuild"
    package = Path(module.__file__).parent / f"{module.__name__}-stubs" / "__init__.pyi"
    if package.exists() or Path(module.__file__).parent.name.endswith("-packages"):
        assert package.read_bytes() == beside.read_bytes()
