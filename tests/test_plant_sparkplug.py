"""The plant reporter as a Sparkplug B 3.0 edge node, read by a host whose
decoder is the Sparkplug B schema compiled by protoc (sparkplug_host.py), over
a real Mosquitto: births and data, aliases and seq, Rebirth, DCMD, the primary
host's STATE, a broker restart, and a cell killed with SIGKILL whose NDEATH
carries the bdSeq of its NBIRTH, which goes on after a restart."""
import os
import signal
import subprocess
import sys
from typing import Any, Iterator

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kvo_fa
from plant_support import PASSWORD, Broker, needs_broker, wait_until
from sparkplug_host import Host, compile_schema, value_of

from kvo_kit.plant import PlantReporter
from kvo_kit.plant.sparkplug_payload import DataType, Metric, Payload, SparkplugError, decode, encode

HERE = os.path.dirname(os.path.abspath(__file__))
CELL = os.path.join(HERE, "..", "examples", "cell", "cell.py")
FAST = dict(poll_interval=0.02, io_interval=0.02, counters_interval=0.2, heartbeat_interval=1.0)


@pytest.fixture(scope="module")
def schema(tmp_path_factory: Any) -> Any:
    return compile_schema(str(tmp_path_factory.mktemp("schema")))


@pytest.fixture(scope="module")
def spb_broker(tmp_path_factory: Any) -> Iterator[Broker]:
    if os.environ.get("KVO_SANITIZER_RUN") == "1":
        pytest.skip("needs Debian's mosquitto (not run under the sanitizers)")
    broker = Broker(str(tmp_path_factory.mktemp("broker")), users=True)
    with open(os.path.join(broker.folder, "acl"), "a") as f:
        f.write("\npattern readwrite spBv1.0/#\n")   # every user may speak Sparkplug
    broker.start()
    yield broker
    broker.kill()


class Press(kvo_fa.Worker):
    def __init__(self, group: Any, machine: Any, name: str = "press") -> None:
        super().__init__(group, name)
        self.machine, self.loop_interval = machine, 0.01

    def work(self, task: object) -> None:
        self.machine.wait_for_signal("X2", True, 30, 0.01)


def machine_on(plc: Any, machines: list[Any]) -> Any:
    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    machine.start()
    return machine


# ---- the payload codec against the compiled schema

SCALARS = st.one_of(
    st.tuples(st.just(DataType.Int32), st.integers(-(1 << 31), (1 << 31) - 1)),
    st.tuples(st.just(DataType.Int8), st.integers(-128, 127)),
    st.tuples(st.just(DataType.Int64), st.integers(-(1 << 63), (1 << 63) - 1)),
    st.tuples(st.just(DataType.UInt16), st.integers(0, 0xFFFF)),
    st.tuples(st.just(DataType.UInt64), st.integers(0, (1 << 64) - 1)),
    st.tuples(st.just(DataType.Double), st.floats(allow_nan=False)),
    st.tuples(st.just(DataType.Boolean), st.booleans()),
    st.tuples(st.just(DataType.String), st.text()),
    st.tuples(st.just(DataType.Bytes), st.binary()),
    st.tuples(st.just(DataType.String), st.none()),
)
METRICS = st.builds(lambda name, alias, typed, ts: Metric(name, alias, typed[0], typed[1], ts, typed[1] is None),
                    st.one_of(st.none(), st.text(min_size=1)), st.one_of(st.none(), st.integers(0, 1 << 40)),
                    SCALARS, st.one_of(st.none(), st.integers(0, 1 << 45)))


@settings(max_examples=150, deadline=None)
@given(metrics=st.lists(METRICS, max_size=6), seq=st.one_of(st.none(), st.integers(0, 255)),
       timestamp=st.integers(0, 1 << 45))
def test_the_codec_and_the_compiled_schema_read_each_other(schema: Any, metrics: list[Metric], seq: Any,
                                                           timestamp: int) -> None:
    ours = Payload(timestamp=timestamp, metrics=metrics, seq=seq)
    theirs = schema.Payload()
    theirs.ParseFromString(encode(ours))
    assert theirs.timestamp == timestamp and (theirs.seq if theirs.HasField("seq") else None) == seq
    for mine, metric in zip(metrics, theirs.metrics, strict=True):
        assert (metric.name if metric.HasField("name") else None) == mine.name and metric.datatype == mine.datatype
        field = metric.WhichOneof("value")
        assert metric.is_null == (mine.value is None) and (field is None) == (mine.value is None)
        if field is not None:
            bits = 32 if field == "int_value" else 64
            wanted = mine.value % (1 << bits) if isinstance(mine.value, int) and field.endswith("int_value") or \
                field == "long_value" else mine.value
            assert getattr(metric, field) == wanted
    assert decode(theirs.SerializeToString()) == ours


