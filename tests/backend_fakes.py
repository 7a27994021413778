"""A recording stand-in for the PLC link, assigned to kvo_fa._Fp by tests."""
import threading

import pytest

import kvo_fa


class RecordingLink:
    """Remembers how it was built and every call, and keeps a word memory:
    data words by (station, number) for "D<n>" names, coil words by
    (station, name) for the I/O modules' "WX0"/"WY0"."""

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs
        self.calls = []
        self.data = {}
        self.coils = {}
        self.guard = threading.Lock()
        self.on_start = self.on_close = None

    def record(self, op, *args):
        with self.guard:
            self.calls.append((op,) + args)

    def ops(self, *names):
        with self.guard:
            return [c for c in self.calls if c[0] in names]

    @staticmethod
    def number(name):
        assert name.startswith("D"), name
        return int(name[1:])

    # FP data words
    def get_multi_uint16(self, station, name, count):
        self.record("get_multi_uint16", station, name, count)
        first = self.number(name)
        with self.guard:
            return [self.data.get((station, first + i), 0) for i in range(count)]

    def set_multi_uint16(self, station, name, values):
        self.record("set_multi_uint16", station, name, list(values))
        first = self.number(name)
        with self.guard:
            for i, v in enumerate(values):
                self.data[(station, first + i)] = v

    def start(self):
        self.record("start")
        if self.on_start:
            self.on_start()

    def close(self):
        self.record("close")
        if self.on_close:
            self.on_close()

    # I/O module coil words
    def get_coil_uint16(self, station, name):
        self.record("get_coil_uint16", station, name)
        with self.guard:
            return self.coils.get((station, name), 0)

    def set_coil_uint16(self, station, name, value):
        self.record("set_coil_uint16", station, name, value)
        with self.guard:
            self.coils[(station, name)] = value

    # the rest only answer with what they were given
    def __getattr__(self, op):
        if op.startswith(("get_", "set_")):
            def call(*args):
                self.record(op, *args)
                return ("answer", op) if op.startswith("get_") else "ignored"
            return call
        raise AttributeError(op)


@pytest.fixture
def links(monkeypatch):
    """Every link the machines build, in order."""
    made = []

    class Link(RecordingLink):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made.append(self)

    monkeypatch.setattr(kvo_fa, "_Fp", Link)
    return made


