"""Objects of kvo_mew and kvo_handy classes that hold a C++ object, reached
before their __init__ ran (cls.__new__(cls)) or with a foreign self: every
member refuses with TypeError instead of touching a missing object. Run in a
child process, so a crash fails the test instead of killing the runner."""
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(r'''
    import inspect, kvo_mew, kvo_handy

    ARGS = [(), (1,), (1, "X0"), (1, "D0", 5), (1, "Y0", True)]

    def members(cls):
        for name in vars(cls):
            member = getattr(cls, name)
            if name.startswith("_") and name not in ("__call__", "__len__", "__repr__"):
                continue
            yield name, member

    checked = 0
    accepted = []
    for module in (kvo_mew, kvo_handy):
        for cls_name, cls in inspect.getmembers(module, inspect.isclass):
            if issubclass(cls, BaseException):
                continue
            try:
                blank = cls.__new__(cls)
            except TypeError:
                continue
            for name, member in members(cls):
                for self in (blank, None, 42):
                    if isinstance(member, property):
                        calls = [lambda: member.fget(self)]
                    elif callable(member) and not isinstance(inspect.getattr_static(cls, name), staticmethod):
                        calls = [lambda args=args: member(self, *args) for args in ARGS]
                    else:
                        continue
                    for call in calls:
                        try:
                            call()
                        except TypeError:
                            checked += 1
                        else:
                            accepted.append("%s.%s(%s)" % (cls_name, name, type(self).__name__))
    assert not accepted, "accepted: " + ", ".join(sorted(set(accepted)))
    print("refused", checked)
''')


def test_members_refuse_an_object_without_its_cpp_part():
    child = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stdout[-2000:] + child.stderr[-4000:]
    assert int(child.stdout.split()[-1]) > 100
