# SPDX-License-Identifier: BSD-2-Clause-Patent
"""A whole dialogue at each console of each machine of the machine table, booted from the one disk
image: typed at the serial line and checked on the screen a terminal draws, and typed on each
keyboard the firmware reads; where the firmware draws a screen, that is read too. The default
machine is also typed at in its window on a desktop of its own, with the desktop's key events. Each
machine boots once a console; its checks run in this order and end with leaving the monitor."""
import contextlib
import os
import select
import subprocess
import time
from unittest import mock

import pytest

from tarnwick import model
from tarnwick.console import WINDOW, boot_to_prompt
from tarnwick.machines import (DEFAULT, ERASERS, MACHINES, disk_image, fact, first_keyboard, keyboards, missing, screen,
                               selected, starts)

SCREEN_SECONDS = 5
# Keys with no character, or none the monitor takes, and a modifier alone.
KEYBOARD_KEYS = ["tab", "left", "right", "up", "down", "home", "end", "insert", "pgup", "pgdn",
                 *[f"f{n}" for n in range(1, 13)], "ctrl-a", "shift", "ctrl", "alt", "caps_lock", "caps_lock"]
CONSOLES = [(name, keyboard) for name in selected()
            for keyboard in [None, *(keyboards(MACHINES[name]) if isinstance(keyboards(MACHINES[name]), dict)
                                     else ["keyboard"])]] + ([(DEFAULT, WINDOW)] if DEFAULT in selected() else [])


@contextlib.contextmanager
def desktop():
    """An X desktop of its own, Xvfb's, as $DISPLAY meanwhile, whatever desktop the tests run on."""
    ready, told = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(told), "-screen", "0", "1600x1000x24", "-nolisten", "tcp"],
                            pass_fds=[told], stderr=subprocess.DEVNULL)
    os.close(told)
    try:
        assert select.select([ready], [], [], 30)[0], "Xvfb did not start"
        with mock.patch.dict(os.environ, DISPLAY=":" + os.read(ready, 16).decode().strip(), GDK_BACKEND="x11"):
            yield
    finally:
        os.close(ready)
        xvfb.terminate()
        xvfb.wait()


@pytest.fixture(scope="module", params=CONSOLES, ids=[f"{name} {keyboard or 'serial'}" for name, keyboard in CONSOLES])
def console(request):
    name, keyboard = request.param
    machine = MACHINES[name]
    if missing(machine):
        pytest.skip(missing(machine))
    if keyboard and not isinstance(keyboards(machine), dict):
        pytest.skip(keyboards(machine))
    with contextlib.ExitStack() as stack:
        if keyboard == WINDOW:
            stack.enter_context(desktop())
        console = boot_to_prompt(machine, [disk_image(machine)], keyboard=keyboard)
        stack.callback(console.close)
        print(f"{name}, {keyboard or 'serial line'}: the first prompt {console.prompt_seconds:.1f} s after QEMU "
              "started")
        if keyboard == WINDOW:
            subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "QEMU", "windowfocus"],
                           check=True, timeout=30)
        yield console


def keys(console):
    """The keys that erase at this console, and those that leave no trace: at the serial line, the
    keys whose sequences the firmware's terminal decodes."""
    if console.keyboard is None:
        return ["backspace", "ctrl-h"], ["tab", "ctrl-a", *fact(console.machine, "terminal_keys")]
    typed_on = first_keyboard(console.machine) if console.keyboard == WINDOW else console.keyboard
    erasers = keyboards(console.machine)[typed_on]["erasers"]
    return erasers, KEYBOARD_KEYS + [key for key in ERASERS if key not in erasers]


def assert_the_screen_shows_it(console):
    """Where the firmware draws a screen, it shows what the serial line does, in light grey on black.
    What the firmware writes of its own (a warning) may reach the screen a moment before the serial
    line, or after it: the screen is read again until they agree, for a few seconds."""
    shown = screen(console.machine)
    if not isinstance(shown, dict):
        return
    colours, read, expected = console.picture()
    deadline = time.monotonic() + SCREEN_SECONDS
    while read != expected and time.monotonic() < deadline:
        console.pump(0.5)
        colours, read, expected = console.picture()
    if shown["cell"] is None:  # smoothed TrueType: shades of grey
        assert len(colours) > 1 and all(len(set(colour)) == 1 for colour in colours), sorted(colours)
        return
    assert colours == {bytes(3), bytes(shown["grey"])}, f"colours on the screen: {sorted(colours)}"
    assert read == expected


