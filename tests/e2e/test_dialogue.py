"""A whole dialogue at the console of the GPT disk image booted by OVMF, checked on the rendered
screen and on the graphical display. The checks share one boot and run in this order."""
import os
import time

import pytest

from console import BUILD
from words import GREETING, HELP, NO_BOOT, PROPERTIES, WORDS

LIGHT_GREY = (0x98, 0x98, 0x98)  # what OVMF's graphics console draws for attribute 0x07
GLYPH_WIDTH, GLYPH_HEIGHT = 8, 19


def test_start_up_clears_the_console_and_greets(disk_console):
    lines = disk_console.lines()
    assert lines[:4] == GREETING
    assert not any(lines[4:]), "firmware messages were left on the screen"


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    magic, width, height, depth, pixels = data.split(maxsplit=4)
    assert magic == b"P6" and depth == b"255"
    return int(width), int(height), pixels


def test_graphical_console_shows_only_the_greeting_in_light_grey_on_black(disk_console):
    png, ppm = os.path.join(BUILD, "console.png"), os.path.join(disk_console.path, "console.ppm")
    disk_console.qmp("screendump", filename=png, format="png")
    disk_console.qmp("screendump", filename=ppm)
    width, height, pixels = read_ppm(ppm)
    colours = {pixels[i:i + 3] for i in range(0, len(pixels), 3)}
    assert colours == {bytes(3), bytes(LIGHT_GREY)}, f"colours on the display: {sorted(colours)}"

    # The firmware centres the 80x25 text console on the display; find the text row of every lit line.
    top = (height - 25 * GLYPH_HEIGHT) // 2
    lit = {(y - top) // GLYPH_HEIGHT for y in range(height) if pixels[3 * width * y:3 * width * (y + 1)].strip(b"\0")}
    assert lit == {0, 1, 3}, f"text rows with something drawn: {sorted(lit)} (banner, hint, prompt expected)"


ANSWERS = [
    ("  HeLp  ", HELP),
    (" WORDS", WORDS),
    ("Pwd ", ["/"]),
    (" Dev / ", ["/"]),
    ("DEV", ["/"]),
    ("dev  /", ["unknown word: dev  /"]),
    ("  .Properties", PROPERTIES),
    (" BOOT ", NO_BOOT),
    ("boot Disk0", ["Boot path not available: Disk0"]),
    ("Boot   cdrom", ["Boot path not available:   cdrom"]),
    ("Hello, World", ["unknown word: Hello, World"]),
    ("quit now", ["unknown word: quit now"]),
    ("   ", []),
]


@pytest.mark.parametrize("typed,answer", ANSWERS, ids=[typed.strip() or "spaces" for typed, _ in ANSWERS])
def test_answers_each_word_as_typed(disk_console, typed, answer):
    disk_console.enter(typed)
    y = disk_console.screen.cursor.y
    assert disk_console.lines()[y - len(answer) - 1:y + 1] == [("0 > " + typed).rstrip(), *answer, "0 >"]


@pytest.mark.parametrize("key", [b"\x7f", b"\x08"], ids=["backspace key", "ctrl-h"])
def test_erase_removes_the_last_character_from_screen_and_line(disk_console, key):
    console = disk_console
    console.type(b"pwdx")
    console.wait_until(lambda: console.cursor_line() == "0 > pwdx", 5, "the echo")
    console.type(key)
    console.wait_until(lambda: console.lines()[console.screen.cursor.y] == "0 > pwd" and
                       console.cursor_line() == "0 > pwd", 5, "the erase")
    console.enter("")
    y = console.screen.cursor.y
    assert console.lines()[y - 2:y + 1] == ["0 > pwd", "/", "0 >"]


def test_a_line_keeps_127_of_130_typed_characters(disk_console):
    console = disk_console
    typed = "".join(chr(ord("a") + n % 26) for n in range(130))
    console.enter(typed)
    kept = typed[:127]
    # Echo and answer wrap at the 80th column.
    y = console.screen.cursor.y
    text = "".join(console.screen.display[row] for row in range(y - 4, y)).replace("\n", "")
    expected_echo = ("0 > " + kept).ljust(160)
    expected_answer = ("unknown word: " + kept).ljust(160)
    assert text == expected_echo + expected_answer


def test_esc_alone_leaves_and_hands_back_to_firmware(disk_console):
    console = disk_console
    console.type(b"he")
    mark = len(console.transcript)
    started = time.monotonic()
    console.type(b"\x1b")
    # The serial terminal waits about two seconds for more of an escape sequence before it
    # delivers a lone ESC as the Esc key.
    console.wait_for_transcript(b"BdsDxe: loading Boot", timeout=20, start=mark)
    print(f"Esc took the firmware {time.monotonic() - started:.1f} s to deliver")
    assert "unknown word: he" not in console.text()