@given(st.binary(max_size=64))
def test_bytes_that_are_no_payload_raise_only_sparkplug_error(data: bytes) -> None:
    try:
        decode(data)
    except SparkplugError:
        pass


def test_a_value_its_datatype_cannot_carry_is_refused() -> None:
    for datatype, value in ((DataType.Int8, 300), (DataType.UInt16, -1), (DataType.Boolean, 1),
                            (DataType.Double, "x"), (DataType.DataSet, b"")):
        with pytest.raises(SparkplugError, match="metric 'm'"):
            encode(Payload(metrics=[Metric("m", None, datatype, value)]))


# ---- the edge node on a real broker

@needs_broker
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")  # Stop ends the press's wait
def test_births_data_commands_rebirth_and_a_shared_session(spb_broker: Broker, schema: Any, plc: Any,
                                                           machines: list[Any], worker_group: Any,
                                                           tmp_path: Any) -> None:
    machine = machine_on(plc, machines)
    worker_group.add(Press(worker_group, machine))
    worker_group.start_all()
    other = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(other)
    host = Host(schema, spb_broker.port, "page", PASSWORD, "g1")
    state = str(tmp_path / "bdseq.json")
    options: dict[str, Any] = dict(dialect="sparkplug", group="g1", sparkplug_state=state, **FAST)
    try:
        first = PlantReporter.attach(machine, worker_group, spb_broker.url("cell-a"), name="press1", ideal_cycle=0.5,
                                     commands=["Hold", "Unhold", "reset"], **options)
        second = PlantReporter.attach(other, None, spb_broker.url("cell-a"), name="press2", **options)
        try:
            assert wait_until(lambda: host.metrics("press1").get("PackML/StateCurrentName") == "Idle")
            assert wait_until(lambda: host.metrics("press2").get("PackML/StateCurrentName") == "Stopped")
            nbirth = host.of("NBIRTH")
            assert len(nbirth) == 1 and nbirth[0].seq == 0           # one edge node for both machines
            names = {m.name for m in nbirth[0].metrics}
            assert names == {"bdSeq", "Node Control/Rebirth"}
            birth = host.of("DBIRTH", "press1")[-1]
            aliases = [m.alias for p in host.of("DBIRTH") + nbirth for m in p.metrics]
            assert len(set(aliases)) == len(aliases)                # unique in the edge node
            metrics = host.metrics("press1")
            assert metrics["PackML/MachSpeed"] == 30 * 4 and metrics["Stations/press"] == "free"
            assert metrics["IO/X/0"] == 0 and "OEE/Shift/Availability" in metrics and metrics["State"] == "running"
            assert {"PackML/Command/Hold", "PackML/Command/Unhold"} <= {m.name for m in birth.metrics}
            assert "PackML/Command/reset" not in metrics               # only PackML commands are DCMDs

            worker_group.put_task("press", "part")
            first.cycle_done()
            first.cycle_done(good=False)
            assert wait_until(lambda: host.metrics("press1").get("PackML/ProdProcessedCount") == 2)
            assert wait_until(lambda: host.metrics("press1").get("PackML/StateCurrentName") == "Execute")
            assert wait_until(lambda: host.metrics("press1").get("OEE/Shift/Quality") == 0.5)
            data = host.of("DDATA", "press1")
            assert data and all(m.alias and not m.name for p in data for m in p.metrics)   # by alias only
            plc.set("X1", True)
            assert wait_until(lambda: host.metrics("press1").get("IO/X/0") == 2)

            host.command("press1", "PackML/Command/Hold", device="press1")
            assert wait_until(lambda: host.metrics("press1").get("PackML/StateCurrentName") == "Held")
            assert machine.is_paused() and host.metrics("press1")["Command/Accepted"] is True
            host.command("press1", "PackML/Command/Start", device="press1")   # not allowed: nothing happens
            host.client.publish("spBv1.0/g1/NCMD/press1", b"\xff\xff\xff", qos=1).wait_for_publish(5)  # no payload
            host.command("press1", "Node Control/Rebirth")
            assert wait_until(lambda: len(host.of("NBIRTH")) == 2 and len(host.of("DBIRTH", "press2")) == 2)
            assert host.bdseq(host.of("NBIRTH")[1]) == host.bdseq(nbirth[0])     # same session
            assert host.metrics("press1")["PackML/StateCurrentName"] == "Held"
            seqs = host.seqs()
            assert seqs == [i % 256 for i in range(len(seqs))]
            second.close()
            assert wait_until(lambda: host.of("DDEATH", "press2"))
        finally:
            second.close()
            first.close()
        death = wait_until(lambda: host.of("NDEATH"))
        assert host.bdseq(death[-1]) == host.bdseq(nbirth[0])

        again = PlantReporter.attach(other, None, spb_broker.url("cell-a"), name="press2", **options)
        wait_until(lambda: len(host.of("NBIRTH")) == 3)
        again.close()
        assert host.bdseq(host.of("NBIRTH")[-1]) == (host.bdseq(nbirth[0]) + 1) % 256   # kept in the file
    finally:
        machine.stop()  # ends the press's wait
        host.close()


