"""A short coverage-guided run of the atheris harness (bench/fuzz) over the
argument binder and the element-name parsers, in a child process.
KVO_ATHERIS_RUNS sets its length."""
import os
import subprocess
import sys

import pytest

HARNESS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench", "fuzz", "atheris_fuzz.py")


def require_atheris():
    """Skips unless atheris imports: 3.0.0 installs on 3.10 but fails there
    at import with an AttributeError, which importorskip lets through."""
    try:
        import atheris  # noqa: F401
    except ImportError:
        pytest.skip("atheris (requirements-test.txt) is not installed")
    except AttributeError as error:
        pytest.skip("atheris does not import on Python %d.%d: %s" % (*sys.version_info[:2], error))


def test_atheris_finds_no_crash():
    require_atheris()
    runs = os.environ.get("KVO_ATHERIS_RUNS", "20000")
    result = subprocess.run([sys.executable, HARNESS, "-runs=" + runs, "-seed=1"], capture_output=True, text=True,
                            errors="replace", timeout=180)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-6000:]
    assert "Done %s runs" % runs in result.stderr
