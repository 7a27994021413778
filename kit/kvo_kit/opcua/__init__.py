"""kvo_kit.opcua: each machine as an OPC UA server, the model integrators browse.

    with serve(machine, group, "opc.tcp://127.0.0.1:4840", name="cell", iomap=IO_MAP,
               identification={"Manufacturer": "ACME", "SerialNumber": "42"}) as server:
        ...

Under Objects/Machines/<name>: the identification, MachineryItemState and
MachineryOperationMode, the PackML status and admin tags with OEE, the current
fault (and an alarm event that clears on reset), the I/O image (a Boolean per
named bit, the words as UInt16 arrays, the link's health) and the allowed
PackML command methods, which only an authenticated user may call. Nothing a
client does moves an output. Address space, security and figures: docs/opcua.md.
"""
from kvo_kit.extras import needs

with needs("opcua", "kvo_kit.opcua"):
    from .security import Security
    from .server import COMMANDS, OpcUaServer, serve

__all__ = ["COMMANDS", "OpcUaServer", "Security", "serve"]
