"""A Sparkplug B host for the tests that shares no code with the edge node: the
payload schema of the Sparkplug B 3.0 document, compiled by protoc at test time,
and a paho client that keeps every message, its metrics by name (aliases
resolved from the births) and publishes STATE, NCMD and DCMD."""
import importlib.util
import json
import os
import subprocess
import sys
import threading
import time
from typing import Any, Optional

import pytest

mqtt = pytest.importorskip("paho.mqtt.client")

PROTO = """\
syntax = "proto2";
package org.eclipse.tahu.protobuf;
message Payload {
    message Template {
        message Parameter {
            optional string name = 1;
            optional uint32 type = 2;
            oneof value {
                uint32 int_value = 3; uint64 long_value = 4; float float_value = 5; double double_value = 6;
                bool boolean_value = 7; string string_value = 8; ParameterValueExtension extension_value = 9;
            }
            message ParameterValueExtension { extensions 1 to max; }
        }
        optional string version = 1;
        repeated Metric metrics = 2;
        repeated Parameter parameters = 3;
        optional string template_ref = 4;
        optional bool is_definition = 5;
        extensions 6 to max;
    }
    message DataSet {
        message DataSetValue {
            oneof value {
                uint32 int_value = 1; uint64 long_value = 2; float float_value = 3; double double_value = 4;
                bool boolean_value = 5; string string_value = 6; DataSetValueExtension extension_value = 7;
            }
            message DataSetValueExtension { extensions 1 to max; }
        }
        message Row { repeated DataSetValue elements = 1; extensions 2 to max; }
        optional uint64 num_of_columns = 1;
        repeated string columns = 2;
        repeated uint32 types = 3;
        repeated Row rows = 4;
        extensions 5 to max;
    }
    message PropertyValue {
        optional uint32 type = 1;
        optional bool is_null = 2;
        oneof value {
            uint32 int_value = 3; uint64 long_value = 4; float float_value = 5; double double_value = 6;
            bool boolean_value = 7; string string_value = 8; PropertySet propertyset_value = 9;
            PropertySetList propertysets_value = 10; PropertyValueExtension extension_value = 11;
        }
        message PropertyValueExtension { extensions 1 to max; }
    }
    message PropertySet { repeated string keys = 1; repeated PropertyValue values = 2; extensions 3 to max; }
    message PropertySetList { repeated PropertySet propertyset = 1; extensions 2 to max; }
    message MetaData {
        optional bool is_multi_part = 1; optional string content_type = 2; optional uint64 size = 3;
        optional uint64 seq = 4; optional string file_name = 5; optional string file_type = 6;
        optional string md5 = 7; optional string description = 8;
        extensions 9 to max;
    }
    message Metric {
        optional string name = 1;
        optional uint64 alias = 2;
        optional uint64 timestamp = 3;
        optional uint32 datatype = 4;
        optional bool is_historical = 5;
        optional bool is_transient = 6;
        optional bool is_null = 7;
        optional MetaData metadata = 8;
        optional PropertySet properties = 9;
        oneof value {
            uint32 int_value = 10; uint64 long_value = 11; float float_value = 12; double double_value = 13;
            bool boolean_value = 14; string string_value = 15; bytes bytes_value = 16;
            DataSet dataset_value = 17; Template template_value = 18; MetricValueExtension extension_value = 19;
        }
        message MetricValueExtension { extensions 1 to max; }
    }
    optional uint64 timestamp = 1;
    repeated Metric metrics = 2;
    optional uint64 seq = 3;
    optional string uuid = 4;
    optional bytes body = 5;
    extensions 6 to max;
}
"""

INT32, INT64, BOOLEAN, STRING = 3, 4, 11, 12


def compile_schema(folder: str) -> Any:
    """The generated module of the Sparkplug B schema, compiled into `folder`."""
    pytest.importorskip("grpc_tools", reason="needs grpcio-tools to compile the Sparkplug B schema")
    with open(os.path.join(folder, "sparkplug_b.proto"), "w") as f:
        f.write(PROTO)
    subprocess.run([sys.executable, "-m", "grpc_tools.protoc", f"-I{folder}", f"--python_out={folder}",
                    os.path.join(folder, "sparkplug_b.proto")], check=True)
    found = importlib.util.spec_from_file_location("sparkplug_b_pb2", os.path.join(folder, "sparkplug_b_pb2.py"))
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def value_of(metric: Any) -> Any:
    if metric.is_null:
        return None
    field = metric.WhichOneof("value")
    value = getattr(metric, field) if field else None
    if field == "int_value" and metric.datatype == INT32 and value >= 1 << 31:
        value -= 1 << 32
    return value


