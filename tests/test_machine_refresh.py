"""The refresh cycle of the updater thread, sync_xy_refresher and the lifecycle."""
import subprocess
import sys
import threading
import time

import pytest

import kvo_fa
from kvo_fa import AbortByOtherException, StopException
from machine_fakes import FakeMachine, make_machine, new_threads, thread_pair, wait_until  # noqa: F401


@pytest.fixture
def running(make_machine):
    machine = make_machine(2, 2)
    machine.start()
    return machine


def counter(machine):
    return machine._MachineBase__xy_refresh_counter


class TestRefreshCycle:
    def test_read_back_without_pending_change(self, running):
        running.plc.y = [0x1234, 5]
        running.sync_xy_refresher()
        assert running._y_words == [0x1234, 5] and running._y_words_old == [0x1234, 5]
        assert running.plc.writes == []

    @pytest.mark.parametrize("read_back, expected", [([7], [7, 9]), ([7, 8, 6], [7, 8])])
    def test_partial_read_back(self, make_machine, read_back, expected):
        machine = make_machine(2, 2)
        machine._y_words[:] = machine._y_words_old[:] = [9, 9]
        machine.plc.script["get_y"].append(read_back)
        machine._refresh_y()
        assert machine._y_words == expected and machine._y_words_old == expected

    def test_changes_before_one_cycle_go_out_in_one_write(self, running):
        lock = running._MachineBase__xy_refresh_counter_lock
        with lock:  # no cycle can run meanwhile
            running.plc.calls.clear()
            running.set_y(0, True)
            running.set_y(17, True)
        running.sync_xy_refresher()
        assert running.plc.writes[0] == [1, 2] and running._y_words_old == [1, 2]
        # The cycle that wrote did not read the outputs back.
        assert running.plc.calls[:2] == ["get_x", "set_y"]

    def test_sync_returns_after_the_write_of_an_earlier_set_y(self, running):
        for i in range(20):
            running.set_y(3, i % 2 == 0)
            running.sync_xy_refresher()
            assert bool(running.plc.y[0] & 8) == (i % 2 == 0)

    def test_failed_write_is_retried(self, running, capsys):
        seen = []

        def failing():
            seen.append((counter(running), list(running._y_words_old)))
            raise OSError("link down")

        with running._MachineBase__xy_refresh_counter_lock:
            running.plc.script["set_y"] += [failing, failing, failing]
            running.set_y(1, True)
        wait_until(lambda: running.plc.writes)
        assert running.plc.writes[0] == [2, 0] and running._y_words_old == [2, 0]
        assert len(seen) == 3 and all(entry == (seen[0][0], [0, 0]) for entry in seen)
        assert capsys.readouterr().out.count("link down\n") == 3

    @pytest.mark.parametrize(
        "op, outcome",
        [
            ("get_x", None),
            ("get_x", (0, 0)),
            ("get_x", [0]),
            ("get_x", ["a", "b"]),
            ("get_x", RuntimeError("read failed")),
            ("get_y", None),
            ("get_y", 5),
            ("get_y", ["x", 1]),
            ("get_y", RuntimeError("read failed")),
        ],
    )
    def test_bad_transfers_do_not_end_the_updater(self, running, capsys, op, outcome):
        running.sync_xy_refresher()
        before = counter(running)
        running.plc.script[op].append(outcome)
        running.plc.x = [6, 0]
        wait_until(lambda: not running.plc.script[op])
        running.sync_xy_refresher()
        assert counter(running) > before
        assert running.wx(0) == 6 and running._y_words == [0, 0] and running._y_words_old == [0, 0]
        assert capsys.readouterr().out.strip()

    def test_garbage_in_python_transfer_methods(self, make_machine, capsys):
        class Garbage(FakeMachine):
            def do_get_x_uint16(self):
                if self.plc.calls.count("garbage") < 3:
                    self.plc.calls.append("garbage")
                    return {"not": "words"}
                return [1, 1]

        machine = make_machine(cls=Garbage)
        machine.start()
        wait_until(lambda: machine.wx(1) == 1)
        machine.sync_xy_refresher()
        assert machine._MachineBase__updater.is_alive()

    def test_slow_transfer_delays_but_does_not_break(self, running):
        running.plc.script["get_x"].append(lambda: time.sleep(0.3) or [0, 0])
        running.set_y(0, True)
        running.sync_xy_refresher()
        assert running.plc.y == [1, 0]

    @pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
    def test_exit_request_ends_the_updater(self, running):
        running.plc.script["get_x"].append(SystemExit())
        wait_until(lambda: not running._MachineBase__updater.is_alive())
        assert not running._MachineBase__xy_refresh_counter_lock.locked()


