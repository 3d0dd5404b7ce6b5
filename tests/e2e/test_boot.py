"""The image booted by OVMF from an EFI system partition folder."""
from words import GREETING, HELP


def test_greets_then_answers_help_then_returns_to_firmware(folder_console):
    console = folder_console
    assert console.lines()[:4] == GREETING

    console.enter("help")
    row = console.lines().index("0 > help")
    assert console.rows_after(row, 8) == HELP + ["0 >"]

    mark = len(console.transcript)
    console.type(b"bye\r")
    # The firmware's boot manager takes over and starts its next boot option.
    console.wait_for_transcript(b"BdsDxe: loading Boot", timeout=30, start=mark)
