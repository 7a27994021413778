"""A short run of the chaos soak (bench/chaos_soak.py): both machines through
fault-injecting slaves (serial and tcp://) for a few seconds, no wrong value, no lost output."""
import os
import sys

import pytest

from modbus_peer import socat_available

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
import chaos_soak  # noqa: E402



@pytest.mark.parametrize("transport", [
    pytest.param("serial", marks=pytest.mark.skipif(not socat_available(),
                                                    reason="needs socat for a pseudo-terminal pair")),
    "tcp",
])
def test_short_chaos_soak(tmp_path, transport):
    report = chaos_soak.soak(float(os.environ.get("KVO_SOAK_SECONDS", "4")), fault_rate=0.25, seed=14,
                             directory=str(tmp_path), transport=transport)
    assert chaos_soak.passed(report), report
    assert sum(report["faults injected"].values()) >= 5, report
    assert min(report["refresh cycles"].values()) > 0, report