class TestSync:
    def test_never_started_machine(self, make_machine):
        machine = make_machine()
        with pytest.raises(StopException):
            machine.sync_xy_refresher()
        machine._exception_flag = True
        with pytest.raises(AbortByOtherException):
            machine.sync_xy_refresher()

    def test_stopped_but_running_machine_still_syncs(self, running, monkeypatch):
        # The wait checks the stop flag after each of its own sleeps; give the
        # caller's sleeps room for several cycles so a loaded machine still
        # completes one in time.
        caller = threading.get_ident()
        monkeypatch.setattr(kvo_fa, "_sleep",
                            lambda s: time.sleep(0.2 if threading.get_ident() == caller else s))
        running.stop()
        before = counter(running)
        running.sync_xy_refresher()
        assert counter(running) > before

    def test_closed_machine(self, running):
        running.close()
        with pytest.raises(StopException):
            running.sync_xy_refresher()


class TestLifecycle:
    def test_start_close_start(self, make_machine):
        machine = make_machine()
        before = set(threading.enumerate())
        machine.start()
        machine.start()
        first = thread_pair(machine)
        assert set(new_threads(before)) == set(first) and all(t.is_alive() and not t.daemon for t in first)
        assert (machine._exit_flag, machine._stop_flag, machine._pause_flag) == (False, False, False)
        machine.close()
        assert thread_pair(machine) == (None, None) and not any(t.is_alive() for t in first)
        assert (machine._exit_flag, machine._stop_flag) == (True, True)
        machine.start()
        second = thread_pair(machine)
        assert set(new_threads(before)) == set(second) and not set(first) & set(second)

    def test_threads_made_with_a_target_only(self, make_machine, monkeypatch):
        made = []
        real = kvo_fa._Thread

        def recording(*args, **kwargs):
            made.append((args, kwargs))
            return real(*args, **kwargs)

        monkeypatch.setattr(kvo_fa, "_Thread", recording)
        machine = make_machine()
        machine.start()
        assert [sorted(kwargs) for args, kwargs in made] == [["target"], ["target"]]
        assert made[0][1]["target"] == machine._eeh_thread_func and made[1][1]["target"] == machine._update
        assert all(args == () for args, kwargs in made)

    def test_start_refused_while_faulted(self, make_machine):
        machine = make_machine()
        machine.pause()
        machine._exception_flag = True
        with pytest.raises(AssertionError) as refused:
            machine.start()
        assert refused.value.args == ()
        assert (machine._stop_flag, machine._pause_flag) == (True, True) and thread_pair(machine) == (None, None)

    def test_close_keeps_pause_and_reset_clears_it(self, make_machine):
        calls = []

        class Tracing(FakeMachine):
            def close(self):
                calls.append("close")
                super().close()

            def start(self):
                calls.append("start")
                super().start()

        machine = make_machine(cls=Tracing)
        machine.start()
        machine.pause()
        machine.close()
        assert machine._pause_flag is True
        with pytest.raises(OSError):
            machine.raise_exception(OSError("fault"))
        calls.clear()
        before = set(threading.enumerate())
        machine.reset()
        assert calls == ["close", "start"]
        assert (machine._exception_flag, machine._pause_flag, machine._MachineBase__exception) == (False, False, None)
        assert set(new_threads(before)) == set(thread_pair(machine))
        machine.sync_xy_refresher()

    def test_stop_keeps_the_threads_refreshing(self, running):
        running.stop()
        running.plc.x = [0, 9]
        wait_until(lambda: running.wx(1) == 9)
        with pytest.raises(StopException):
            running.check_stop_and_exception_flags()

    def test_close_while_python_code_holds_the_cycle(self, make_machine):
        release = threading.Event()
        machine = make_machine()
        machine.start()
        machine.sync_xy_refresher()
        machine.plc.script["get_x"].append(lambda: release.wait(5) and [0, 0])
        wait_until(lambda: not machine.plc.script["get_x"])
        closer = threading.Thread(target=machine.close)
        closer.start()
        time.sleep(0.05)
        release.set()
        closer.join(5)
        assert not closer.is_alive() and thread_pair(machine) == (None, None)

    def test_start_without_assertions_ignores_the_fault(self, tmp_path):
        script = (
            "import sys; sys.path.insert(0, sys.argv[1])\n"
            "from machine_fakes import FakeMachine\n"
            "m = FakeMachine()\n"
            "m._exception_flag = True\n"
            "m.start(); m.close(); print('started')\n"
        )
        here = __file__.rsplit("/", 1)[0]
        out = subprocess.run(
            [sys.executable, "-O", "-c", script, here],
            capture_output=True, text=True, timeout=60,
        )
        assert out.stdout.strip() == "started", out.stderr
