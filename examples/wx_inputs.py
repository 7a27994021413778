"""A small wx window whose label shows the input bits of a machine live.

The machine is an FEFMachine on a simulated I/O module; a timer plays a
sensor that walks along the 16 inputs. The label is updated by a GUI-type
edge handler, which runs on the GUI thread.

    python3 examples/wx_inputs.py [--seconds N]
"""
import argparse

import wx

import kvo_fa
import kvo_mew

SIM = "wx_inputs"


def bits_text(word: int) -> str:
    bits = format(word, "016b")
    return "X15..X0  " + " ".join(bits[i:i + 4] for i in range(0, 16, 4))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=0, help="close the window after N seconds")
    args = parser.parse_args()

    kvo_mew.reset_simulators()
    plc = kvo_mew.simulator(SIM)
    machine = kvo_fa.FEFMachine("sim://" + SIM)

    app = wx.App(False)
    frame = wx.Frame(None, title="kvo_fa inputs")
    label = wx.StaticText(frame, label=bits_text(0))
    label.SetFont(wx.Font(wx.FontInfo(14).Family(wx.FONTFAMILY_TELETYPE)))
    sizer = wx.BoxSizer()
    sizer.Add(label, 0, wx.ALL, 20)
    frame.SetSizerAndFit(sizer)  # the label keeps its width: every text has the same length

    def show(snapshot: kvo_fa.XManager) -> None:
        if label:  # the window may be gone when a late edge arrives
            label.SetLabel(bits_text(snapshot.wx(0)))

    machine.register_edge_event_handler(show, kvo_fa.MachineBase.EEH_Type_WX)

    step = [0]
    sensor = wx.Timer(frame)

    def walk(_event: wx.TimerEvent) -> None:
        plc.set("WX0", 1 << (step[0] % 16))
        step[0] += 1

    def on_close(event: wx.CloseEvent) -> None:
        sensor.Stop()
        machine.close()
        event.Skip()

    frame.Bind(wx.EVT_TIMER, walk, sensor)
    frame.Bind(wx.EVT_CLOSE, on_close)
    sensor.Start(200)
    if args.seconds > 0:
        wx.CallLater(int(args.seconds * 1000), frame.Close)
    machine.start()
    frame.Show()
    try:
        app.MainLoop()
    finally:
        machine.close()  # also when the loop ended another way
    print("closed")


if __name__ == "__main__":
    main()
