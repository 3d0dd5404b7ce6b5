"""The image booted by OVMF from an EFI system partition folder."""
HELP = [
    "help          show this command list",
    "words         show available built-in words",
    "dev /         select the root device node",
    "pwd           show the selected device node",
    ".properties   show root node properties",
    "boot          attempt the default boot action",
    "bye           return to firmware",
]


def test_greets_then_answers_help_then_returns_to_firmware(folder_console):
    console = folder_console
    assert console.lines()[:4] == ["Tarnwick 1.1 [UEFI]", "Type help for a short command list.", "", "0 >"]

    console.enter("help")
    row = console.lines().index("0 > help")
    assert console.rows_after(row, 8) == HELP + ["0 >"]

    mark = len(console.transcript)
    console.type(b"bye\r")
    # The firmware's boot manager takes over and starts its next boot option.
    console.wait_for_transcript(b"BdsDxe: loading Boot", timeout=30, start=mark)
