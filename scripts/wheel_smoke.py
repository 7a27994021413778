"""A short check of an installed wheel (scripts/wheel.sh --smoke), run by the
interpreter of the virtual environment it is installed in: the modules come
from that environment's site-packages, the bundled libmodbus loads, and a
machine runs against a simulated PLC."""
import sys
import sysconfig

import kvo_fa
import kvo_handy
import kvo_kit
import kvo_mew

site = sysconfig.get_path("platlib")
for module in (kvo_fa, kvo_mew, kvo_handy, kvo_kit):
    assert module.__file__.startswith(site), "%s comes from %s, not %s" % (module.__name__, module.__file__, site)
assert kvo_kit.__version__ == kvo_mew.__version__
plc = kvo_mew.simulator("smoke")
plc.map_io(1, 1, 100)
machine = kvo_fa.FPMachine(1, 1, 100, "sim://smoke")
machine.start()
try:
    plc.set("X1", True)
    machine.wait_for_signal("X1", True, 5, 0.01)
    machine.set_y("Y0", True)
    machine.sync_xy_refresher()
    assert plc.get("Y0")
finally:
    machine.close()
    machine.native_machine_handle.close()
print("wheel smoke test passed on Python %d.%d: %s" % (*sys.version_info[:2], kvo_fa.__file__))