@needs_broker
def test_the_primary_host_state_and_a_broker_restart(spb_broker: Broker, schema: Any, plc: Any,
                                                     machines: list[Any], tmp_path: Any) -> None:
    machine = machine_on(plc, machines)
    host = Host(schema, spb_broker.port, "page", PASSWORD, "g2", host_id="scada")
    try:
        host.set_online(False)
        with PlantReporter(machine, None, spb_broker.url("cell-a"), name="m", dialect="sparkplug",
                           sparkplug_group="g2", primary_host="scada", sparkplug_state=str(tmp_path / "s.json"),
                           **FAST):
            wait_until(lambda: host.of("NBIRTH"), timeout=0.5)
            assert host.of("NBIRTH") == []                            # the host is away: no births
            host.set_online(True)
            first = wait_until(lambda: host.of("NBIRTH"))[0]
            assert wait_until(lambda: host.metrics("m").get("PackML/StateCurrentName") == "Idle")
            host.set_online(False)                                    # NDEATH, a new session, no births
            death = wait_until(lambda: host.of("NDEATH"))[-1]
            assert host.bdseq(death) == host.bdseq(first)
            host.set_online(True)
            second = wait_until(lambda: len(host.of("NBIRTH")) == 2 and host.of("NBIRTH")[1])
            assert host.bdseq(second) == host.bdseq(first) + 1
            assert wait_until(lambda: len(host.of("DBIRTH", "m")) == 2)

            spb_broker.kill()
            spb_broker.start()                                        # the host says it is online again
            third = wait_until(lambda: len(host.of("NBIRTH")) == 3 and host.of("NBIRTH")[2], timeout=20)
            assert host.bdseq(third) == host.bdseq(second) + 1
            assert wait_until(lambda: len(host.of("DBIRTH", "m")) == 3)
    finally:
        host.close()


@needs_broker
def test_a_killed_cell_leaves_the_ndeath_of_its_bdseq_which_goes_on_after_a_restart(spb_broker: Broker, schema: Any,
                                                                                      tmp_path: Any) -> None:
    host = Host(schema, spb_broker.port, "page", PASSWORD, "g3")
    env = {**os.environ, "XDG_STATE_HOME": str(tmp_path),
           "PYTHONPATH": os.pathsep.join([os.path.join(HERE, "..", "kit"), os.environ.get("PYTHONPATH", "")])}
    command = [sys.executable, CELL, "--parts", "100000", "--fast", "--out", str(tmp_path), "--plant",
               spb_broker.url("cell-b"), "--name", "cell-b", "--sparkplug", "g3", "--ideal-cycle", "0.5"]
    try:
        births = []
        for run in range(2):
            cell = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            try:
                birth = wait_until(lambda: len(host.of("NBIRTH")) > run and host.of("NBIRTH")[run], timeout=30)
                assert birth, cell.stderr.read() if cell.poll() is not None else "no NBIRTH"   # type: ignore
                births.append(host.bdseq(birth))
                assert wait_until(lambda: (host.metrics("cell-b").get("PackML/ProdProcessedCount") or 0) > 0,
                                  timeout=30)
                assert host.metrics("cell-b")["PackML/StateCurrentName"] == "Execute"
                assert host.metrics("cell-b")["PackML/MachSpeed"] == 120.0
            finally:
                cell.send_signal(signal.SIGKILL)
                cell.wait()
            death = wait_until(lambda: len(host.of("NDEATH")) > run and host.of("NDEATH")[run])
            assert host.bdseq(death) == births[run]
        assert births[1] == (births[0] + 1) % 256
    finally:
        host.close()


