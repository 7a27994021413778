"""The Sparkplug B payload on the wire: a small codec of its protobuf encoding.

    data = encode(Payload(timestamp=ms, seq=3, metrics=[Metric("PackML/StateCurrent", 7, DataType.Int32, 6)]))
    payload = decode(data)       # SparkplugError (a ValueError) when `data` is not one

Covers what a plant exchanges: the payload's timestamp, seq, uuid and body and
each metric's name, alias, timestamp, datatype, flags and scalar value. A
metric's metadata and properties, and data sets, templates and extensions, are
skipped on decoding (their value is kept as raw bytes) and never encoded.
Signed integers travel as two's complement in the unsigned fields, as
Sparkplug asks; decoding gives them back with their sign.
"""
import enum
import struct
from dataclasses import dataclass, field
from typing import Any, Optional

MAX_PAYLOAD = 1 << 20


class SparkplugError(ValueError):
    """Bytes that are not a Sparkplug B payload, or a value its datatype cannot carry."""


class DataType(enum.IntEnum):
    Unknown = 0
    Int8 = 1
    Int16 = 2
    Int32 = 3
    Int64 = 4
    UInt8 = 5
    UInt16 = 6
    UInt32 = 7
    UInt64 = 8
    Float = 9
    Double = 10
    Boolean = 11
    String = 12
    DateTime = 13
    Text = 14
    UUID = 15
    DataSet = 16
    Bytes = 17
    File = 18
    Template = 19


@dataclass
class Metric:
    name: Optional[str] = None
    alias: Optional[int] = None
    datatype: int = DataType.Unknown
    value: Any = None            # None with is_null
    timestamp: Optional[int] = None
    is_null: bool = False
    is_historical: bool = False
    is_transient: bool = False


@dataclass
class Payload:
    timestamp: Optional[int] = None    # ms since the epoch
    metrics: list[Metric] = field(default_factory=list)
    seq: Optional[int] = None
    uuid: Optional[str] = None
    body: Optional[bytes] = None


# Wire types and the value field each datatype uses.
VARINT, FIXED64, LENGTH, FIXED32 = 0, 1, 2, 5
_SIGNED_BITS = {DataType.Int8: 8, DataType.Int16: 16, DataType.Int32: 32, DataType.Int64: 64}
_INT_FIELD = {DataType.Int8, DataType.Int16, DataType.Int32, DataType.UInt8, DataType.UInt16, DataType.UInt32}
_LONG_FIELD = {DataType.Int64, DataType.UInt64, DataType.DateTime}
_TEXT_FIELD = {DataType.String, DataType.Text, DataType.UUID}
_BYTES_FIELD = {DataType.Bytes, DataType.File}
_RANGES = {DataType.Int8: (-1 << 7, 1 << 7), DataType.Int16: (-1 << 15, 1 << 15), DataType.Int32: (-1 << 31, 1 << 31),
           DataType.Int64: (-1 << 63, 1 << 63), DataType.UInt8: (0, 1 << 8), DataType.UInt16: (0, 1 << 16),
           DataType.UInt32: (0, 1 << 32), DataType.UInt64: (0, 1 << 64), DataType.DateTime: (0, 1 << 64)}


# ---- encoding

def _varint(value: int) -> bytes:
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def _key(number: int, wire: int) -> bytes:
    return _varint(number << 3 | wire)


def _uint(number: int, value: int) -> bytes:
    return _key(number, VARINT) + _varint(value)


def _length(number: int, data: bytes) -> bytes:
    return _key(number, LENGTH) + _varint(len(data)) + data


def _value(metric: Metric) -> bytes:
    kind, value = metric.datatype, metric.value
    if kind in _RANGES:
        if isinstance(value, bool) or not isinstance(value, int):
            raise SparkplugError(f"metric {metric.name!r}: {DataType(kind).name} needs an integer, not {value!r}")
        low, high = _RANGES[DataType(kind)]
        if not low <= value < high:
            raise SparkplugError(f"metric {metric.name!r}: {value} is out of range for {DataType(kind).name}")
        if kind in _INT_FIELD:
            return _uint(10, value & 0xFFFFFFFF)
        return _uint(11, value & 0xFFFFFFFFFFFFFFFF)
    if kind in (DataType.Float, DataType.Double):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise SparkplugError(f"metric {metric.name!r}: {DataType(kind).name} needs a number, not {value!r}")
        if kind == DataType.Float:
            return _key(12, FIXED32) + struct.pack("<f", value)
        return _key(13, FIXED64) + struct.pack("<d", value)
    if kind == DataType.Boolean:
        if not isinstance(value, bool):
            raise SparkplugError(f"metric {metric.name!r}: Boolean needs True or False, not {value!r}")
        return _uint(14, int(value))
    if kind in _TEXT_FIELD:
        if not isinstance(value, str):
            raise SparkplugError(f"metric {metric.name!r}: {DataType(kind).name} needs a str, not {value!r}")
        return _length(15, value.encode())
    if kind in _BYTES_FIELD:
        if not isinstance(value, (bytes, bytearray)):
            raise SparkplugError(f"metric {metric.name!r}: {DataType(kind).name} needs bytes, not {value!r}")
        return _length(16, bytes(value))
    raise SparkplugError(f"metric {metric.name!r}: datatype {kind} cannot be encoded here")


