# SPDX-License-Identifier: BSD-2-Clause-Patent
"""A person at the console of a QEMU machine: types at its serial line as a terminal sends keys, or
on one of its keyboards, and reads the screen that a VT100 terminal draws from what the firmware
writes to the serial line, and the machine's own screen."""
import json
import os
import re
import socket
import subprocess
import tempfile
import time

import pexpect
import pyte

from . import qemu
from .machines import TERMINAL, fact, first_keyboard, keyboards, medium, screen, starts

COLUMNS, ROWS = 80, 25
TALL_ROWS = 2000  # a terminal taller than any dialogue's
BOOT_SECONDS = 90
# How long a key on a keyboard may take to show, before the next is pressed all the same; and, where
# the keyboard's firmware says when it lost a key, how long a key that shows may take to show or the
# firmware to say so (it waits 1 s of its own time), then for the key to show all the same, and how
# often a person presses a lost key.
KEY_SECONDS = 0.5
LOST_SECONDS = 3
LATE_SECONDS = 1
PRESSES = 3
# How long after the last byte the firmware wrote that it cannot be the start of a warning any more.
QUIET_SECONDS = 0.2
# A US keyboard: the keys of the characters that are not letters or digits, and with Shift.
PUNCTUATION = dict(zip("`-=[]\\;',./ ", ["grave_accent", "minus", "equal", "bracket_left", "bracket_right",
                                         "backslash", "semicolon", "apostrophe", "comma", "dot", "slash", "spc"]))
SHIFTED = dict(zip('~_+{}|:"<>?!@#$%^&*()', "`-=[]\\;',./1234567890"))
# The keyboard of the desktop that shows the machine in a window, and the names of X's keys that
# are not QEMU's, capitalised.
WINDOW = "window"
X_KEYS = {"ret": "Return", "kp_enter": "KP_Enter", "backspace": "BackSpace", "esc": "Escape", "pgup": "Prior",
          "pgdn": "Next", "caps_lock": "Caps_Lock", "shift": "shift", "ctrl": "ctrl", "alt": "alt"}


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


def qcodes(key):
    """QEMU's codes of the keys held together for `key`: a character, or a key's name such as
    "f1", or names joined by "-" such as "ctrl-h"."""
    if len(key) > 1:
        return key.split("-")
    if key.isupper() or key in SHIFTED:
        return ["shift", *qcodes(SHIFTED.get(key, key.lower()))]
    return [PUNCTUATION.get(key, key)]


def sent(key):
    """What a serial terminal sends for `key`."""
    if key.startswith("ctrl-"):
        return bytes([ord(key[-1]) & 0x1F])
    return TERMINAL[key] if len(key) > 1 else key.encode()


class ConsoleTimeout(AssertionError):
    pass