class Host:
    """Every Sparkplug message of `group`: (kind, edge node, device, decoded payload), in order of arrival."""

    def __init__(self, schema: Any, port: int, user: str, password: str, group: str,
                 host_id: Optional[str] = None) -> None:
        self.schema, self.group, self.host_id = schema, group, host_id
        self.messages: list[tuple[str, str, Optional[str], Any]] = []
        self.lock = threading.Lock()
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"host-{id(self)}")
        self.client.username_pw_set(user, password)
        if host_id:
            self.client.will_set(self.state_topic, self._state(False), qos=1, retain=True)
        self.online = False
        self.client.on_connect = self._on_connect
        self.client.on_message = self._on_message
        self.client.reconnect_delay_set(0.2, 1)
        self.client.connect("127.0.0.1", port, keepalive=10)
        self.client.loop_start()
        deadline = time.monotonic() + 10
        while not self.client.is_connected() and time.monotonic() < deadline:
            time.sleep(0.02)

    @property
    def state_topic(self) -> str:
        return f"spBv1.0/STATE/{self.host_id}"

    @staticmethod
    def _state(online: bool) -> bytes:
        return json.dumps({"online": online, "timestamp": int(time.time() * 1000)}).encode()

    def _on_connect(self, client: Any, userdata: object, flags: object, reason: object, properties: object) -> None:
        client.subscribe(f"spBv1.0/{self.group}/#", qos=1)
        if self.host_id:  # as a host does: its STATE again, on every connection
            client.publish(self.state_topic, self._state(self.online), qos=1, retain=True)

    def _on_message(self, client: Any, userdata: object, message: Any) -> None:
        levels = message.topic.split("/")
        payload = self.schema.Payload()
        try:
            payload.ParseFromString(message.payload)
        except Exception:  # not a payload (a test's garbage): kept empty, paho's thread goes on
            payload = self.schema.Payload()
        with self.lock:
            self.messages.append((levels[2], levels[3], levels[4] if len(levels) > 4 else None, payload))

    def of(self, kind: str, device: Optional[str] = None) -> list[Any]:
        with self.lock:
            return [p for k, _, d, p in self.messages if k == kind and (device is None or d == device)]

    def kinds(self) -> list[str]:
        with self.lock:
            return [k for k, _, _, _ in self.messages]

    def metrics(self, device: str) -> dict[str, Any]:
        """The device's metrics by name as the host knows them: its last DBIRTH and the DDATA after it."""
        with self.lock:
            messages = list(self.messages)
        births = [i for i, (k, _, d, _) in enumerate(messages) if k == "DBIRTH" and d == device]
        if not births:
            return {}
        names, values = {}, {}
        for metric in messages[births[-1]][3].metrics:
            names[metric.alias] = metric.name
            values[metric.name] = value_of(metric)
        for kind, _, d, payload in messages[births[-1] + 1:]:
            if kind == "DDATA" and d == device:
                for metric in payload.metrics:
                    values[metric.name or names[metric.alias]] = value_of(metric)
        return values

    def history(self, device: str, name: str) -> list[Any]:
        """Every value the host was told for the device's metric `name`, births and data, in order."""
        with self.lock:
            messages = [(k, p) for k, _, d, p in self.messages if d == device and k in ("DBIRTH", "DDATA")]
        names: dict[int, str] = {}
        seen = []
        for kind, payload in messages:
            for metric in payload.metrics:
                if kind == "DBIRTH":
                    names[metric.alias] = metric.name
                if (metric.name or names.get(metric.alias)) == name:
                    seen.append(value_of(metric))
        return seen

    def bdseq(self, payload: Any) -> int:
        return next(value_of(m) for m in payload.metrics if m.name == "bdSeq")

    def seqs(self) -> list[int]:
        """seq of every message since the last NBIRTH (NDEATH has none)."""
        with self.lock:
            messages = list(self.messages)
        start = max(i for i, (k, _, _, _) in enumerate(messages) if k == "NBIRTH")
        return [p.seq for k, _, _, p in messages[start:] if k != "NDEATH"]

    def set_online(self, online: bool) -> None:
        self.online = online
        deadline = time.monotonic() + 10
        while not self.client.is_connected() and time.monotonic() < deadline:
            time.sleep(0.02)
        self.client.publish(self.state_topic, self._state(online), qos=1, retain=True).wait_for_publish(5)

    def command(self, edge_node: str, name: str, device: Optional[str] = None) -> None:
        payload = self.schema.Payload()
        payload.timestamp = int(time.time() * 1000)
        metric = payload.metrics.add()
        metric.name, metric.datatype, metric.boolean_value = name, BOOLEAN, True
        kind = "DCMD" if device else "NCMD"
        where = f"spBv1.0/{self.group}/{kind}/{edge_node}" + (f"/{device}" if device else "")
        self.client.publish(where, payload.SerializeToString(), qos=1).wait_for_publish(5)

    def close(self) -> None:
        if self.host_id:
            self.set_online(False)
        self.client.disconnect()
        self.client.loop_stop()
