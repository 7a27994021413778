"""Run by test_wx_gui.py under xvfb-run with Debian's python3 and wxPython.

Prints one JSON line: where the GUI-type and the direct edge handlers ran
and what snapshot each one got."""
import json
import threading
import time

import wx

import kvo_fa
import kvo_mew

SIM = "wx_edge_child"


def wait_until(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError("edge not delivered")
        time.sleep(0.01)


def main():
    kvo_mew.reset_simulators()
    plc = kvo_mew.simulator(SIM)
    machine = kvo_fa.FEFMachine("sim://" + SIM)
    main_thread = threading.main_thread()
    gui_calls, direct_calls = [], []
    app = wx.App(False)
    frame = wx.Frame(None, title="edges")

    def on_gui(snapshot):
        gui_calls.append({
            "main": threading.current_thread() is main_thread,
            "rising": snapshot.rising(3), "falling": snapshot.falling(3),
            "word": snapshot.wx(0), "live": machine.wx(0)})
        if len(gui_calls) == 2:
            frame.Destroy()

    def on_direct(snapshot):
        direct_calls.append({"main": threading.current_thread() is main_thread, "word": snapshot.wx(0)})

    machine.register_edge_event_handler(on_gui, kvo_fa.MachineBase.EEH_Type_WX)
    machine.register_edge_event_handler(on_direct)

    def drive():
        # The GUI thread is held here while both edges go through the edge
        # thread, so each queued GUI call must carry the snapshot of its own
        # cycle, not the live image.
        plc.set("WX0", 8)
        wait_until(lambda: len(direct_calls) >= 1)
        plc.set("WX0", 0)
        wait_until(lambda: len(direct_calls) >= 2)
        machine.sync_xy_refresher()

    def give_up():
        if frame:
            frame.Destroy()

    wx.CallLater(100, drive)
    wx.CallLater(10000, give_up)
    frame.Show()
    machine.start()
    try:
        app.MainLoop()
    finally:
        machine.close()
    print(json.dumps({"gui": gui_calls, "direct": direct_calls}))


if __name__ == "__main__":
    main()