class Console:
    def __init__(self, machine, targets, extra=(), vars_template=None, wrapper=(), keyboard=None, medium_name=None):
        """`wrapper` is a command that runs QEMU, as `ip netns exec NAME` does; keys are typed on the
        machine's `keyboard`, in its window on the X desktop $DISPLAY (WINDOW), or at its serial line.
        The targets are on the machine's medium of that name, or its own disk (or CD-ROM)."""
        self.machine = machine
        self.keyboard = keyboard
        typed_on = first_keyboard(machine) if keyboard == WINDOW else keyboard
        self.attached = keyboards(machine)[typed_on] if keyboard else {}  # the facts of the keyboard typed on
        self.starts = starts(machine, medium(machine, medium_name) if medium_name else None)
        self.directory = tempfile.TemporaryDirectory(prefix="tarnwick-e2e-")
        self.qmp_path = os.path.join(self.directory.name, "qmp.sock")
        self.qmp_file = None
        extra = [*extra, "-qmp", f"unix:{self.qmp_path},server=on,wait=off"]
        vars_path = qemu.private_vars(machine, self.directory.name, vars_template)
        window = keyboard == WINDOW
        command = [*wrapper, *qemu.command(machine, targets, vars_path, extra=extra, raw_console=True,
                                           keyboard=None if window else keyboard, window=window,
                                           medium_name=medium_name)]
        self.started = time.monotonic()
        self.child = pexpect.spawn(command[0], command[1:], encoding=None, echo=False)
        self.screen = pyte.Screen(COLUMNS, ROWS)
        self.stream = pyte.ByteStream(self.screen)
        self.transcript = bytearray()
        self.unread = bytearray()  # written, but not yet shown on the terminal
        self.last_shown = b""  # the bytes the terminal was shown last
        self.written_at = self.started  # when the firmware last wrote
        self.lapses = []  # what the firmware lost or broke that a person made good, as said at the end
        self.lost_from = 0  # where in the transcript the firmware's next word of a lost key may be
        self.reset = False
        self.glyphs = {}  # what the firmware draws in a character cell of its screen, and which character that is

    @property
    def path(self):
        return self.directory.name

    @property
    def vars_path(self):
        """The machine's variable store, as the firmware has written it so far."""
        return os.path.join(self.directory.name, "vars.fd")

    def qmp(self, command, **arguments):
        """Runs a command of QEMU's machine protocol and returns its result."""
        if self.qmp_file is None:
            connection = socket.socket(socket.AF_UNIX)
            connection.settimeout(30)
            connection.connect(self.qmp_path)
            self.qmp_file = connection.makefile("rwb")
            self.qmp_file.readline()  # the greeting
            self.qmp("qmp_capabilities")
        self.qmp_file.write(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
        self.qmp_file.flush()
        while True:
            reply = json.loads(self.qmp_file.readline())
            if "error" in reply:
                raise RuntimeError(f"{command}: {reply['error']}")
            if "return" in reply:
                return reply["return"]

    def close(self):
        if self.lapses:
            print(f"firmware lapses: {self.machine['arch']}/{self.machine['firmware']} "
                  f"{self.keyboard or 'serial line'}: {len(self.lapses)}, {'; '.join(self.lapses)}")
        if self.qmp_file is not None:
            self.qmp_file.close()
        if self.child.isalive():
            self.child.terminate(force=True)
        self.directory.cleanup()

    def read(self, timeout):
        """Feeds the next piece the machine writes, if any comes within `timeout`, to the screen;
        False once QEMU has ended."""
        try:
            data = self.child.read_nonblocking(65536, timeout=timeout)
        except pexpect.TIMEOUT:
            return True
        except pexpect.EOF:
            return False
        self.transcript += data
        self.unread += data
        self.written_at = time.monotonic()
        held = len(self.unread)
        noise = self.machine.get("noise", [])
        if noise:
            self.unread = bytearray(self.without_noise(self.unread))
            # A warning that may still be arriving waits for its end, and so do the spaces that may pad
            # it, but for the one after a prompt.
            starts = b"|".join(re.escape(start) + rb"[^\n]*|" + b"|".join(
                re.escape(start[:n]) for n in range(len(start) - 1, 0, -1)) for start, _ in noise)
            pending = re.search(rb"(?<!0 >) *(?:" + starts + rb")?\Z", self.last_shown + self.unread)
            held = max(0, pending.start() - len(self.last_shown)) if pending else held
        shown = bytes(self.unread[:held])
        self.stream.feed(shown)
        self.last_shown = (self.last_shown + shown)[-3:]
        del self.unread[:held]
        return True

    def pump(self, seconds=0.2):
        """Feeds whatever the machine writes within `seconds`; False once QEMU has ended."""
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            if not self.read(left):
                return False
        return True

    def lines(self):
        return [line.rstrip() for line in self.screen.display]

    def text(self):
        return "\n".join(self.lines())

    def cursor_line(self):
        return self.screen.display[self.screen.cursor.y][: self.screen.cursor.x]

    def rows_above_cursor(self, count):
        """The `count` rows above the cursor's and the cursor's own."""
        y = self.screen.cursor.y
        return self.lines()[y - count:y + 1]

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

    def dump(self):
        return f"screen (cursor at row {self.screen.cursor.y}, column {self.screen.cursor.x}):\n" + "\n".join(
            f"{n:2}|{line}" for n, line in enumerate(self.lines())
        )

    def hung(self):
        """What shows that the firmware stopped: the message of its crash, or its silence after the
        text where it stalls."""
        message = self.machine.get("hung")
        if message and message.encode() in self.transcript:
            return f'"{message}"'
        text, seconds = self.machine.get("stalls", ("", 0))
        if text and text.encode() in self.transcript and time.monotonic() - self.written_at > seconds:
            return f'{seconds} s of silence after "{text}"'
        return None

    def reset_if_hung(self):
        """Resets a firmware that stopped before the monitor started, once, as a person would;
        whether it did."""
        if self.reset or b"0 > " in self.transcript or not self.hung():
            return False
        self.lapses.append(f"reset once after {self.hung()}")
        self.qmp("system_reset")
        self.reset = True
        return True

    def wait_until(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while not condition():
            if self.reset_if_hung():
                deadline = time.monotonic() + timeout
            if time.monotonic() > deadline:
                raise ConsoleTimeout(f"waited {timeout} s for {what}\n{self.dump()}")
            if not self.read(0.1) and not condition():
                raise ConsoleTimeout(f"QEMU ended while waiting for {what}\n{self.dump()}")

    def wait_for_text(self, text, timeout=15):
        self.wait_until(lambda: text in self.text(), timeout, repr(text))

    def wait_for_prompt(self, timeout=15, start=0):
        """Waits until a prompt written after transcript offset `start` stands right before the cursor."""
        self.wait_until(
            lambda: b"0 > " in self.transcript[start:] and self.cursor_line() == "0 > ", timeout, "the prompt"
        )

    def wait_for_transcript(self, data, timeout=15, start=0):
        self.wait_until(lambda: data in self.transcript[start:], timeout, repr(data))

    def type(self, data, settle=0.01):
        """Types bytes one at a time, as a person at a terminal does."""
        for byte in data:
            self.child.send(bytes([byte]))
            time.sleep(settle)

    def press(self, *keys):
        """Presses keys one after the other, each a character or a key's name (see `qcodes`): on the
        keyboard, waiting a moment for what each key shows, and again where the firmware lost it; or
        as a terminal sends them."""
        for key in keys:
            if self.keyboard is None:
                self.type(sent(key))
                continue
            for _ in range(PRESSES):
                mark = len(self.transcript)
                self.press_once(key)
                if not self.lost(key, mark):
                    break
                self.lapses.append(f'pressed {key!r} again after "{self.attached["lost"]}"')
            self.lost_from = max(self.lost_from, mark)

    def lost(self, key, mark):
        """Whether the firmware lost a key that shows at the monitor (a character, an eraser, Enter or
        Esc), pressed at transcript offset `mark`: it said so, where its keyboard says when, and the key
        showed nothing, not even a moment later."""
        said = self.attached.get("lost", "").encode()
        if not said or not (len(key) == 1 or key in ("ret", "kp_enter", "esc", *self.attached["erasers"])):
            return False
        deadline = time.monotonic() + LOST_SECONDS
        while not self.showed(mark, said) and said not in self.transcript[self.lost_from:]:
            if time.monotonic() > deadline or not self.read(0.02):
                return False
        if self.showed(mark, said):
            return False
        self.lost_from = self.transcript.find(said, self.lost_from) + len(said)
        deadline = time.monotonic() + LATE_SECONDS
        while not self.showed(mark, said) and time.monotonic() < deadline and self.read(0.02):
            pass
        return not self.showed(mark, said)

    def showed(self, mark, said):
        """Whether the firmware wrote anything but its warnings after transcript offset `mark`; what
        may be the start of `said` counts once nothing has followed it for a moment."""
        written = self.without_noise(self.transcript[mark:])
        return bool(written) and not (said.startswith(written) and time.monotonic() - self.written_at < QUIET_SECONDS)

    def without_noise(self, data):
        """`data` without the firmware's warnings that a test's terminal leaves out."""
        noise = self.machine.get("noise", [])
        return re.sub(b"|".join(line for _, line in noise), b"", bytes(data)) if noise else bytes(data)

    def press_once(self, key):
        """Presses a key on the keyboard and waits a moment for what it shows."""
        mark, deadline = len(self.transcript), time.monotonic() + (KEY_SECONDS if len(key) == 1 else 0.1)
        if self.keyboard == WINDOW:
            named = "+".join(X_KEYS.get(part, part.capitalize()) for part in key.split("-"))
            subprocess.run(["xdotool", "type" if len(key) == 1 else "key", "--", key if len(key) == 1 else named],
                           check=True)
        else:
            codes = [{"type": "qcode", "data": code} for code in qcodes(key)]
            events = [(True, code) for code in codes] + [(False, code) for code in reversed(codes)]
            self.qmp("input-send-event", events=[{"type": "key", "data": {"down": down, "key": code}}
                                                 for down, code in events])
        while len(self.transcript) == mark and time.monotonic() < deadline and self.read(0.02):
            pass

    def enter(self, line, end="ret"):
        """Types a line, ends it with Enter and waits for the next prompt."""
        mark = len(self.transcript)
        self.press(*line, end)
        self.wait_for_prompt(start=mark)

    def leave(self, keys=("b", "y", "e", "ret"), timeout=30):
        """Leaves the monitor with `keys` as often as the firmware starts it, until the firmware shows
        that it has its console back, and returns what was written from the first leaving on."""
        start = len(self.transcript)
        for _ in range(self.starts - 1):
            mark = len(self.transcript)
            self.press(*keys)
            self.wait_for_prompt(start=mark, timeout=BOOT_SECONDS)
        mark = len(self.transcript)
        self.press(*keys)
        self.wait_for_transcript(fact(self.machine, "returned").encode(), timeout=timeout, start=mark)
        return bytes(self.transcript[start:])


def boot_to_prompt(machine, targets, extra=(), vars_template=None, keyboard=None):
    """A console of a machine booted from `targets`, at the monitor's first prompt."""
    console = Console(machine, targets, extra, vars_template, keyboard=keyboard)
    try:
        console.wait_for_prompt(timeout=BOOT_SECONDS)
        console.prompt_seconds = time.monotonic() - console.started
    except BaseException:
        console.close()
        raise
    return console
