# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Tarnwick from each medium a machine's firmware boots from, as a person writes it there, one boot
each: the disk image on every disk and USB stick but the machine's own disk (the dialogue boots
that), the ISO image on its CD-ROM and written raw to its first USB stick; the greeting, one answer,
and the firmware back after bye. A medium the firmware does not boot from is skipped with the
reason, as the machine table gives it."""
import os
import time

import pytest

from tarnwick import BUILD, model
from tarnwick.console import BOOT_SECONDS, Console
from tarnwick.machines import MACHINES, media, missing, selected

ISO, DISK = "tarnwick.iso", "tarnwick.img"


def media_rows(row):
    """The machine's media but its own disk, each with the image written to it, and the ISO image
    written to its first USB medium."""
    every = media(row)
    usb = next((name for name, attached in every.items() if name.startswith("usb-") and isinstance(attached, dict)),
               None)
    return [(name, ISO if name == "cdrom" else DISK) for name in list(every)[1:]] + ([(usb, ISO)] if usb else [])


ROWS = [(name, medium_name, image) for name in selected() for medium_name, image in media_rows(MACHINES[name])]


@pytest.mark.parametrize("name,medium_name,image", ROWS,
                         ids=[f"{name} {medium_name} {image}" for name, medium_name, image in ROWS])
def test_from_the_medium_it_greets_answers_and_bye_returns_to_the_firmware(name, medium_name, image):
    row = MACHINES[name]
    if missing(row):
        pytest.skip(missing(row))
    if not isinstance(media(row)[medium_name], dict):
        pytest.skip(f"{name} does not boot from {medium_name}: {media(row)[medium_name]}")
    console = Console(row, [os.path.join(BUILD, image)], medium_name=medium_name)
    try:
        console.wait_for_prompt(timeout=BOOT_SECONDS)
        print(f"{name}, {image} on {medium_name}: the first prompt {time.monotonic() - console.started:.1f} s "
              "after QEMU started")
        assert console.lines()[:4] == model.greeting()
        console.enter("pwd")
        assert console.rows_above_cursor(2) == ["0 > pwd", "/", "0 >"]
        after = console.leave(timeout=BOOT_SECONDS)
        assert after.count(model.greeting()[0].encode()) == console.starts - 1
    finally:
        console.close()
