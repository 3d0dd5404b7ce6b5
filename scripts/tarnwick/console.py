# SPDX-License-Identifier: BSD-2-Clause-Patent
"""A person at the serial console of a QEMU machine: types bytes as a terminal sends them and reads
the screen that a VT100 terminal draws from what the firmware writes."""
import json
import os
import socket
import tempfile
import time

import pexpect
import pyte

from . import qemu
from .machines import starts

COLUMNS, ROWS = 80, 25
BOOT_SECONDS = 90


class ConsoleTimeout(AssertionError):
    pass


class Console:
    def __init__(self, machine, targets, extra=(), vars_template=None, wrapper=()):
        """`wrapper` is a command that runs QEMU, as `ip netns exec NAME` does."""
        self.machine = machine
        self.directory = tempfile.TemporaryDirectory(prefix="tarnwick-e2e-")
        self.qmp_path = os.path.join(self.directory.name, "qmp.sock")
        self.qmp_file = None
        extra = [*extra, "-qmp", f"unix:{self.qmp_path},server=on,wait=off"]
        vars_path = qemu.private_vars(machine, self.directory.name, vars_template)
        command = [*wrapper, *qemu.command(machine, targets, vars_path, extra=extra, raw_console=True)]
        self.started = time.monotonic()
        self.child = pexpect.spawn(command[0], command[1:], encoding=None, echo=False)
        self.screen = pyte.Screen(COLUMNS, ROWS)
        self.stream = pyte.ByteStream(self.screen)
        self.transcript = bytearray()

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
        self.stream.feed(data)
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

    def dump(self):
        return f"screen (cursor at row {self.screen.cursor.y}, column {self.screen.cursor.x}):\n" + "\n".join(
            f"{n:2}|{line}" for n, line in enumerate(self.lines())
        )

    def wait_until(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while not condition():
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

    def enter(self, line):
        """Types a line, ends it with CR as a terminal's Enter key does and waits for the next prompt."""
        mark = len(self.transcript)
        self.type(line.encode() + b"\r")
        self.wait_for_prompt(start=mark)

    def leave(self, typed=b"bye\r", timeout=30):
        """Leaves the monitor with `typed` as often as the firmware starts it, until the firmware shows
        that it has its console back, and returns what was written from the first leaving on."""
        start = len(self.transcript)
        for _ in range(starts(self.machine) - 1):
            mark = len(self.transcript)
            self.type(typed)
            self.wait_for_prompt(start=mark, timeout=BOOT_SECONDS)
        mark = len(self.transcript)
        self.type(typed)
        self.wait_for_transcript(self.machine["returned"].encode(), timeout=timeout, start=mark)
        return bytes(self.transcript[start:])


def boot_to_prompt(machine, targets, extra=(), vars_template=None):
    """A console of a machine booted from `targets`, at the monitor's first prompt."""
    console = Console(machine, targets, extra, vars_template)
    try:
        console.wait_for_prompt(timeout=BOOT_SECONDS)
        console.prompt_seconds = time.monotonic() - console.started
    except BaseException:
        console.close()
        raise
    return console
