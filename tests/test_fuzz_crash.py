"""Crash fuzzer: every public callable of kvo_fa, kvo_mew and kvo_handy is
called with generated arguments in a child process, so that a crash, an
abort or a hang fails this test instead of killing the runner.

KVO_FUZZ_EXAMPLES sets the examples per callable (default 16, under a
minute on two cores); KVO_FUZZ_TIMEOUT the child's time limit in seconds.
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def test_no_callable_crashes_hangs_or_leaks_a_cpp_exception(tmp_path):
    examples = os.environ.get("KVO_FUZZ_EXAMPLES", "16")
    limit = float(os.environ.get("KVO_FUZZ_TIMEOUT", "240"))
    last_call = tmp_path / "last_call.txt"
    child = subprocess.Popen([sys.executable, os.path.join(HERE, "crash_fuzz_child.py"), examples, str(last_call)],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    try:
        output, _ = child.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        child.kill()
        output, _ = child.communicate()
        raise AssertionError("the fuzzer hung; last call: %s\n%s" % (_read(last_call), output[-3000:]))
    assert child.returncode == 0, "fuzzer child ended with %d; last call: %s\n%s" % (
        child.returncode, _read(last_call), output[-6000:])
    assert "fuzzed" in output


def _read(path):
    try:
        return path.read_text()
    except OSError:
        return "(none)"
