"""The benchmark machinery runs end to end (one value of one loop per case:
nothing is timed here), every script under bench/ runs through its command line
in a short pass, and the table judges the targets as documented."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from bench.cases import CASES, Target  # noqa: E402
from modbus_c_peer import missing as libmodbus_missing  # noqa: E402
from modbus_peer import socat_available  # noqa: E402


def test_one_pass_of_every_case(tmp_path):
    results = tmp_path / "results.json"
    import pyperf
    # pyperf before 2.11 (Python 3.10's) has no --in-process: one worker process then.
    in_process = ["--in-process"] if pyperf.VERSION >= (2, 11) else []
    command = [sys.executable, "-m", "bench", *in_process, "--debug-single-value", "--quiet",
               "--idle-seconds", "0.1", "--latency-repeats", "1", "--results", str(results)]
    done = subprocess.run(command, cwd=ROOT, env=dict(os.environ), capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, done.stdout + done.stderr
    for case in CASES:
        assert "| `%s` |" % case.label in done.stdout
    assert "targets met: " in done.stdout
    names = set(pyperf.BenchmarkSuite.load(str(results)).get_benchmark_names())
    expected = {"floor: dict.get(1)", "kvo_fa: idle CPU per second", "baseline: idle CPU per second"}
    expected |= {"%s: %s" % (implementation, case.label) for case in CASES for implementation in ("kvo_fa", "baseline")}
    assert expected <= names


def needs(tool):
    return pytest.mark.skipif(shutil.which(tool) is None, reason=f"needs {tool}")


# (script and its shortest run, a line of what it prints); the fuzz harness has
# its own test (test_fuzz_atheris.py), the suite's runner the test above.
SCRIPTS = [
    pytest.param(["link_log.py", "--repeats", "1", "--number", "20"], "sim transaction, frames at DEBUG",
                 id="link_log"),
    pytest.param(["modbus_link.py", "--seconds", "0.05", "--json", "{tmp}/modbus_link.json"],
                 "| `FEFMachine(3 modules) refresh cycle` |", id="modbus_link",
                 marks=pytest.mark.skipif(not socat_available(), reason="needs socat")),
    pytest.param(["chaos_soak.py", "--seconds", "1", "--seed", "3"], '"wrong values": 0', id="chaos_soak",
                 marks=pytest.mark.skipif(not socat_available(), reason="needs socat")),
    pytest.param(["chaos_soak.py", "--transport", "tcp", "--seconds", "1", "--seed", "3"], '"wrong values": 0',
                 id="chaos_soak_tcp"),
    pytest.param(["modbus_tcp.py", "--seconds", "0.05", "--rounds", "1", "--json", "{tmp}/modbus_tcp.json"],
                 "| kvo_mew get_multi_uint16 over tcp:// |", id="modbus_tcp",
                 marks=pytest.mark.skipif(libmodbus_missing() is not None, reason=str(libmodbus_missing()))),
    pytest.param(["plant_scale.py", "--cells", "2", "--seconds", "0.5", "--shift-cells", "2", "--shift-hours", "0.05"],
                 "| 2 cells × 0.05 h (sqlite) |", id="plant_scale",
                 marks=[needs("mosquitto"), pytest.mark.skipif(os.environ.get("KVO_SANITIZER_RUN") == "1",
                                                               reason="broker test")]),
    pytest.param(["plant_history_load.py", "--cells", "3", "--hours", "0.1"], '"dropped": 0', id="plant_history_load"),
    pytest.param(["opcua_server.py", "--seconds", "0.5", "--changes", "5", "--port", "{port}"], "nodes served",
                 id="opcua_server", marks=pytest.mark.skipif(os.environ.get("KVO_SANITIZER_RUN") == "1",
                                                             reason="the OPC UA libraries are not checked there")),
]


def free_port():
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize("command, shows", SCRIPTS)
def test_every_script_runs_a_short_pass(command, shows, tmp_path):
    script, *arguments = command
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(ROOT / "bench" / script), *(a.format(tmp=tmp_path, port=free_port()) for a in arguments)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, done.stdout + done.stderr
    assert shows in done.stdout


def test_every_script_under_bench_has_a_smoke_pass():
    scripts = {path.name for path in (ROOT / "bench").glob("*.py") if "__main__" in path.read_text()}
    smoked = {param.values[0][0] for param in SCRIPTS}
    assert scripts - {"__init__.py", "__main__.py"} == smoked


@pytest.mark.parametrize("target, kvo_fa, baseline, floor, met", [
    (Target("floor", 3), 0.09, 0.5, 0.04, True),
    (Target("floor", 3), 0.13, 0.5, 0.04, False),
    (Target("floor", 3), 0.10, 0.08, 0.04, False),  # within the bound but slower than the baseline
    (Target("faster", 10), 0.3, 3.1, 0.04, True),
    (Target("faster", 10), 0.4, 3.1, 0.04, False),
])
def test_targets(target, kvo_fa, baseline, floor, met):
    assert target.met(kvo_fa, baseline, floor) is met


def test_the_version_table_judges_each_run_against_its_own_floor_and_baseline():
    from bench.versions import table
    case = CASES[0]  # a floor target: at most 3 × floor

    def run(floor, kvo_fa, baseline):
        return {"floor: dict.get(1)": floor, "kvo_fa: " + case.label: kvo_fa, "baseline: " + case.label: baseline}

    lines = table([("Python 3.10", run(1.0, 2.0, 5.0)), ("Python 3.13", run(1.0, 4.0, 5.0)), ("Python 3.14", {})])
    assert lines[0] == "| operation | target | Python 3.10 | Python 3.13 | Python 3.14 |"
    assert lines[1] == "|---|---|---|---|---|"
    row = next(line for line in lines if line.startswith("| `%s` |" % case.label))
    assert row == "| `%s` | %s | 2.00 / 2.50 yes | 4.00 / 1.25 NO |  |" % (case.label, case.target)
    assert lines[2] == "| `dict.get(1)` (floor), µs | | 1000000 | 1000000 |  |"
    assert lines[-1] == "| targets met | | 1 of %d | 0 of %d |  |" % (len(CASES), len(CASES))


def test_the_version_table_from_the_command_line():
    done = subprocess.run([sys.executable, "-m", "bench", "--versions", str(ROOT / "bench" / "results.json")],
                          cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "| operation | target | Python 3." in done.stdout
    assert "| `%s` | %s | " % (CASES[0].label, CASES[0].target) in done.stdout
