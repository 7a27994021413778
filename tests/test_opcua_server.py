"""A machine's OPC UA server, seen through python-opcua: the address space, a subscription to an
input, the fault and its alarm, command methods with and without a user, security, and that
neither a client nor a stalled server ever holds up the machine."""
import copy
import os
import sys
import threading
import time
from typing import Any

import pytest
from hypothesis import given, settings, strategies as st

from opcua_support import Notes, client, free_endpoint, make_certificate, needs_opcua, wait_until

pytest.importorskip("asyncua")
pytest.importorskip("opcua")
pytestmark = needs_opcua

import kvo_fa  # noqa: E402
import kvo_mew  # noqa: E402
from asyncua import ua as asyncua_ua  # noqa: E402
from opcua import ua  # noqa: E402

import kvo_kit  # noqa: E402
from kvo_kit.iomap import IoMap  # noqa: E402
from kvo_kit.opcua import OpcUaServer, Security  # noqa: E402

IO = IoMap({
    "start_button": ("X1", "in", "operator's start button"),
    "part_present": ("X12", "in", "a part in the fixture"),
    "lamp": ("Y0", "out", "the cycle lamp"),
})
USERS = {"operator": "s3cret"}
IDENTIFICATION = {"Manufacturer": "ACME", "Model": "press", "SerialNumber": "SN-42", "YearOfConstruction": 2026}


class Served:
    def __init__(self, plc: Any, machine: Any, server: OpcUaServer) -> None:
        self.plc, self.machine, self.server = plc, machine, server

    def node(self, opc: Any, key: str) -> Any:
        return opc.get_node(f"ns={self.ns(opc)};s=press.{key}")

    @staticmethod
    def ns(opc: Any) -> int:
        return opc.get_namespace_index("urn:kvo-fa:opcua")


@pytest.fixture(scope="module")
def served() -> Any:
    plc = kvo_mew.simulator("opcua-served")
    plc.map_io(2, 1, 100)
    machine = kvo_fa.FPMachine(2, 1, 100, "sim://opcua-served")
    machine.start()
    server = OpcUaServer(machine, None, free_endpoint(), name="press", iomap=IO, identification=IDENTIFICATION,
                         commands=("Reset", "Start", "Stop"), security=Security(users=USERS),
                         poll_interval=0.02, counters_interval=0.2)
    try:
        server.start()
        yield Served(plc, machine, server)
    finally:
        server.close()
        machine.close()
        machine.native_machine_handle.close()


@pytest.fixture
def faulting(plc: Any, machines: list[Any]) -> Any:
    """A machine and server of the test's own: a reset restarts the machine's threads."""
    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    machine.start()
    with OpcUaServer(machine, None, free_endpoint(), name="press", commands=("Reset",),
                     security=Security(users=USERS), poll_interval=0.02) as server:
        yield Served(plc, machine, server)


@pytest.fixture
def anonymous(served: Served) -> Any:
    opc = client(served.server.endpoint)
    yield opc
    opc.disconnect()


@pytest.fixture
def operator(served: Served) -> Any:
    opc = client(served.server.endpoint, "operator", USERS["operator"])
    yield opc
    opc.disconnect()


def walk(node: Any, path: str = "") -> dict[str, Any]:
    """Browse path -> value of every variable below `node`, methods as None."""
    found = {}
    for child in node.get_children():
        key = f"{path}.{child.get_browse_name().Name}" if path else child.get_browse_name().Name
        node_class = child.get_node_class()
        if node_class == ua.NodeClass.Variable:
            found[key] = child.get_value()
        elif node_class == ua.NodeClass.Method:
            found[key] = None
        found.update(walk(child, key))
    return found


