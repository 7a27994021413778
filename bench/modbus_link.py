"""Modbus RTU link benchmark over a pseudo-terminal pair.

Runs pymodbus as the slave on one end of a socat pty pair and VedUzavur on the
other, and measures transactions per second and the transfer part of a refresh
cycle (FPMachine with 2 input and 1 output words; FEFMachine with 3 modules).
A pty ignores the baud rate, so the figures are software overhead only (our
link, libmodbus, the pty and, mostly, the Python slave). Beside them: the time
the same frames take on a real line at 9600 and 115200 baud (8N1, 10 bits a
character, 3.5 characters of silence before each frame), which is what bounds
a real machine.

    PYTHONPATH=build/dev python3 bench/modbus_link.py [--seconds 2] [--json bench/modbus_link.json]
"""
import argparse
import json
import math
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import kvo_fa  # noqa: E402
import kvo_mew  # noqa: E402
from modbus_peer import ModbusSlave, PtyPair  # noqa: E402

BITS_PER_CHAR = 10  # start, 8 data bits, stop


def frame_bytes(function, count):
    """(request, response) sizes in bytes of one RTU transaction; `count` is
    registers for 3/6/16 and bits for 1/2/5/15."""
    if function in (1, 2):
        return 8, 5 + math.ceil(count / 8)
    if function == 3:
        return 8, 5 + 2 * count
    if function in (5, 6):
        return 8, 8
    if function == 15:
        return 9 + math.ceil(count / 8), 8
    if function == 16:
        return 9 + 2 * count, 8
    raise ValueError(function)


def line_ms(frames, baud):
    """Milliseconds on the wire for a list of (function, count) transactions."""
    chars = sum(sum(frame_bytes(f, n)) + 2 * 3.5 for f, n in frames)
    return 1000.0 * chars * BITS_PER_CHAR / baud


def rate(call, seconds):
    call()  # open the port, warm up
    done, started = 0, time.perf_counter()
    while time.perf_counter() - started < seconds:
        call()
        done += 1
    return done / (time.perf_counter() - started)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="time per measurement")
    parser.add_argument("--json", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "modbus_link.json"))
    args = parser.parse_args()
    assert kvo_mew.SERIAL_TRANSPORT, "kvo_mew was built without libmodbus"

    with tempfile.TemporaryDirectory() as directory:
        pair = PtyPair(directory)
        pair.start()
        slave = ModbusSlave(pair.slave_path)
        link = None
        machines = []
        try:
            slave.start()
            link = kvo_mew.VedUzavur(pair.master_path, 115200, timeout=1.0)
            cases = [
                ("get_multi_uint16(1, 'D0', 2)", lambda: link.get_multi_uint16(1, "D0", 2), [(3, 2)]),
                ("set_uint16(1, 'D100', 1)", lambda: link.set_uint16(1, "D100", 1), [(6, 1)]),
                ("set_multi_uint16(1, 'D100', [1, 2])", lambda: link.set_multi_uint16(1, "D100", [1, 2]), [(16, 2)]),
                ("get_coil(1, 'X0')", lambda: link.get_coil(1, "X0"), [(2, 1)]),
                ("set_coil(1, 'Y0', True)", lambda: link.set_coil(1, "Y0", True), [(5, 1)]),
                ("get_coil_uint16(1, 'WX0')", lambda: link.get_coil_uint16(1, "WX0"), [(2, 16)]),
                ("set_coil_uint16(1, 'WY0', 5)", lambda: link.set_coil_uint16(1, "WY0", 5), [(15, 16)]),
                ("get_multi_uint16(1, 'D0', 125)", lambda: link.get_multi_uint16(1, "D0", 125), [(3, 125)]),
            ]
            fp = kvo_fa.FPMachine(2, 1, 100, pair.master_path, 115200, timeout=1.0)
            fef = kvo_fa.FEFMachine(pair.master_path, 3)
            machines = [fp, fef]
            # The transfers of one refresh cycle: inputs, then outputs read back
            # (a cycle with a changed output writes them instead).
            cases += [
                ("FPMachine(2, 1) refresh cycle", lambda: (fp.do_get_x_uint16(), fp.do_get_y_uint16()),
                 [(3, 2), (3, 1)]),
                ("FEFMachine(3 modules) refresh cycle", lambda: (fef.do_get_x_uint16(), fef.do_get_y_uint16()),
                 [(2, 16)] * 3 + [(1, 16)] * 3),
            ]
            results = []
            for name, call, frames in cases:
                per_second = rate(call, args.seconds)
                results.append({
                    "operation": name,
                    "transactions": len(frames),
                    "pty_per_second": round(per_second, 1),
                    "pty_ms": round(1000.0 / per_second, 3),
                    "line_ms_9600": round(line_ms(frames, 9600), 2),
                    "line_ms_115200": round(line_ms(frames, 115200), 2),
                })
        finally:
            for machine in machines:
                machine.close()
            if machines:
                machines[0].native_machine_handle.close()
            if link is not None:
                link.close()
            slave.stop()
            pair.stop()

    header = "| operation | Modbus transactions | pty: per second | pty: ms each | line ms at 9600 | line ms at 115200 |"
    print(header)
    print("|---|---|---|---|---|---|")
    for r in results:
        print("| `%s` | %d | %.0f | %.2f | %.1f | %.2f |" % (r["operation"], r["transactions"], r["pty_per_second"],
                                                         r["pty_ms"], r["line_ms_9600"], r["line_ms_115200"]))
    with open(args.json, "w") as out:
        json.dump({"seconds_per_case": args.seconds, "results": results}, out, indent=2)
    print("written", args.json)


if __name__ == "__main__":
    main()