def _metric(metric: Metric) -> bytes:
    out = b""
    if metric.name is not None:
        out += _length(1, metric.name.encode())
    if metric.alias is not None:
        out += _uint(2, metric.alias)
    if metric.timestamp is not None:
        out += _uint(3, metric.timestamp)
    if metric.datatype:
        out += _uint(4, int(metric.datatype))
    for number, flag in ((5, metric.is_historical), (6, metric.is_transient)):
        if flag:
            out += _uint(number, 1)
    if metric.is_null or metric.value is None:
        return out + _uint(7, 1)
    return out + _value(metric)


def encode(payload: Payload) -> bytes:
    """The protobuf bytes of `payload`; SparkplugError names a value its datatype cannot carry."""
    out = b""
    if payload.timestamp is not None:
        out += _uint(1, payload.timestamp)
    for metric in payload.metrics:
        out += _length(2, _metric(metric))
    if payload.seq is not None:
        out += _uint(3, payload.seq)
    if payload.uuid is not None:
        out += _length(4, payload.uuid.encode())
    if payload.body is not None:
        out += _length(5, payload.body)
    return out


# ---- decoding

class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data, self.at = data, 0

    def more(self) -> bool:
        return self.at < len(self.data)

    def varint(self) -> int:
        value = shift = 0
        while True:
            if self.at >= len(self.data):
                raise SparkplugError("payload ends inside a number")
            byte = self.data[self.at]
            self.at += 1
            value |= (byte & 0x7F) << shift
            if not byte & 0x80:
                return value
            shift += 7
            if shift >= 70:
                raise SparkplugError("payload has a number of more than 10 bytes")

    def take(self, count: int) -> bytes:
        if count < 0 or self.at + count > len(self.data):
            raise SparkplugError("payload ends inside a field")
        chunk = self.data[self.at:self.at + count]
        self.at += count
        return chunk

    def field(self) -> tuple[int, int, Any]:
        """(number, wire type, raw value) of the next field."""
        key = self.varint()
        number, wire = key >> 3, key & 7
        if number == 0:
            raise SparkplugError("payload has a field numbered 0")
        if wire == VARINT:
            return number, wire, self.varint()
        if wire == FIXED64:
            return number, wire, self.take(8)
        if wire == LENGTH:
            return number, wire, self.take(self.varint())
        if wire == FIXED32:
            return number, wire, self.take(4)
        raise SparkplugError(f"payload has a field of wire type {wire}, which Sparkplug does not use")


def _text(raw: Any, what: str) -> str:
    if not isinstance(raw, bytes):
        raise SparkplugError(f"{what} is not a text field")
    try:
        return raw.decode()
    except UnicodeDecodeError:
        raise SparkplugError(f"{what} is not UTF-8") from None


def _signed(value: int, bits: int) -> int:
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


def _decode_metric(data: bytes) -> Metric:
    metric, reader, raw_value = Metric(), _Reader(data), None
    while reader.more():
        number, wire, raw = reader.field()
        if number == 1:
            metric.name = _text(raw, "a metric name")
        elif number in (2, 3, 4, 5, 6, 7) and wire == VARINT:
            if number == 2:
                metric.alias = raw
            elif number == 3:
                metric.timestamp = raw
            elif number == 4:
                metric.datatype = raw
            else:
                setattr(metric, {5: "is_historical", 6: "is_transient", 7: "is_null"}[number], bool(raw))
        elif 10 <= number <= 19:
            raw_value = (number, wire, raw)
    if raw_value is not None and not metric.is_null:
        metric.value = _decode_value(metric, *raw_value)
    return metric


def _decode_value(metric: Metric, number: int, wire: int, raw: Any) -> Any:
    expected = {10: VARINT, 11: VARINT, 12: FIXED32, 13: FIXED64, 14: VARINT, 15: LENGTH, 16: LENGTH}
    if number in expected and wire != expected[number]:
        raise SparkplugError(f"metric {metric.name!r}: value field {number} has the wrong wire type {wire}")
    if number in (10, 11):
        bits = _SIGNED_BITS.get(metric.datatype)   # type: ignore[call-overload]
        return _signed(raw, bits) if bits else raw & (0xFFFFFFFF if number == 10 else 0xFFFFFFFFFFFFFFFF)
    if number == 12:
        return struct.unpack("<f", raw)[0]
    if number == 13:
        return struct.unpack("<d", raw)[0]
    if number == 14:
        return bool(raw)
    if number == 15:
        return _text(raw, f"metric {metric.name!r}'s value")
    return bytes(raw)  # bytes, and data sets, templates and extensions as they came


def decode(data: bytes) -> Payload:
    """The Payload in `data`; SparkplugError when the bytes are not one."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"decode needs bytes, not {type(data).__name__}")
    data = bytes(data)
    if len(data) > MAX_PAYLOAD:
        raise SparkplugError(f"payload of {len(data)} bytes is over {MAX_PAYLOAD}")
    payload, reader = Payload(), _Reader(data)
    while reader.more():
        number, wire, raw = reader.field()
        if number == 2 and wire == LENGTH:
            payload.metrics.append(_decode_metric(raw))
        elif number == 1 and wire == VARINT:
            payload.timestamp = raw
        elif number == 3 and wire == VARINT:
            payload.seq = raw
        elif number == 4 and wire == LENGTH:
            payload.uuid = _text(raw, "the payload's uuid")
        elif number == 5 and wire == LENGTH:
            payload.body = bytes(raw)
    return payload