def test_a_client_browses_and_reads_every_node(served: Served, anonymous: Any) -> None:
    ns = served.ns(anonymous)
    machines = anonymous.get_objects_node().get_child([f"{ns}:Machines"])
    assert [n.get_browse_name().Name for n in machines.get_children()] == ["press"]
    values = walk(machines.get_child([f"{ns}:press"]))
    assert len(values) + len({k.rpartition(".")[0] for k in values}) > 90  # variables, methods and objects

    assert {key.partition(".")[0] for key in values} == {
        "Identification", "MachineryItemState", "MachineryOperationMode", "PackML", "Fault", "IO"}
    assert {k: values[f"Identification.{k}"] for k in IDENTIFICATION} == IDENTIFICATION
    assert values["Identification.SoftwareRevision"] == kvo_kit.__version__
    assert values["Identification.ProductInstanceUri"] == "urn:kvo_fa:ACME:press:SN-42"
    assert values["MachineryItemState.CurrentState"].Text in ("NotExecuting", "Executing")
    assert values["MachineryOperationMode.CurrentState"].Text == "Processing"
    assert values["MachineryOperationMode.CurrentState.Number"] == 3
    assert values["PackML.Status.UnitModeCurrent"] == 1 and values["PackML.Status.StateCurrentName"] == "Idle"
    assert values["PackML.Status.StateCurrent"] == 4
    assert {"PackML.Admin.ProdProcessedCount", "PackML.Admin.StopReason.Message", "PackML.OEE.Shift.OEE",
            "PackML.OEE.LastHour.Availability", "PackML.Admin.StateCumulativeTime.Aborted"} <= set(values)
    assert [k for k in values if k.startswith("PackML.") and values[k] is None] == [
        "PackML.Reset", "PackML.Start", "PackML.Stop"]
    assert (values["Fault.Active"], values["Fault.Message"]) == (False, "")
    assert values["IO.X"] == [served.machine.wx(0), served.machine.wx(1)] and values["IO.Y"] == [0]
    assert [k for k in values if k.startswith("IO.Inputs.") or k.startswith("IO.Outputs.")] == [
        "IO.Inputs.start_button", "IO.Inputs.part_present", "IO.Outputs.lamp"]
    assert served.node(anonymous, "IO.Inputs.part_present").get_description().Text == "a part in the fixture"
    assert values["IO.Link.Available"] is True and values["IO.Link.Up"] is True
    assert values["IO.Link.Transactions"] > 0 and values["IO.Link.Failures.timeout"] == 0


def test_a_second_server_on_a_taken_port_says_so_and_leaves_nothing_running(served: Served) -> None:
    other = OpcUaServer(served.machine, None, served.server.endpoint, name="press")
    with pytest.raises(OSError):
        other.start()
    other.close()  # nothing left to close


def test_no_client_writes_and_no_method_moves_an_output(served: Served, anonymous: Any, operator: Any) -> None:
    for opc in (anonymous, operator):
        for key, value in (("IO.Outputs.lamp", True), ("IO.Y", [1]), ("PackML.Status.StateCurrent", 6)):
            node = served.node(opc, key)
            with pytest.raises(ua.UaStatusCodeError):
                node.set_value(ua.DataValue(ua.Variant(value, node.get_data_type_as_variant_type())))
    served.machine.sync_xy_refresher()
    assert (served.machine.y("Y0"), served.plc.get("Y0")) == (False, False)
    assert served.node(anonymous, "IO.Outputs.lamp").get_value() is False


