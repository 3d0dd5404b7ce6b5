# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The UEFI Shell of an EDK2 machine, driven at its prompt: the firmware's own, which it starts when
the disk holds no default loader, or Debian's build of it, put on the disk as that loader."""
import os
import re
import shutil

from . import images
from .console import BOOT_SECONDS, Console
from .machines import fact

SHELL_PROMPT = "FS0:\\> "


class Shell:
    def __init__(self, machine, folder):
        """Boots `machine` from `folder`, with the machine's image put there as tarnwick.efi."""
        shutil.copyfile(images()[machine["arch"]], os.path.join(folder, "tarnwick.efi"))
        shell = fact(machine, "shell")
        if isinstance(shell, str):
            os.makedirs(os.path.join(folder, "EFI", "BOOT"))
            shutil.copyfile(shell, os.path.join(folder, "EFI", "BOOT", f"BOOT{machine['arch'].upper()}.EFI"))
        self.console = Console(machine, [folder])
        try:
            # Any key skips the five-second wait for a startup script.
            self.console.wait_for_text("Press ESC in", timeout=BOOT_SECONDS)
            self.console.type(b"\x1b")
            self.console.wait_until(lambda: self.console.cursor_line() == "Shell> ", 20, "the Shell prompt")
            self.run("fs0:")
        except BaseException:
            self.console.close()
            raise

    def close(self):
        self.console.close()

    def wait_for_shell_prompt(self, mark, timeout=15):
        self.console.wait_until(
            lambda: b"FS0:" in self.console.transcript[mark:] and self.console.cursor_line().endswith(SHELL_PROMPT),
            timeout, "the Shell prompt")

    def run(self, command, timeout=15):
        mark = len(self.console.transcript)
        self.console.type(command.encode() + b"\r")
        self.wait_for_shell_prompt(mark, timeout)

    def launch(self):
        """Starts tarnwick.efi from the Shell's folder and waits for its first prompt."""
        mark = len(self.console.transcript)
        self.console.type(b"tarnwick.efi\r")
        self.console.wait_for_prompt(start=mark)

    def last_error(self):
        """The status of the last command, as the Shell shows it."""
        self.run("echo %lasterror%")
        value = self.console.rows_above_cursor(1)[0]
        assert re.fullmatch(r"0x[0-9A-Fa-f]+", value), value
        return int(value, 16)
