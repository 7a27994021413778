"""What the machinery model says about a machine, derived from its PackML state and mode.

The names are those the OPC UA companion models for machinery use, so that a
client written for them finds what it expects: the identification properties,
MachineryItemState and MachineryOperationMode with their state numbers.
"""
from collections.abc import Mapping
from typing import Any, Optional

# state name -> its number in MachineryItemState and MachineryOperationMode
ITEM_STATES = {"NotAvailable": 0, "OutOfService": 1, "NotExecuting": 2, "Executing": 3}
OPERATION_MODES = {"None": 0, "Maintenance": 1, "Setup": 2, "Processing": 3}

# PackML state name -> MachineryItemState: producing (and the acting states around Execute) is Executing,
# a machine handling a fault is OutOfService, one whose state is not known yet is NotAvailable.
_EXECUTING = {"Starting", "Execute", "Completing", "Unholding", "Unsuspending"}
_OUT_OF_SERVICE = {"Aborting", "Aborted", "Clearing"}
_MODES = {"Production": "Processing", "Maintenance": "Maintenance", "Manual": "Setup"}

IDENTIFICATION = ("Manufacturer", "Model", "SerialNumber", "ProductInstanceUri", "SoftwareRevision",
                  "HardwareRevision", "ProductCode", "YearOfConstruction", "DeviceClass", "AssetId",
                  "ComponentName", "Location")


def item_state(packml_state: Optional[str]) -> str:
    """The MachineryItemState of a machine in PackML state `packml_state` (None: unknown)."""
    if packml_state is None or packml_state == "Undefined":
        return "NotAvailable"
    if packml_state in _EXECUTING:
        return "Executing"
    if packml_state in _OUT_OF_SERVICE:
        return "OutOfService"
    return "NotExecuting"


def operation_mode(packml_mode: Optional[str]) -> str:
    """The MachineryOperationMode of a machine in PackML unit mode `packml_mode`."""
    return _MODES.get(packml_mode or "", "None")


def identification(given: Optional[Mapping[str, Any]], name: str, kind: str, version: str) -> dict[str, Any]:
    """The identification properties: those given (companion names), the software revision and defaults."""
    given = dict(given or {})
    unknown = [key for key in given if key not in IDENTIFICATION]
    if unknown:
        raise ValueError(f"unknown identification propert{'ies' if len(unknown) > 1 else 'y'} "
                         f"{', '.join(map(repr, unknown))}: known are {', '.join(IDENTIFICATION)}")
    if "SoftwareRevision" in given:
        raise ValueError("the SoftwareRevision is kvo_kit's version and cannot be given")
    year = given.get("YearOfConstruction")
    if year is not None and (not isinstance(year, int) or isinstance(year, bool) or not 0 < year < 65536):
        raise ValueError(f"YearOfConstruction must be a year (an int), not {year!r}")
    for key, value in given.items():
        if key != "YearOfConstruction" and not isinstance(value, str):
            raise ValueError(f"identification {key} must be a str, not {type(value).__name__}")
    found = {"Manufacturer": "", "Model": kind, "SerialNumber": ""}
    found.update(given)
    found.setdefault("ProductInstanceUri", f"urn:kvo_fa:{found['Manufacturer'] or 'machine'}:{name}:"
                                            f"{found['SerialNumber'] or name}")
    found["SoftwareRevision"] = version
    return {key: found[key] for key in IDENTIFICATION if key in found}
