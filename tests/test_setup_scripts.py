"""The Python the set-up scripts install into and run (scripts/python_env.sh):
the checkout's .venv-X.Y for KVO_PYTHON_VERSION=X.Y, else KVO_PYTHON as it is,
else an active virtual environment, else the checkout's .venv, made once (again
when broken) and reused."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(os.environ.get("KVO_SANITIZER_RUN") == "1", reason="packaging test")


def run_pick(root, **env):
    script = f'set -e; source "{ROOT}/scripts/python_env.sh"; use_python "{root}"; echo "$py"; command -v python3'
    base = {k: v for k, v in os.environ.items() if k not in ("KVO_PYTHON", "KVO_PYTHON_VERSION", "VIRTUAL_ENV", "PYTHON")}
    # python3 (and python3.X) on the PATH: the interpreter of this test run
    base["PATH"] = os.path.dirname(sys.executable) + os.pathsep + base["PATH"]
    return subprocess.run(["bash", "-c", script], env={**base, **env}, capture_output=True, text=True, timeout=300)


def pick(root, **env):
    """(the interpreter chosen for `root`, the python3 then first on the PATH, what the scripts said)."""
    done = run_pick(root, **env)
    assert done.returncode == 0, done.stderr
    *said, chosen, python3 = done.stdout.splitlines()
    return chosen, python3, "\n".join(said)


def fake_venv(where):
    (where / "bin").mkdir(parents=True)
    python = where / "bin" / "python"
    python.write_text("#!/bin/sh\nexit 1\n")  # a venv whose pip is gone
    python.chmod(0o755)
    return python


def test_kvo_python_is_used_as_it_is(tmp_path):
    chosen, python3, said = pick(tmp_path, KVO_PYTHON=sys.executable)
    assert chosen == sys.executable and said == ""
    assert not (tmp_path / ".venv").exists()


def test_an_active_virtual_environment_is_used_as_it_is(tmp_path):
    python = fake_venv(tmp_path / "active")
    chosen, python3, said = pick(tmp_path, VIRTUAL_ENV=str(tmp_path / "active"))
    assert chosen == str(python) and said == ""
    assert not (tmp_path / ".venv").exists()


def test_the_checkout_venv_is_made_once_remade_when_broken_and_put_first_on_the_path(tmp_path):
    fake_venv(tmp_path / ".venv")
    chosen, python3, said = pick(tmp_path)
    venv_python = str(tmp_path / ".venv" / "bin" / "python")
    assert chosen == venv_python and python3 == venv_python + "3"
    assert said == f"making a virtual environment in {tmp_path}/.venv (from {os.path.dirname(sys.executable)}/python3)"
    assert subprocess.run([venv_python, "-c", "import sys; assert sys.prefix != sys.base_prefix"]).returncode == 0
    assert pick(tmp_path) == (chosen, python3, "")


def test_a_version_gets_a_venv_of_its_own_made_once(tmp_path):
    version = "%d.%d" % sys.version_info[:2]
    chosen, python3, said = pick(tmp_path, KVO_PYTHON_VERSION=version)
    venv_python = str(tmp_path / f".venv-{version}" / "bin" / "python")
    assert chosen == venv_python and python3 == venv_python + "3"
    assert said.startswith(f"making a virtual environment in {tmp_path}/.venv-{version} (from ")
    made = subprocess.run([venv_python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                          capture_output=True, text=True)
    assert made.stdout.strip() == version
    assert pick(tmp_path, KVO_PYTHON_VERSION=version, KVO_PYTHON="/no/such/python") == (chosen, python3, "")
    assert not (tmp_path / ".venv").exists()


def test_a_version_that_is_not_there_is_named(tmp_path):
    done = run_pick(tmp_path, KVO_PYTHON_VERSION="3.99", PYENV_ROOT=str(tmp_path / "pyenv"))
    assert done.returncode != 0
    assert f"no Python 3.99 found (python3.99 on the PATH or pyenv's {tmp_path}/pyenv/versions/3.99.*)" in done.stderr
    assert not (tmp_path / ".venv-3.99").exists()
