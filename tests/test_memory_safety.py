"""Loops over Python lists that run Python code or read the list they write:
each case runs in a child process, so a use-after-free (a crash, or garbage
read back) fails the test instead of killing the runner."""
import os
import subprocess
import sys
import textwrap

import pytest

from machine_fakes import make_machine  # noqa: F401

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def run_child(script, timeout=60):
    """Runs `script` in a fresh interpreter; returns its output, which must end in OK."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    done = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(script)], env=env,
                          capture_output=True, text=True, errors="replace", timeout=timeout)
    output = done.stdout + done.stderr
    assert done.returncode == 0, "child ended with %d:\n%s" % (done.returncode, output[-4000:])
    assert output.rstrip().endswith("OK"), output[-4000:]
    return output


# Words built at run time, so the lists hold their only references.
IMAGE = 'kvo_fa.XManager([int("1000"), int("2000")], [int("3000"), int("4000")])'


@pytest.mark.parametrize("own_list, expected", [
    # old[i] = current[i] is done first, so x_words[i] (that same list) then equals current[i].
    ("_XManager__x_words_old", "False [1000, 2000] [1000, 2000]"),
    ("_XManager__x_words", "False [1000, 2000] [1000, 2000]"),
])
def test_update_with_the_images_own_list_reads_as_plain_python(own_list, expected):
    run_child("""
        import kvo_fa
        from bench.baseline import xmanager as baseline
        for module in (kvo_fa, baseline):
            x = IMAGE
            changed = x.update(getattr(x, OWN_LIST))
            got = " ".join(map(str, (changed, x._XManager__x_words, x._XManager__x_words_old)))
            assert got == EXPECTED, (module.__name__, got)
        print("OK")
    """.replace("IMAGE", IMAGE.replace("kvo_fa.", "module.")).replace("OWN_LIST", repr(own_list))
              .replace("EXPECTED", repr(expected)))


def test_a_backend_returning_the_previous_state_list_on_the_updater_thread():
    run_child("""
        import time
        import kvo_fa

        class Echo(kvo_fa.MachineBase):
            # Answers with the image's own previous-state list, words made afresh.
            def do_get_x_uint16(self):
                old = self.x_manager._XManager__x_words_old
                old[:] = [int(str(n)) for n in range(1000, 1000 + len(old))]
                return old
            def do_get_y_uint16(self):
                return [0]
            def do_set_y_uint16(self, values):
                pass

        m = Echo(64, 1)
        m.start()
        try:
            cycles = m._MachineBase__xy_refresh_counter
            deadline = time.monotonic() + 10
            while m._MachineBase__xy_refresh_counter < cycles + 50 and time.monotonic() < deadline:
                time.sleep(0.01)
            assert m._MachineBase__xy_refresh_counter >= cycles + 50
        finally:
            m.close()
        # As in plain Python: each word moves to the previous list first, so
        # the list handed back then equals the current words: no change ever.
        image = m.x_manager
        assert image._XManager__x_words == [0] * 64 == image._XManager__x_words_old, image._XManager__x_words[:4]
        print("OK")
    """)


def test_a_subscriber_whose_eq_unsubscribes_all_while_subscribe_compares():
    run_child("""
        import kvo_handy
        callback = kvo_handy.Callback()

        class Clearing:
            def __eq__(self, other):
                callback.unsubscribe_all()
                # Churn the allocator, so a freed list is reused at once.
                junk = [[i] * 8 for i in range(200)]
                return False
            __hash__ = object.__hash__
            def __call__(self):
                pass

        for _ in range(50):
            callback.subscribe(Clearing())
            callback.subscribe(Clearing())
            callback.subscribe(Clearing())
            assert len(callback) == 1, len(callback)  # the list as it stood after the clear
            callback.unsubscribe(Clearing())
            assert len(callback) == 0
        print("OK")
    """)


def test_unsubscribe_whose_eq_unsubscribes_all_while_it_searches():
    run_child("""
        import kvo_handy
        callback = kvo_handy.Callback()

        class Clearing:
            def __eq__(self, other):
                callback.unsubscribe_all()
                junk = [[i] * 8 for i in range(200)]
                return other is not print
            __hash__ = object.__hash__

        for _ in range(50):
            callback.subscribe(print)
            callback.subscribe(len)
            callback.subscribe(repr)
            callback.unsubscribe(Clearing())  # compared with print, then with len
            assert len(callback) == 0
        print("OK")
    """)


def test_image_and_bit_access_agree_with_plain_python_over_hostile_cases():
    """The differential test (tests/image_diff_child.py), in a child process."""
    default = "100" if os.environ.get("KVO_SANITIZER_RUN") == "1" else "400"
    examples = os.environ.get("KVO_DIFF_EXAMPLES", default)
    child = subprocess.run([sys.executable, "-X", "faulthandler", os.path.join(HERE, "image_diff_child.py"), examples],
                           capture_output=True, text=True, errors="replace", timeout=600)
    output = child.stdout + child.stderr
    assert child.returncode == 0, "child ended with %d:\n%s" % (child.returncode, output[-6000:])
    assert "compared %s cases" % examples in output


# Where ours differs from the plain-Python baseline on purpose.

def test_words_from_the_plc_that_are_no_ints_are_refused(make_machine):
    machine = make_machine(1, 1)
    machine.plc.script["get_x"] = [[1.5]]
    with pytest.raises(TypeError, match="^do_get_x_uint16 returned a word of type float$"):
        machine._refresh_x()
    assert machine.x_manager._XManager__x_words == [0]


def test_set_y_reads_the_value_before_it_takes_the_output_lock(make_machine):
    machine = make_machine(1, 1)

    class Reentrant:
        def __bool__(self):
            machine.set_y(1, True)  # the lock is free: no deadlock
            return True

    machine.set_y(0, Reentrant())
    assert machine._y_words == [3]