@needs_broker
def test_the_jammed_demo_cell_is_seen_aborted_and_its_scrapped_parts_defective(spb_broker: Broker, schema: Any,
                                                                              tmp_path: Any,
                                                                              monkeypatch: Any) -> None:
    sys.path.insert(0, os.path.dirname(CELL))
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    try:
        import cell
        import plant
    finally:
        sys.path.remove(os.path.dirname(CELL))
    host = Host(schema, spb_broker.port, "page", PASSWORD, "g4")
    try:
        summary = cell.run(4, plant.FAST, jam=True, out_dir=str(tmp_path), out=lambda line: None, sim="cell-spb",
                           plant_url=spb_broker.url("cell-a"), name="cell-a", sparkplug="g4", ideal_cycle=0.5)
        assert summary.scrapped >= 1
        assert wait_until(lambda: host.of("NDEATH"))
        states = host.history("cell-a", "PackML/StateCurrentName")
        path = iter(states)
        assert all(state in path for state in ("Execute", "Aborting", "Aborted", "Clearing", "Stopped", "Execute")), \
            states
        metrics = host.metrics("cell-a")
        assert metrics["PackML/ProdDefectiveCount"] == summary.scrapped
        assert metrics["PackML/ProdProcessedCount"] == summary.parts + summary.scrapped
        assert metrics["PackML/StopReason/Type"] == "DYCylinderException"
        assert 0 < metrics["OEE/Shift/Quality"] < 1
    finally:
        host.close()


def test_the_host_gives_back_the_json_dialects_reports() -> None:
    from kvo_kit.plant.sparkplug import metrics_of
    from kvo_kit.plant.sparkplug_host import SparkplugHost

    reports = {
        "state": {"state": "faulted", "packml": {"state": "Aborted", "state_number": 9, "mode": "Production"}},
        "fault": {"active": True, "message": "slide", "type": "XException", "raised": 1796763529.5, "cleared": None},
        "stations": {"stations": {"feed": "dead", "pick": "free"}},
        "counters": {"cycles": 3, "cycle_time": 0.5, "cycle_time_mean": 0.5, "faults": 1, "link_failures": 2,
                     "link": {"transactions": 9, "failures": {"timeout": 2}}},
        "io": {"x": [163, 0], "y": [20]},
        "packml": {"StateCurrent": 9, "StateCurrentName": "Aborted", "UnitModeCurrent": 1, "UnitModeName": "Production",
                   "MachSpeed": 120.0, "CurMachSpeed": 0.0, "ProdProcessedCount": 4, "ProdDefectiveCount": 1,
                   "StopReason": {"type": "XException", "message": "slide", "at": 1796763529.5},
                   "Alarm": [{"type": "XException", "message": "slide", "at": 1796763529.5}],
                   "StateCurrentTime": 1.5, "StateCumulativeTime": {"Execute": 3.0, "Aborted": 1.5},
                   "AccTimeSinceReset": 4.5},
        "oee": {"shift": {"availability": 0.5, "performance": 1.0, "quality": 0.75, "oee": 0.375, "window": 4.5},
                "hour": {"availability": 0.5, "performance": 1.0, "quality": 0.75, "oee": 0.375, "window": 4.5}},
    }
    metrics = {}
    for kind, content in reports.items():
        metrics.update(metrics_of(kind, content))
    birth = Payload(seq=1, metrics=[Metric(name, alias, datatype, value, is_null=value is None)
                                    for alias, (name, (datatype, value)) in enumerate(metrics.items(), 1)])
    reader = SparkplugHost()
    assert reader.take("spBv1.0/g/DDATA/edge/m", encode(birth)) == []          # not born yet
    def bare(content: dict) -> dict:
        return {key: value for key, value in content.items() if key not in ("v", "time")}

    got = {kind: bare(content) for machine, kind, content in reader.take("spBv1.0/g/DBIRTH/edge/m", encode(birth))}
    assert got == reports
    data = Payload(seq=2, metrics=[Metric(None, list(metrics).index("PackML/ProdDefectiveCount") + 1,
                                          DataType.Int64, 2)])
    changed = reader.take("spBv1.0/g/DDATA/edge/m", encode(data))
    assert [kind for _, kind, _ in changed] == ["packml"] and changed[0][2]["ProdDefectiveCount"] == 2
    assert [(machine, kind, bare(content)) for machine, kind, content in reader.take("spBv1.0/g/NDEATH/edge", b"")] \
        == [("g/m", "state", {"state": "offline", "reason": "node death"})]


def test_no_broker_changes_nothing_on_the_machine_and_close_is_prompt(plc: Any, machines: list[Any],
                                                                       tmp_path: Any) -> None:
    import time

    from plant_support import free_port

    machine = machine_on(plc, machines)
    reporter = PlantReporter.attach(machine, None, f"mqtt://127.0.0.1:{free_port()}", name="alone",
                                    dialect="sparkplug", group="g5", sparkplug_state=str(tmp_path / "s.json"), **FAST)
    try:
        began = time.monotonic()
        for _ in range(200):
            reporter.cycle_done()
            machine.set_y("Y1", True)
            machine.set_y("Y1", False)
        assert time.monotonic() - began < 2.0 and not reporter.connected
        assert wait_until(lambda: reporter.packml.tags()["ProdProcessedCount"] == 200)
    finally:
        began = time.monotonic()
        reporter.close()
        assert time.monotonic() - began < 3.0
