"""Reading a PLC's I/O image over a link and showing it as a terminal table.

`ImageReader` reads the input and output words the way a machine's back-end does
(the FP register map: inputs from D0, outputs from D<y_shift>; or a chain of FEF
modules: WX0/WY0 of stations 1..n). `WatchView` keeps the last images, notes when
each bit last changed, and renders them with rich: named signals from an I/O map
with their values and comments, every word in binary, changes highlighted, the
refresh rate and the link's health.
"""
import time
from dataclasses import dataclass, field
from typing import Any, Optional

from kvo_kit.iomap import IoMap

CHANGED = "bold black on yellow"
ON, OFF = "●", "·"


@dataclass
class Layout:
    """Where the image lives: "fp" (x_words from D0, y_words from D<y_shift>, one
    station) or "fef" (one input and one output word per module, stations 1..modules)."""
    kind: str = "fp"
    x_words: int = 1
    y_words: int = 1
    y_shift: int = 100
    station: int = 1
    modules: int = 1

    @property
    def words(self) -> tuple[int, int]:
        return (self.modules, self.modules) if self.kind == "fef" else (self.x_words, self.y_words)

    def word_name(self, area: str, word: int) -> str:
        """How the PLC names image word `word`: "WX0 (D0)", "WY0 (D100)", "WX0 @2"."""
        if self.kind == "fef":
            return f"W{area}0 @{word + 1}"
        data = word if area == "X" else self.y_shift + word
        return f"W{area}{word} D{data}"


class ImageReader:
    """Reads the input and output words of `layout` over `link` (a kvo_mew.VedUzavur)."""

    def __init__(self, link: Any, layout: Layout) -> None:
        self.link, self.layout = link, layout
        self.reads = self.failures = 0
        self.last_error: Optional[BaseException] = None

    def read(self) -> Optional[tuple[list[int], list[int]]]:
        """(input words, output words), or None when the link failed (kept in last_error)."""
        lay = self.layout
        try:
            if lay.kind == "fef":
                xs = [self.link.get_coil_uint16(m, "WX0") for m in range(1, lay.modules + 1)]
                ys = [self.link.get_coil_uint16(m, "WY0") for m in range(1, lay.modules + 1)]
            else:
                xs = self.link.get_multi_uint16(lay.station, "D0", lay.x_words)
                ys = self.link.get_multi_uint16(lay.station, f"D{lay.y_shift}", lay.y_words)
        except Exception as e:  # a LinkError: shown in the table, the watch goes on
            self.failures += 1
            self.last_error = e
            return None
        self.reads += 1
        return list(xs), list(ys)


@dataclass
class WatchView:
    """The images as last read, with the time each bit last changed."""
    layout: Layout
    iomap: Optional[IoMap] = None
    port: str = ""
    hold: float = 1.0  # seconds a change stays highlighted
    images: dict[str, list[int]] = field(default_factory=dict)
    changed_at: dict[tuple[str, int], float] = field(default_factory=dict)  # (area, bit index) -> time
    rate: float = 0.0
    _last_update: Optional[float] = None

    def update(self, xs: list[int], ys: list[int], now: Optional[float] = None) -> None:
        now = time.monotonic() if now is None else now
        for area, words in (("X", xs), ("Y", ys)):
            old = self.images.get(area)
            if old is not None:
                for w, (a, b) in enumerate(zip(old, words)):
                    for bit in range(16):
                        if (a ^ b) >> bit & 1:
                            self.changed_at[(area, w * 16 + bit)] = now
            self.images[area] = list(words)
        if self._last_update is not None and now > self._last_update:
            period = now - self._last_update
            self.rate = 1 / period if not self.rate else 0.8 * self.rate + 0.2 / period
        self._last_update = now

    def bit(self, area: str, index: int) -> bool:
        words = self.images.get(area, [])
        return index // 16 < len(words) and bool(words[index // 16] >> (index % 16) & 1)

    def is_new(self, area: str, index: int, now: float) -> bool:
        return now - self.changed_at.get((area, index), -1e9) < self.hold

    def render(self, health: str = "", now: Optional[float] = None, width: int = 200) -> Any:
        """A rich renderable: the header, then the inputs and the outputs, side by side
        when both fit into `width` columns, else one above the other."""
        from rich.console import Console, Group
        from rich.measure import Measurement
        from rich.table import Table
        from rich.text import Text

        now = time.monotonic() if now is None else now
        lay = self.layout
        where = (f"FEF, {lay.modules} module(s)" if lay.kind == "fef" else
                 f"FP station {lay.station}: X from D0 ({lay.x_words} words), Y from D{lay.y_shift} ({lay.y_words} words)")
        header = Text.assemble((f"{self.port}", "bold"), f"  {where}")
        inputs, outputs = self.area_table("X", "inputs", now), self.area_table("Y", "outputs", now)
        link = Text.assemble((f"{self.rate:.1f} reads/s  ", "cyan"), (f"link: {health or '-'}", "dim"))
        console = Console(width=width)
        need = sum(Measurement.get(console, console.options, t).maximum for t in (inputs, outputs)) + 3
        if need > width:
            return Group(header, link, inputs, Text(""), outputs)
        columns = Table.grid(padding=(0, 3))
        columns.add_row(inputs, outputs)
        return Group(header, link, columns)

    def area_table(self, area: str, title: str, now: float) -> Any:
        from rich.table import Table
        from rich.text import Text

        table = Table(title=f"{title} ({area})", title_justify="left", show_edge=False, pad_edge=False)
        table.add_column("relay")
        table.add_column("signal")
        table.add_column("", justify="center")
        table.add_column("comment", style="dim", overflow="ellipsis", no_wrap=True, max_width=40)
        for signal in sorted((s for s in (self.iomap or []) if s.element[0] == area), key=lambda s: s.index):
            on = self.bit(area, signal.index)
            style = CHANGED if self.is_new(area, signal.index, now) else ("bold green" if on else "")
            table.add_row(signal.element, Text(signal.name, style=style), Text(ON if on else OFF, style=style),
                          signal.comment)
        for w, word in enumerate(self.images.get(area, [])):
            bits = Text()
            for bit in range(15, -1, -1):
                index = w * 16 + bit
                style = CHANGED if self.is_new(area, index, now) else ""
                bits.append("1" if word >> bit & 1 else "0", style=style)
                if bit % 4 == 0 and bit:
                    bits.append(" ")
            table.add_row(self.layout.word_name(area, w), bits, f"{word:#06x}", "")
        return table


def health_text(link: Any, reader: ImageReader, plc: Any = None) -> str:
    """The link's own `health` when it has one, else the simulated PLC's counters
    (when watching one) and the watch's own reads and failures."""
    health = getattr(link, "health", None)
    if health is not None:
        text = f"{'up' if getattr(health, 'up', True) else 'DOWN'}, {getattr(health, 'transactions', '?')} " \
               f"transactions, {getattr(health, 'failed', '?')} failed"
        since = getattr(health, "since_good", None)
        if since is not None:
            text += f", last good answer {since:.2f} s ago"
        cause = getattr(health, "last_cause", None)
        return text + (f", last failure: {cause}" if cause else "")
    text = f"{reader.reads} reads, {reader.failures} failed"
    if plc is not None:
        text += f"; simulated PLC: {sum(plc.counts.values())} transactions"
    if reader.last_error is not None:
        text += f"; last error: {reader.last_error}"
    return text
