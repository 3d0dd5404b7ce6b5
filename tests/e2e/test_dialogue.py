# SPDX-License-Identifier: BSD-2-Clause-Patent
"""A whole dialogue at the console of each machine of the platform table, booted from the one disk
image and checked on the screen a terminal draws. Each machine boots once; its checks run in this
order and end with `bye`."""
import os

import pytest

from tarnwick import BUILD, model
from tarnwick.console import boot_to_prompt
from tarnwick.machines import MACHINES, missing, selected, starts

GLYPH_HEIGHT = 19  # OVMF's graphics console font


@pytest.fixture(scope="module", params=selected())
def console(request):
    if missing(MACHINES[request.param]):
        pytest.skip(missing(MACHINES[request.param]))
    console = boot_to_prompt(MACHINES[request.param], [os.path.join(BUILD, "tarnwick.img")])
    print(f"{request.param}: the first prompt {console.prompt_seconds:.1f} s after QEMU started")
    yield console
    console.close()


def read_ppm(path):
    with open(path, "rb") as f:
        magic, width, height, depth, pixels = f.read().split(maxsplit=4)
    assert magic == b"P6" and depth == b"255"
    return int(width), int(height), pixels


def test_start_up_clears_the_console_and_greets(console):
    lines = console.lines()
    assert lines[:4] == model.greeting()
    assert not any(lines[4:]), "firmware messages were left on the screen"
    if not console.machine.get("display"):
        return
    # The graphical console shows only the greeting, in light grey on black.
    ppm = os.path.join(console.path, "console.ppm")
    console.qmp("screendump", filename=os.path.join(BUILD, "console.png"), format="png")
    console.qmp("screendump", filename=ppm)
    width, height, pixels = read_ppm(ppm)
    colours = {pixels[i:i + 3] for i in range(0, len(pixels), 3)}
    assert colours == {bytes(3), bytes(console.machine["display"])}, f"colours on the display: {sorted(colours)}"
    # The firmware centres the 80x25 text console on the display; find the text row of every lit line.
    top = (height - 25 * GLYPH_HEIGHT) // 2
    lit = {(y - top) // GLYPH_HEIGHT for y in range(height) if pixels[3 * width * y:3 * width * (y + 1)].strip(b"\0")}
    assert lit == {0, 1, 3}, f"text rows with something drawn: {sorted(lit)} (banner, hint, prompt expected)"


TYPED = ["  HeLp  ", " WORDS", "Pwd ", " Dev / ", "DEV", "dev  /", "  .Properties", " BOOT ", "boot Disk0",
         "Boot   cdrom", "Hello, World", "quit now", "   "]


@pytest.mark.parametrize("typed", TYPED, ids=[typed.strip() or "spaces" for typed in TYPED])
def test_answers_each_word_as_typed(console, typed):
    console.enter(typed)
    rows, _ = model.answer(typed)
    assert console.rows_above_cursor(len(rows) + 1) == [("0 > " + typed).rstrip(), *rows, "0 >"]


@pytest.mark.parametrize("key", [b"\x7f", b"\x08"], ids=["backspace key", "ctrl-h"])
def test_erase_removes_the_last_character_from_screen_and_line(console, key):
    console.type(b"pwdx")
    console.wait_until(lambda: console.cursor_line() == "0 > pwdx", 5, "the echo")
    console.type(key)
    console.wait_until(lambda: console.lines()[console.screen.cursor.y] == "0 > pwd" and
                       console.cursor_line() == "0 > pwd", 5, "the erase")
    console.enter("")
    assert console.rows_above_cursor(2) == ["0 > pwd", "/", "0 >"]


def test_a_line_keeps_127_of_130_typed_characters(console):
    typed = "".join(chr(ord("a") + n % 26) for n in range(130))
    console.enter(typed)
    kept = typed[:127]
    # Echo and answer wrap at the 80th column.
    y = console.screen.cursor.y
    text = "".join(console.screen.display[row] for row in range(y - 4, y))
    assert text == ("0 > " + kept).ljust(160) + ("unknown word: " + kept).ljust(160)


def test_a_cursor_key_and_a_tab_leave_no_trace(console):
    console.type(b"pw")
    console.child.send(b"\x1b[D")  # cursor left, in one write as a terminal sends it
    console.type(b"\td")
    console.wait_until(lambda: console.cursor_line() == "0 > pwd", 5, "the echo")
    console.enter("")
    assert console.rows_above_cursor(2) == ["0 > pwd", "/", "0 >"]


def test_bye_hands_control_back_with_success(console):
    after = console.leave()
    # Firmware that starts the monitor again once it has returned greets the person again each time.
    assert after.count(model.greeting()[0].encode()) == starts(console.machine) - 1
    assert not any(failed.encode() in after for failed in console.machine["failed"])
