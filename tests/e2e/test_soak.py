# SPDX-License-Identifier: BSD-2-Clause-Patent
"""A soak at OVMF's serial console, started from the UEFI Shell: hundreds of lines of words and
junk typed with erasures, tabs, control characters and the keys the installed firmware's terminal
decodes, each checked against the model's answer on the rendered screen."""
import os
import random

import pytest

from tarnwick import model
from tarnwick.machines import DEFAULT, MACHINES, TERMINAL, fact
from tarnwick.shell import SHELL_PROMPT, Shell

MACHINE = MACHINES[DEFAULT]

SOAK_LINES = 300
SEED = int(os.environ.get("TARNWICK_SOAK_SEED", "20261208"))
# Sequences the firmware's terminal turns into keys without a character, which the monitor drops.
DECODED = [TERMINAL[key] for key in fact(MACHINE, "terminal_keys")]
# Keys as terminals send them: Home, End, Delete, Page Up and F1.
SENT = [b"\x1b[H", b"\x1b[4~", b"\x1b[3~", b"\x1b[5~", b"\x1bOP"]
# Control characters that reach the monitor as characters: all but NUL, backspace, tab, line
# feed, carriage return and escape.
CONTROLS = [bytes([c]) for c in range(1, 0x20) if c not in (0x08, 0x09, 0x0A, 0x0D, 0x1B)]
ERASERS = [b"\x08", b"\x7f"]
PRINTABLE = [chr(c) for c in range(0x20, 0x7F)]
WORDS = model.words()


def random_line(rng):
    """A line as typed, noise and all, and the line the monitor must end up with."""
    if rng.random() < 0.5:
        word = "".join(c.upper() if rng.random() < 0.3 else c for c in rng.choice(WORDS))
        if rng.random() < 0.2:
            word += " " + "".join(rng.choice(PRINTABLE) for _ in range(rng.randint(1, 8)))
    else:
        word = "".join(rng.choice(PRINTABLE) for _ in range(rng.randint(1, 24)))
    line = " " * rng.randint(0, 2) + word + " " * rng.randint(0, 2)
    if model.answer(line)[1]:
        line = "x" + line  # a way out would end the soak
    typed = b""
    for c in line:
        for _ in range(rng.choice([0, 0, 0, 1, 2])):
            noise = rng.random()
            if noise < 0.3:
                typed += rng.choice(PRINTABLE).encode() + rng.choice(ERASERS)
            elif noise < 0.5:
                typed += b"\t"
            elif noise < 0.75:
                typed += rng.choice(CONTROLS)
            else:
                typed += rng.choice(DECODED)
        typed += c.encode()
    return typed, line


def type_and_check(console, typed, line):
    mark = len(console.transcript)
    console.child.send(typed + b"\r")
    console.wait_for_prompt(start=mark, timeout=10)
    rows, _ = model.answer(line)
    assert console.rows_above_cursor(len(rows) + 1) == [("0 > " + line).rstrip(), *rows, "0 >"], repr(typed)


@pytest.fixture(scope="module")
def shell(tmp_path_factory):
    folder = tmp_path_factory.mktemp("soak-disk")
    shell = Shell(MACHINE, str(folder))
    yield shell
    shell.close()


def test_soak_then_bye_returns_success(shell):
    rng = random.Random(SEED)
    shell.launch()
    keys = 0
    for _ in range(SOAK_LINES):
        typed, line = random_line(rng)
        type_and_check(shell.console, typed, line)
        keys += len(typed) + 1
    mark = len(shell.console.transcript)
    shell.console.type(b"bye\r")
    shell.wait_for_shell_prompt(mark)
    assert shell.last_error() == 0
    print(f"soak: {SOAK_LINES} lines, {keys} bytes typed, seed {SEED}")


@pytest.mark.parametrize("sequence", [key for key in SENT if key not in DECODED], ids=repr)
def test_a_sequence_the_terminal_does_not_decode_arrives_as_esc_and_leaves(shell, sequence):
    rng = random.Random(SEED + len(sequence))
    shell.launch()
    for _ in range(10):
        type_and_check(shell.console, *random_line(rng))
    console = shell.console
    mark = len(console.transcript)
    console.child.send(b"pw" + sequence)
    # The monitor took the ESC as the Esc key and left; the rest of the sequence reaches the Shell.
    rest = SHELL_PROMPT + sequence[1:].decode()
    console.wait_until(lambda: console.cursor_line() == rest, 15, f"{rest!r} at the Shell")
    assert b"unknown word" not in console.transcript[mark:], "the monitor interpreted the line"
    console.type(b"\x08" * (len(sequence) - 1))
    console.wait_until(lambda: console.cursor_line() == SHELL_PROMPT, 5, "the erased Shell line")
    assert shell.last_error() == 0
