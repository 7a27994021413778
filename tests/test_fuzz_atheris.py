"""A short coverage-guided run of the atheris harness (bench/fuzz) over the
argument binder and the element-name parsers, in a child process.
KVO_ATHERIS_RUNS sets its length."""
import os
import subprocess
import sys

import pytest

HARNESS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench", "fuzz", "atheris_fuzz.py")


def test_atheris_finds_no_crash():
    pytest.importorskip("atheris", reason="atheris (requirements-test.txt) is not installed")
    runs = os.environ.get("KVO_ATHERIS_RUNS", "20000")
    result = subprocess.run([sys.executable, HARNESS, "-runs=" + runs, "-seed=1"], capture_output=True, text=True,
                            errors="replace", timeout=180)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-6000:]
    assert "Done %s runs" % runs in result.stderr
