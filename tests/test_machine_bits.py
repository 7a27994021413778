"""Bit access of MachineBase by index, decimal name and byte-string name."""
import threading

import pytest

import kvo_fa
from machine_fakes import FakeMachine, make_machine  # noqa: F401


class RecordingLock:
    """A lock of another type: its methods are called as any object's."""

    def __init__(self, lock):
        self.lock = lock
        self.calls = []

    def acquire(self, *args):
        self.calls.append("acquire")
        return self.lock.acquire(*args)

    def release(self):
        self.calls.append("release")
        self.lock.release()


def load_inputs(machine, words):
    """Puts `words` into the input image as one refresh cycle would."""
    machine.x_manager.update(list(words))


class TestOutputs:
    def test_set_y_changes_one_bit(self, make_machine):
        machine = make_machine(2, 2)
        machine.set_y(17, True)
        assert machine._y_words == [0, 2] and machine.y(17) is True
        machine._y_words[0] = 0xFFFF
        machine.set_y(3, False)
        assert machine._y_words == [0xFFF7, 2]
        machine.set_y(17, False)
        assert machine._y_words == [0xFFF7, 0] and machine.y(17) is False
        assert machine._y_words_old == [0, 0]  # written by the refresh cycle only

    @pytest.mark.parametrize("value, bit", [(2, True), ("on", True), (0, False), (None, False), ("", False)])
    def test_set_y_reads_the_truth_value(self, make_machine, value, bit):
        machine = make_machine(1, 1)
        machine._y_words[0] = 0x10 if not bit else 0
        machine.set_y(4, value)
        assert machine.y(4) is bit

    @pytest.mark.parametrize("index", [17, "17", b"17", " 17 "])
    def test_names_and_indexes_address_the_same_output(self, make_machine, index):
        machine = make_machine(2, 2)
        machine.set_y(index, True)
        assert machine._y_words == [0, 2]
        assert machine.y(17) and machine.y("17") and machine.y(b"17")

    def test_negative_index_addresses_the_last_word(self, make_machine):
        machine = make_machine(2, 2)
        machine.set_y(-1, True)
        assert machine._y_words == [0, 0x8000] and machine.wy(-1) == 0x8000 and machine.wy(1) == 0x8000

    @pytest.mark.parametrize("index, error", [(32, IndexError), ("Y5", ValueError), (1.5, TypeError)])
    def test_bad_index_changes_nothing_and_frees_the_lock(self, make_machine, index, error):
        machine = make_machine(2, 2)
        with pytest.raises(error):
            machine.set_y(index, True)
        assert machine._y_words == [0, 0] and not machine._y_lock.locked()
        machine.set_y(0, True)
        assert machine._y_words == [1, 0]

    def test_concurrent_set_y_loses_no_change(self, make_machine):
        machine = make_machine(1, 1)
        machine.start()
        rounds = 3000

        def toggle(bit):
            for i in range(rounds):
                machine.set_y(bit, i % 2 == 0)
            machine.set_y(bit, bit % 2 == 0)  # even bits end set, odd bits clear

        threads = [threading.Thread(target=toggle, args=(bit,)) for bit in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        assert machine._y_words == [0x55]
        machine.sync_xy_refresher()
        assert machine.plc.y == [0x55]


class TestInputs:
    @pytest.mark.parametrize("index", [5, "5", b"5"])
    def test_names_and_indexes_address_the_same_input(self, make_machine, index):
        machine = make_machine(2, 2)
        load_inputs(machine, [0x20, 0])
        assert machine.x(index) is True and machine.x(4) is False

    def test_invalid_name(self, make_machine):
        machine = make_machine()
        with pytest.raises(ValueError):
            machine.x("X5")

    def test_words_and_edges(self, make_machine):
        machine = make_machine(2, 2)
        load_inputs(machine, [0, 0xABCD])
        assert machine.wx(1) == 0xABCD and machine.wx("1") == 0xABCD and machine.wx(-1) == 0xABCD
        assert machine.x(-1) is True  # bit 15 of the last word
        assert machine.rising(16) is True and machine.rising("16") is True and machine.falling(16) is False
        load_inputs(machine, [0, 0xABCC])
        assert machine.rising(16) is False and machine.falling(16) is True and machine.falling(b"16") is True
        load_inputs(machine, [0, 0xABCC])
        assert machine.falling(16) is False and machine.x(16) is False

    def test_subclass_addressing_is_used_everywhere(self, make_machine):
        class Named(FakeMachine):
            def name_to_index(self, name):
                return {"Y1": 17, "X1": 1, "W1": 1}[name]

        machine = make_machine(2, 2, cls=Named)
        load_inputs(machine, [2, 0x1234])
        machine.set_y("Y1", True)
        assert machine.y("Y1") is True and machine.wy("W1") == 2
        assert machine.x("X1") is True and machine.rising("X1") is True and machine.falling("X1") is False
        assert machine.wx("W1") == 0x1234


    @pytest.mark.parametrize("make_lock", [threading.RLock, lambda: RecordingLock(threading.Lock())])
    def test_set_y_takes_whatever_lock_the_machine_holds(self, make_machine, make_lock):
        machine = make_machine(1, 1)
        machine._y_lock = lock = make_lock()
        machine.set_y(2, True)
        with pytest.raises(IndexError):
            machine.set_y(16, True)
        assert machine._y_words == [4]
        if isinstance(lock, RecordingLock):
            assert lock.calls == ["acquire", "release"] * 2

    def test_fp_addressing_overridden_by_a_subclass_or_on_the_instance(self, plc, machines):
        plc.map_io(1, 1, 100)

        class Shifted(kvo_fa.FPMachine):
            def name_to_index(self, name):
                return super().name_to_index(name) + 1

        shifted = Shifted(1, 1, 100, "sim://" + plc.name)
        plain = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
        machines.extend([shifted, plain])
        for machine in (plain, shifted, plain):  # one call site, the classes in turn
            machine.set_y("Y3", True)
        assert (plain._y_words, shifted._y_words) == ([8], [16])
        plain.name_to_index = lambda name: 5
        plain.set_y("Y3", True)
        assert plain._y_words == [8 | 32]

class TestNamesAndSizes:
    def test_base_conversions(self, make_machine):
        machine = make_machine(3, 4)
        assert machine.name_to_index("12") == 12 and machine.name_to_index(b"-3") == -3
        assert machine.name_to_index(7) == 7
        assert machine.index_to_name("X", 10) == "10" and machine.index_to_name(None, 3) == "3"
        with pytest.raises(TypeError, match="Argument 'prefix' has incorrect type"):
            machine.index_to_name(5, 10)
        assert (machine.x_word_count, machine.y_word_count) == (3, 4)
