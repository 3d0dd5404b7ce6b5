"""The image started from OVMF's UEFI Shell: the status the firmware gets back for each way out,
and a key read that fails at the end of redirected input."""
import os
import shutil

import pytest

from console import BUILD
from shell import Shell
from words import GREETING, WORDS

EFI_NOT_READY = 0x8000000000000006
ERROR_BIT = 1 << 63


@pytest.fixture(scope="module")
def shell(tmp_path_factory):
    folder = tmp_path_factory.mktemp("shell-disk")
    shutil.copy(os.path.join(BUILD, "tarnwick.efi"), folder / "tarnwick.efi")
    text = "pwd\r\nHelp me\r\nwords\r\n"
    (folder / "lines.txt").write_bytes("\ufeff".encode("utf-16-le") + text.encode("utf-16-le"))
    shell = Shell(str(folder))
    yield shell
    shell.close()


@pytest.mark.parametrize("leave", [b"bye\r", b"exit\r", b"QUIT\r", b"\x1b"], ids=["bye", "exit", "quit", "esc"])
def test_leaving_returns_success_to_the_shell(shell, leave):
    console = shell.console
    mark = len(console.transcript)
    console.type(b"tarnwick.efi\r")
    console.wait_for_prompt(start=mark)
    assert console.lines()[:4] == GREETING
    mark = len(console.transcript)
    console.type(leave)
    shell.wait_for_shell_prompt(mark)
    assert shell.last_error() == 0


def test_end_of_redirected_input_returns_the_failed_read_status(shell):
    shell.run("tarnwick.efi < lines.txt", timeout=30)
    lines = shell.console.lines()
    # Each line of the file is answered; its LF after CR ends a second, empty line.
    assert lines[:13] == GREETING[:3] + [
        "0 > pwd", "/", "0 >",
        "0 > Help me", "unknown word: Help me", "0 >",
        "0 > words", *WORDS, "0 >",
        "FS0:\\>",
    ]
    # The Shell writes its prompt from the first column, over the last "0 > ": the stream shows
    # that the monitor prompted for the empty line and once more, then printed nothing.
    after_words = shell.console.transcript.rsplit(WORDS[0].encode(), 1)[1]
    assert after_words.split(b"FS0:")[0].count(b"0 > ") == 2
    assert shell.last_error() == EFI_NOT_READY & ~ERROR_BIT
