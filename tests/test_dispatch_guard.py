"""Our methods call each other directly only while nothing overrides them:
a subclass's override, a method shadowed on the instance, or a method
replaced on the class after the first call must be the one that runs."""
import pytest

import kvo_fa
from machine_fakes import FakeMachine, make_machine  # noqa: F401
from worker_support import stations  # noqa: F401


class Recording(kvo_fa.XManager):
    pass


@pytest.fixture
def machine(make_machine):
    m = make_machine(2, 2)
    m.x_manager = Recording([0b1000, 0], [0, 0])
    return m


class TestMachineToImage:
    def test_direct_call_reads_the_image(self, machine):
        assert machine.x(3) is True
        assert machine.rising(3) is True
        assert machine.x(4) is False

    @pytest.mark.parametrize("method", ["x", "rising", "falling", "wx"])
    def test_subclass_override_is_called(self, machine, method):
        class Override(kvo_fa.XManager):
            pass

        setattr(Override, method, lambda self, index: ("override", method, index))
        machine.x_manager = Override([0, 0], [0, 0])
        assert getattr(machine, method)(5) == ("override", method, 5)

    def test_getitem_override_is_used_by_x(self, machine):
        class Inverted(kvo_fa.XManager):
            def __getitem__(self, item):
                return ("item", item)

        machine.x_manager = Inverted([0, 0], [0, 0])
        assert machine.x(7) == ("item", 7)

    def test_instance_dict_shadow_is_called(self, machine):
        machine.x(3)  # first call through the guard
        machine.x_manager.x = lambda index: ("shadow", index)
        assert machine.x(3) == ("shadow", 3)
        del machine.x_manager.x
        assert machine.x(3) is True

    def test_method_replaced_on_class_after_first_use(self, machine):
        assert machine.x(3) is True
        Recording.x = lambda self, index: ("late", index)
        try:
            assert machine.x(3) == ("late", 3)
        finally:
            del Recording.x
        assert machine.x(3) is True

    def test_y_uses_the_output_image_getitem(self, machine):
        class Outputs(kvo_fa.YManager):
            def __getitem__(self, item):
                return ("y", item)

        machine.set_y(1, True)
        assert machine.y(1) is True
        machine.y_manager = Outputs(machine._y_words, machine._y_words_old)
        assert machine.y(1) == ("y", 1)

    def test_name_to_index_shadowed_on_instance(self, machine):
        assert machine.x("3") is True
        machine.name_to_index = lambda name: 4
        assert machine.x("3") is False
        machine.set_y("anything", True)
        assert machine._y_words[0] == 0b10000


class TestFaultPath:
    def test_index_to_name_override(self, make_machine):
        class Named(FakeMachine):
            def index_to_name(self, prefix, index):
                return "%s-%d" % (prefix.lower(), index)

        m = make_machine(cls=Named)
        with pytest.raises(kvo_fa.XException) as caught:
            m.raise_x_exception(5, True, 1.0)
        assert "x-5" in str(caught.value)

    def test_handle_exception_shadowed_on_instance(self, make_machine):
        m = make_machine()
        seen = []
        m._handle_exception = lambda exc: seen.append(exc) or True
        assert m.raise_x_exception(5, True, 1.0) is None
        assert isinstance(seen[0], kvo_fa.XException)
        assert m._exception_flag is False

    def test_exception_event_property_override(self, make_machine):
        seen = []

        class Routed(FakeMachine):
            @property
            def exception_event(self):
                return lambda exc: seen.append(exc) or True

        m = make_machine(cls=Routed)
        m.raise_motor_exception(2)
        assert isinstance(seen[0], kvo_fa.MotorException)

    def test_unhandled_fault_is_raised_and_stored(self, make_machine):
        m = make_machine()
        with pytest.raises(kvo_fa.XException) as caught:
            m.raise_x_exception(5, True, 1.0)
        assert m._exception_flag is True
        assert m._MachineBase__exception is caught.value

    def test_stop_raised_without_unwinding_state(self, make_machine):
        m = make_machine()
        for _ in range(3):
            with pytest.raises(kvo_fa.StopException):
                m.check_stop_and_exception_flags()
        m._exception_flag = True
        with pytest.raises(kvo_fa.AbortByOtherException):
            m.check_stop_and_exception_flags()


class TestWorkerProperties:
    def test_dead_property_override_refuses_put(self, stations):
        class Ghost(kvo_fa.Worker):
            dead = property(lambda self: True)

        w = Ghost(stations.group, "ghost")
        with pytest.raises(kvo_fa.DeadWorkerException, match="Worker 'ghost' has dead"):
            w.put(1)

    def test_name_property_override_in_message(self, stations):
        class Renamed(kvo_fa.Worker):
            name = property(lambda self: "alias")
            dead = property(lambda self: True)

        w = Renamed(stations.group, "real")
        with pytest.raises(kvo_fa.DeadWorkerException, match="'alias'"):
            w.put(1)

    def test_full_replaced_on_class_after_first_put(self, stations):
        class Limited(kvo_fa.Worker):
            pass

        w = Limited(stations.group, "limited")
        w.put_task_timeout = 0.0
        w.put(1)
        Limited.full = property(lambda self: True)
        with pytest.raises(kvo_fa.FATimeoutException):
            w.put(2)
        del Limited.full
        w.put(3)
        assert w._Worker__task_list == [1, 3]

    def test_work_shadowed_on_instance_is_called(self, stations):
        done = []
        w = stations("shadowed")
        w.work = lambda task: done.append(task)
        w.put("t")
        w.start()
        try:
            from worker_support import wait_until

            wait_until(lambda: done == ["t"])
        finally:
            w.stop()