def test_an_input_change_reaches_a_subscriber(served: Served, anonymous: Any) -> None:
    notes = Notes()
    subscription = anonymous.create_subscription(50, notes)
    try:
        subscription.subscribe_data_change([served.node(anonymous, "IO.Inputs.part_present"),
                                            served.node(anonymous, "IO.X")])
        assert wait_until(lambda: len(notes.changes) >= 2)  # the first values
        delays = []
        for value in (True, False, True, False, True, False):
            seen = len(notes.changes)
            served.plc.set("X12", value)
            begin = time.monotonic()
            arrived = wait_until(lambda: [n for n in notes.changes[seen:] if n[1] == "press.IO.Inputs.part_present"])
            assert arrived and arrived[0][2] is value
            delays.append(arrived[0][0] - begin)
            assert wait_until(lambda: [n for n in notes.changes[seen:] if n[1] == "press.IO.X"])[-1][2][1] == \
                (value << 2)
        # 100 ms and one refresh cycle at a 50 ms publishing interval; slack for two busy cores
        assert sorted(delays)[len(delays) // 2] < 0.5, delays
    finally:
        subscription.delete()


def test_every_burst_of_input_changes_wakes_the_server(plc: Any, machines: list[Any]) -> None:
    plc.map_io(2, 1, 100)
    machine = kvo_fa.FPMachine(2, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    machine.start()
    # No timed sampling during the test: only the wake an input change sends brings its value in.
    with OpcUaServer(machine, None, free_endpoint(), name="press", iomap=IO, poll_interval=60,
                     counters_interval=60) as server:
        opc = client(server.endpoint)
        try:
            node = Served(plc, machine, server).node(opc, "IO.Inputs.start_button")
            for round_ in range(4):  # the wakes of a burst are merged, and the next burst wakes it again
                for i in range(9 + round_):
                    plc.set("X1", i % 2 == 0)
                last = (8 + round_) % 2 == 0
                machine.sync_xy_refresher()
                assert wait_until(lambda: node.get_value() is last, timeout=5.0), round_
        finally:
            opc.disconnect()


@given(st.lists(st.tuples(st.lists(st.integers(0, 0xFFFF), min_size=2, max_size=2),
                          st.lists(st.integers(0, 0xFFFF), min_size=1, max_size=1)), min_size=1, max_size=8))
@settings(max_examples=60, deadline=None)
def test_the_image_changes_are_exactly_the_values_that_differ(images: list[tuple[list[int], list[int]]]) -> None:
    from kvo_kit.opcua import model

    machine = type("Machine", (), {"x_word_count": 2, "y_word_count": 1})()
    iomap = IoMap({"a": ("X0", "in"), "b": ("XF", "in"), "c": ("X12", "in"), "d": ("X1F", "in"), "e": ("Y3", "out")})
    inputs, outputs = model.image_bits(machine, iomap)
    served = model.io_values([0, 0], [0], inputs, outputs)
    changes = model.ImageChanges(inputs, outputs, [0, 0], [0])
    for xs, ys in images:
        wanted = model.io_values(xs, ys, inputs, outputs)
        changed = changes.since_last(xs, ys)
        assert changed == {key: value for key, value in wanted.items() if served[key] != value}
        served.update(changed)
        assert changes.since_last(list(xs), list(ys)) == {}


def test_a_written_value_goes_on_the_wire_as_any_data_value_and_is_never_copied() -> None:
    from asyncua.ua import ua_binary

    from kvo_kit.opcua import model

    for variant in (model.BOOLEANS[True], ua.Variant([1, 2], ua.VariantType.UInt16)):
        written = model.Written(variant)
        assert copy.deepcopy(written) is written
        plain = ua_binary.to_binary(asyncua_ua.DataValue, asyncua_ua.DataValue(variant))
        assert ua_binary.to_binary(asyncua_ua.DataValue, written) == plain
        notification = asyncua_ua.MonitoredItemNotification(ClientHandle=7, Value=written)
        assert ua_binary.struct_to_binary(notification) == ua_binary.struct_to_binary(
            asyncua_ua.MonitoredItemNotification(ClientHandle=7, Value=asyncua_ua.DataValue(variant)))


def stall(server: OpcUaServer, seconds: float) -> None:
    """Block the server's event loop for `seconds`, from now."""
    loop, stalled = server._loop, threading.Event()
    assert loop is not None
    loop.call_soon_threadsafe(lambda: (stalled.set(), time.sleep(seconds)))
    assert stalled.wait(5)


def test_a_fault_is_shown_with_an_alarm_until_a_user_resets_it(faulting: Served) -> None:
    served, anonymous = faulting, client(faulting.server.endpoint)
    operator = client(faulting.server.endpoint, "operator", USERS["operator"])
    notes = Notes()
    ns = served.ns(anonymous)
    machine_node = anonymous.get_node(f"ns={ns};s=press")
    alarm_type = anonymous.get_node(ua.ObjectIds.AlarmConditionType)
    subscription = anonymous.create_subscription(50, notes)
    try:
        subscription.subscribe_events(machine_node, alarm_type)
        stall(served.server, 3.0)  # the fault path and the refresh never wait for the server
        begin = time.monotonic()
        served.plc.set("X1", True)
        served.machine.sync_xy_refresher()
        assert served.machine.x("X1")
        with pytest.raises(IOError):
            served.machine.raise_exception(IOError("the press is jammed"))
        assert time.monotonic() - begin < 2.0  # well inside the stall
        active = served.node(anonymous, "Fault.Active")
        assert wait_until(active.get_value)
        assert served.node(anonymous, "Fault.Message").get_value() == "the press is jammed"
        assert served.node(anonymous, "Fault.Type").get_value() == "OSError"
        assert wait_until(lambda: served.node(anonymous, "PackML.Status.StateCurrentName").get_value() == "Aborted")
        assert wait_until(lambda: served.node(anonymous, "MachineryItemState.CurrentState").get_value().Text ==
                          "OutOfService")
        assert served.node(anonymous, "PackML.Admin.StopReason.Message").get_value() == "the press is jammed"
        raised = wait_until(lambda: notes.events)[0]
        assert (raised.Retain, raised.Severity, raised.Message.Text) == (True, 800, "OSError: the press is jammed")

        reset = served.node(anonymous, "PackML.Reset")
        with pytest.raises(ua.UaStatusCodeError, match="BadUserAccessDenied"):
            machine_node.call_method(reset)
        time.sleep(0.2)
        assert served.machine._exception_flag and active.get_value() is True

        operator.get_node(machine_node.nodeid).call_method(operator.get_node(reset.nodeid))
        assert not served.machine._exception_flag
        assert wait_until(lambda: active.get_value() is False)
        cleared = wait_until(lambda: notes.events[1:])[0]
        assert (cleared.Retain, cleared.Message.Text) == (False, "cleared: OSError: the press is jammed")
        assert wait_until(lambda: served.node(anonymous, "PackML.Status.StateCurrentName").get_value() == "Idle")

        with pytest.raises(ua.UaStatusCodeError, match="BadInvalidState"):  # Reset is for a stopped machine
            operator.get_node(machine_node.nodeid).call_method(operator.get_node(reset.nodeid))
    finally:
        subscription.delete()
        anonymous.disconnect()
        operator.disconnect()


@pytest.mark.parametrize("options, message", [
    (dict(endpoint="opc.tcp://0.0.0.0:4840"), "not a loopback address"),
    (dict(commands=("Reset",)), "command methods need users"),
    (dict(commands=("Abort",), security=Security(users=USERS)), "'Abort' cannot be allowed"),
    (dict(commands={"Reset": "reset"}, security=Security(users=USERS)), "is not callable"),
    (dict(security=Security(certificate="cert.pem")), "certificate and its private key together"),
    (dict(security=Security(anonymous=False)), "at least one user"),
    (dict(security=Security(trusted_clients=["client.pem"])), "need the server's certificate"),
    (dict(security=Security(users={"operator": ""})), "needs a name and a password"),
    (dict(identification={"Serial": "1"}), "unknown identification property 'Serial'"),
    (dict(identification={"SoftwareRevision": "9"}), "cannot be given"),
    (dict(endpoint="tcp://127.0.0.1:4840"), "opc.tcp://HOST:PORT"),
    (dict(iomap=IoMap({"far": ("X30", "in")})), "beyond the machine"),
])
def test_settings_that_let_in_more_than_they_say_are_refused(options: dict[str, Any], message: str) -> None:
    machine = type("Machine", (), {"x_word_count": 1, "y_word_count": 1})()
    endpoint = options.pop("endpoint", "opc.tcp://127.0.0.1:4840")
    with pytest.raises((ValueError, TypeError), match=message):
        OpcUaServer(machine, None, endpoint, **options)


def test_an_encrypted_server_refuses_what_its_policy_does_not_allow(tmp_path: Any, plc: Any,
                                                                    machines: list[Any]) -> None:
    cert, key = make_certificate(str(tmp_path), "server", "urn:kvo-fa:press")
    client_cert, client_key = make_certificate(str(tmp_path), "client", "urn:kvo-fa:test-client")
    stranger_cert, stranger_key = make_certificate(str(tmp_path), "stranger", "urn:kvo-fa:test-client")
    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    endpoint = free_endpoint()
    secure = f"Basic256Sha256,SignAndEncrypt,{client_cert},{client_key}"
    server = OpcUaServer(machine, None, endpoint, name="press", commands=("Reset",),
                         security=Security(certificate=cert, private_key=key, users=USERS,
                                           trusted_clients=[client_cert]))
    with server:
        with pytest.raises(Exception):  # the None policy is not offered: no channel opens
            client(endpoint).disconnect()
        with pytest.raises(ua.UaStatusCodeError):
            client(endpoint, "operator", "wrong", security=secure).disconnect()
        with pytest.raises(ua.UaStatusCodeError, match="BadCertificateUntrusted"):
            client(endpoint, security=f"Basic256Sha256,SignAndEncrypt,{stranger_cert},{stranger_key}").disconnect()
        opc = client(endpoint, security=secure)
        try:
            ns = Served.ns(opc)
            assert opc.get_node(f"ns={ns};s=press.Identification.SoftwareRevision").get_value() == \
                kvo_kit.__version__
        finally:
            opc.disconnect()
        opc = client(endpoint, "operator", USERS["operator"], security=secure)
        try:  # a user may: Reset takes the stopped machine to Idle
            assert machine.is_stopped()
            opc.get_node(f"ns={ns};s=press").call_method(opc.get_node(f"ns={ns};s=press.PackML.Reset"))
            assert not machine.is_stopped()
            begin = time.monotonic()
            server.close()  # with a client connected
            assert time.monotonic() - begin < 1.5
        finally:
            try:
                opc.disconnect()
            except Exception:  # the server has gone
                pass


def test_the_demo_cell_is_reset_by_an_opcua_user(tmp_path: Any) -> None:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "cell"))
    import cell
    import plant

    endpoint, lines, done = free_endpoint(), [], []
    runner = threading.Thread(target=lambda: done.append(cell.run(
        3, plant.FAST, jam=True, out_dir=str(tmp_path), out=lines.append, sim="cell-opcua", opcua_url=endpoint,
        opcua_users=USERS, reset_from_opcua=True, name="cell")))
    runner.start()
    try:
        assert wait_until(lambda: "operator: waiting for Reset from an OPC UA client" in lines, 60)
        opc = client(endpoint)
        try:
            ns = Served.ns(opc)
            cell_node, reset = opc.get_node(f"ns={ns};s=cell"), opc.get_node(f"ns={ns};s=cell.PackML.Reset")
            assert wait_until(lambda: opc.get_node(f"ns={ns};s=cell.Fault.Active").get_value())
            assert "双控气缸" in opc.get_node(f"ns={ns};s=cell.Fault.Message").get_value()
            with pytest.raises(ua.UaStatusCodeError, match="BadUserAccessDenied"):
                cell_node.call_method(reset)
        finally:
            opc.disconnect()
        opc = client(endpoint, "operator", USERS["operator"])
        try:
            opc.get_node(f"ns={ns};s=cell").call_method(opc.get_node(f"ns={ns};s=cell.PackML.Reset"))
            assert wait_until(lambda: done, 60)
            assert done[0].parts == 3 and len(done[0].faults) == 1
        finally:
            opc.disconnect()
    finally:
        runner.join(60)


