# SPDX-License-Identifier: BSD-2-Clause-Patent
"""A person at the console of a QEMU machine: types at its serial line as a terminal sends keys, or
on one of its keyboards (keyboard.py), and reads the screen that a VT100 terminal draws from what
the firmware writes to the serial line, and the machine's own screen (screen.py)."""
import json
import os
import re
import socket
import tempfile
import time

import pexpect
import pyte

from . import qemu
from .keyboard import HID_TRACE, WINDOW, Keyboards
from .machines import fact, first_keyboard, keyboards, medium, starts
from .screen import Screen

COLUMNS, ROWS = 80, 25
BOOT_SECONDS = 90
DUMPED = 600  # the end of the transcript that a failure shows and a stall's pattern is matched in
UNTAKEN_RESETS = 3


class ConsoleTimeout(AssertionError):
    pass


class Console(Keyboards, Screen):
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
        self.ends_at_reset = "-no-reboot" in extra
        extra = [*extra, "-qmp", f"unix:{self.qmp_path},server=on,wait=off"]
        # Where QEMU's trace says when its USB keyboard has handed over the keys pressed (keyboard.py).
        hid = "usb-kbd" in " ".join(self.attached.get("devices", []))
        self.hid_log = os.path.join(self.directory.name, "keyboard.log") if hid else None
        self.hid_awaited = None  # how often it had said so when the last key was pressed
        if hid:
            extra += ["-D", self.hid_log, *HID_TRACE]
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
        self.caps_lock = False  # whether the Caps Locks pressed so far leave it on
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

    def without_noise(self, data):
        """`data` without the firmware's warnings that a test's terminal leaves out."""
        noise = self.machine.get("noise", [])
        return re.sub(b"|".join(line for _, line in noise), b"", bytes(data)) if noise else bytes(data)

    def dump(self):
        """The screen, and the bytes last written, escapes and all: a screen the firmware cleared and
        one it never wrote look alike."""
        return f"screen (cursor at row {self.screen.cursor.y}, column {self.screen.cursor.x}):\n" + "\n".join(
            f"{n:2}|{line}" for n, line in enumerate(self.lines())
        ) + f"\nthe last it wrote, {time.monotonic() - self.written_at:.1f} s ago, of {len(self.transcript)} bytes: " \
            f"{bytes(self.transcript[-DUMPED:])!r}"

    def hung(self):
        """What shows that the firmware stopped: the message of its crash, or its silence after last
        words (blank space aside) that match the pattern of where it stalls."""
        message = self.machine.get("hung")
        if message and message.encode() in self.transcript:
            return f'"{message}"'
        pattern, seconds = self.machine.get("stalls", ("", 0))
        if not pattern or time.monotonic() - self.written_at <= seconds:
            return None
        last = re.search(pattern.encode() + rb"\Z", bytes(self.transcript[-DUMPED:]).rstrip())
        return f"{seconds} s of silence after {last.group().decode(errors='replace')!r}" if last else None

    def reset_if_hung(self):
        """Resets a firmware that stopped before the monitor started, once, as a person would;
        whether it did."""
        if self.reset or b"0 > " in self.transcript or not self.hung():
            return False
        self.reset_machine(self.hung())
        return True

    def reset_machine(self, why):
        self.lapses.append(f"reset once after {why}")
        # A QEMU told to end rather than reset (-no-reboot, where a row sees the firmware reset the
        # machine) resets it all the same, then ends at the firmware's own reset again.
        self.qmp("set-action", reboot="reset")
        self.qmp("system_reset")  # which empties the USB keyboard's queue too
        if self.ends_at_reset:
            self.qmp("set-action", reboot="shutdown")
        self.reset, self.hid_awaited = True, None

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
        # A firmware that said it started without the keyboard typed on is reset, as often as it
        # says so again, up to UNTAKEN_RESETS times: on a busy machine the next boot may miss it too.
        untaken, mark = console.attached.get("untaken"), 0
        for _ in range(UNTAKEN_RESETS if untaken else 0):
            if untaken.encode() not in console.transcript[mark:]:
                break
            mark = len(console.transcript)
            console.reset_machine(f'"{untaken}"')
            console.wait_for_prompt(timeout=BOOT_SECONDS, start=mark)
        console.prompt_seconds = time.monotonic() - console.started
    except BaseException:
        console.close()
        raise
    return console