def test_start_up_clears_the_console_and_greets(console):
    lines = console.lines()
    assert lines[:4] == model.greeting()
    assert not any(lines[4:]), "firmware messages were left on the screen"
    assert_the_screen_shows_it(console)


TYPED = ["  HeLp  ", " WORDS", "Pwd ", " Dev / ", "DEV", "dev  /", "  .Properties", " BOOT ", "boot Disk0",
         "Boot   cdrom", "Hello, World", "quit now", "   ", "1+2=3; 'x' (y) [z] {w} <v> ~!@#$%^&*_|\"?`\\-"]
# A keyboard types each character as the serial line does; the rows with Shift and punctuation.
ON_KEYBOARDS = ["  HeLp  ", " Dev / ", "  .Properties", "Hello, World", "   ", TYPED[-1]]


@pytest.mark.parametrize("typed", TYPED, ids=[typed.strip()[:12] or "spaces" for typed in TYPED])
def test_answers_each_word_as_typed(console, typed):
    if console.keyboard and typed not in ON_KEYBOARDS:
        pytest.skip("a keyboard types the words with Shift and punctuation; the serial line every word")
    console.enter(typed)
    rows, _ = model.answer(typed)
    assert console.rows_above_cursor(len(rows) + 1) == [("0 > " + typed).rstrip(), *rows, "0 >"]
    assert_the_screen_shows_it(console)


def test_each_erasing_key_removes_the_last_character_and_no_other_key_does(console):
    erasers, _ = keys(console)
    for key in ERASERS if console.keyboard else erasers:
        console.press(*"pwdx")
        console.wait_until(lambda: console.cursor_line() == "0 > pwdx", 5, "the echo")
        console.press(key)
        kept = "0 > pwd" if key in erasers else "0 > pwdx"
        console.wait_until(lambda: console.lines()[console.screen.cursor.y] == kept == console.cursor_line(), 5,
                           f"{key}: {kept!r}")
        assert_the_screen_shows_it(console)
        console.enter("")
        assert console.rows_above_cursor(2)[0] == kept, key


def test_a_line_keeps_127_of_130_typed_characters(console):
    typed = "".join(chr(ord("a") + n % 26) for n in range(130))
    console.enter(typed)
    kept = typed[:127]
    # Echo and answer wrap at the 80th column.
    y = console.screen.cursor.y
    text = "".join(console.screen.display[row] for row in range(y - 4, y))
    assert text == ("0 > " + kept).ljust(160) + ("unknown word: " + kept).ljust(160)
    assert_the_screen_shows_it(console)


def test_keys_without_a_character_leave_no_trace(console):
    console.press("p", *keys(console)[1], "w", "d")
    console.wait_until(lambda: console.cursor_line() == "0 > pwd", 5, "the echo")
    console.enter("")
    assert console.rows_above_cursor(2) == ["0 > pwd", "/", "0 >"]


def test_shift_caps_lock_and_keypad_enter_make_a_line(console):
    if console.keyboard is None:
        pytest.skip("a serial terminal sends characters: it has no Caps Lock or keypad of its own")
    console.enter(["caps_lock", *"words", "caps_lock"], end="kp_enter")
    rows, _ = model.answer("words")
    assert console.rows_above_cursor(len(rows) + 1) == ["0 > WORDS", *rows, "0 >"]


def test_leaving_hands_control_back_with_success(console):
    # At a keyboard, Esc in the middle of a line; at the serial line, whose lone Esc waits, bye.
    after = console.leave(["p", "w", "esc"] if console.keyboard else ["b", "y", "e", "ret"])
    # Firmware that starts the monitor again once it has returned greets the person again each time.
    assert after.count(model.greeting()[0].encode()) == starts(console.machine) - 1
    assert not any(failed.encode() in after for failed in console.machine["failed"])