@pytest.mark.parametrize("flags, message", [
    (["--opcua-reset"], "--opcua-reset needs --opcua and --opcua-user"),
    (["--opcua", "opc.tcp://127.0.0.1:4840", "--opcua-user", "operator"], "KVO_OPCUA_PASSWORD"),
])
def test_the_demo_cell_refuses_an_opcua_reset_no_user_may_call(flags: list[str], message: str) -> None:
    import subprocess

    cell = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "cell", "cell.py")
    env = {k: v for k, v in os.environ.items() if k != "KVO_OPCUA_PASSWORD"}
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    done = subprocess.run([sys.executable, cell, "--fast", *flags], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 2 and message in done.stderr


def test_ctrl_c_ends_the_demo_cell_and_its_server_with_a_client_connected(tmp_path: Any) -> None:
    import signal
    import subprocess

    endpoint = free_endpoint()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONUNBUFFERED="1")
    cell = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                                          "examples", "cell", "cell.py"),
                             "--parts", "200", "--out", str(tmp_path), "--opcua", endpoint],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert cell.stdout.readline().startswith("cell: 200 parts")
        assert cell.stdout.readline().startswith(f"cell: OPC UA server at {endpoint}")
        opc = client(endpoint)
        try:
            assert opc.get_node(f"ns={Served.ns(opc)};s=cell.Identification.Model").get_value() == "demo cell"
            pressed = time.monotonic()
            cell.send_signal(signal.SIGINT)
            out, err = cell.communicate(timeout=30)
            took = time.monotonic() - pressed
        finally:
            try:
                opc.disconnect()
            except Exception:  # the server has gone
                pass
    finally:
        if cell.poll() is None:
            cell.kill()
            cell.communicate()
    assert cell.returncode == 130, err
    assert "interrupted; machine and stations stopped, outputs off" in out and "Traceback" not in err
    assert took < 5, took  # within a second on a quiet machine
