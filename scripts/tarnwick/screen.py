# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The machine's own screen, as a person reads it: QEMU's picture of it, its colours, and its text
read cell by cell in the firmware's font against the rows the serial line's terminal shows."""
import os
import subprocess

import pyte

from .keyboard import WINDOW
from .machines import screen

TALL_ROWS = 2000  # a terminal taller than any dialogue's


def in_window(width, height, pixels):
    """Whether the X desktop $DISPLAY shows the picture `pixels` at its size, pixel for pixel."""
    shot = subprocess.run(["import", "-silent", "-window", "root", "-depth", "8", "ppm:-"], capture_output=True,
                          check=True).stdout
    _, desktop_width, _, _, desktop = shot.split(maxsplit=4)
    desktop_width, row = int(desktop_width), 3 * width
    lit = next((y for y in range(height) if pixels[y * row:(y + 1) * row].strip(b"\0")), 0)
    found = desktop.find(pixels[lit * row:(lit + 1) * row])
    top, left = divmod(found // 3, desktop_width)
    return found >= 0 and found % 3 == 0 and all(
        desktop[3 * ((top - lit + y) * desktop_width + left):][:row] == pixels[y * row:(y + 1) * row]
        for y in range(height))


class Screen:
    """What a console reads off the machine's screen; a part of `Console`."""

    def screenshot(self, path=None):
        """The machine's screen as width, height and RGB pixels; written as PNG to `path` as well."""
        ppm = os.path.join(self.directory.name, "screen.ppm")
        self.qmp("screendump", filename=ppm)
        if path:
            self.qmp("screendump", filename=path, format="png")
        with open(ppm, "rb") as f:
            _, width, height, _, pixels = f.read().split(maxsplit=4)
        width, height = int(width), int(height)
        if self.keyboard == WINDOW:
            # The window takes a moment to follow a change of the screen's size.
            self.wait_until(lambda: in_window(width, height, pixels), 10, "the window to show the screen")
        return width, height, pixels

    def picture(self):
        """The colours drawn on the machine's screen, and its text, read cell by cell in the
        firmware's font, with the rows that the serial line's terminal shows at the screen's size,
        where they should stand. A glyph is learnt where such a row first shows its character on a
        cell whose drawing is not known yet; a cell that shows a known drawing reads as its
        character, any other as "?". The cursor's cell is not read. No text for a font whose
        characters differ in width."""
        width, height, pixels = self.screenshot()
        colours = {pixels[i:i + 3] for i in range(0, len(pixels), 3)}
        shown = screen(self.machine)
        if shown["cell"] is None:
            return colours, None, None
        cell_width, cell_height = shown["cell"]
        columns, rows = shown.get("text") or (width // cell_width, height // cell_height)
        left, top = (width - columns * cell_width) // 2, (height - rows * cell_height) // 2
        # A firmware that scrolls its screen by several rows at once (the Pi's U-Boot by 10) shows the
        # rows of a taller terminal from the last multiple of that many above the cursor's.
        scroll = shown.get("scroll", 1)
        terminal = pyte.Screen(columns, rows if scroll == 1 else TALL_ROWS)
        pyte.ByteStream(terminal).feed(bytes(self.transcript))
        first = max(0, -(-(terminal.cursor.y - rows + 1) // scroll) * scroll)
        display, cursor = terminal.display[first:first + rows], (terminal.cursor.x, terminal.cursor.y - first)
        read = []
        for y, line in enumerate(display):
            text = ""
            for x, expected in enumerate(line):
                corner = width * (top + y * cell_height) + left + x * cell_width
                drawing = bytes(pixels[3 * (corner + width * row + dot)] != 0
                                for row in range(cell_height) for dot in range(cell_width))
                if drawing not in self.glyphs and expected not in self.glyphs.values():
                    self.glyphs[drawing] = expected
                text += expected if (x, y) == cursor else self.glyphs.get(drawing, "?")
            read.append(text.rstrip())
        return colours, read, [line.rstrip() for line in display]
