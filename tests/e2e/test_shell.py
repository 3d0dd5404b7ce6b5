# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The image started from the UEFI Shell of each firmware that has one: the status the firmware
gets back for each way out, and a key read that fails at the end of redirected input."""
import pefile
import pytest

from tarnwick import images, model
from tarnwick.machines import MACHINES, missing, selected
from tarnwick.shell import Shell

EFI_NOT_READY = 6  # without the error bit, which the x64 Shell leaves out and the IA32 Shell shows


@pytest.fixture(scope="module", params=selected(lambda row: row.get("shell")))
def shell(request, tmp_path_factory):
    machine = MACHINES[request.param]
    if missing(machine):
        pytest.skip(missing(machine))
    folder = tmp_path_factory.mktemp("shell-disk")
    (folder / "lines.txt").write_bytes("\ufeffpwd\r\nHelp me\r\nwords\r\n".encode("utf-16-le"))
    shell = Shell(machine, str(folder))
    yield shell
    shell.close()


@pytest.mark.parametrize("typed", [b"bye\r", b"exit\r", b"QUIT\r", b"he\x1b"], ids=["bye", "exit", "quit", "esc"])
def test_leaving_returns_success_to_the_shell(shell, typed):
    shell.launch()
    assert shell.console.lines()[:4] == model.greeting()
    mark = len(shell.console.transcript)
    shell.console.type(typed)
    shell.wait_for_shell_prompt(mark)
    # Esc drops the line: read from what was written, not from a screen the Shell has since redrawn.
    assert b"unknown word" not in shell.console.transcript[mark:]
    assert shell.last_error() == 0


def test_end_of_redirected_input_returns_the_failed_read_status(shell):
    shell.run("tarnwick.efi < lines.txt", timeout=30)
    words, _ = model.answer("words")
    # Each line of the file is answered; its LF after CR ends a second, empty line.
    assert shell.console.lines()[:13] == model.greeting()[:3] + [
        "0 > pwd", "/", "0 >",
        "0 > Help me", "unknown word: Help me", "0 >",
        "0 > words", *words, "0 >",
        "FS0:\\>",
    ]
    # The Shell writes its prompt from the first column, over the last "0 > ": the stream shows
    # that the monitor prompted for the empty line and once more, then printed nothing.
    after_words = shell.console.transcript.rsplit(words[0].encode(), 1)[1]
    assert after_words.split(b"FS0:")[0].count(b"0 > ") == 2
    wide = pefile.PE(images()[shell.console.machine["arch"]]).OPTIONAL_HEADER.Magic == 0x20B
    error_bit = 1 << (63 if wide else 31)
    assert shell.last_error() in (EFI_NOT_READY, error_bit | EFI_NOT_READY)
