# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Pictures of the monitor on the screens of real firmware, for the README and docs/keys.md:

    python3 -m tarnwick.pictures FOLDER

boots each machine of PICTURED whose firmware draws a screen in this release, types a few words on
its first keyboard and writes what the screen shows to FOLDER/ARCH-FIRMWARE.png."""
import os
import sys

from . import BUILD
from .console import boot_to_prompt
from .machines import MACHINES, first_keyboard, missing, screen

PICTURED = ["x64/edk2", "aa64/u-boot"]
TYPED = ["help", "Pwd", "boot"]


def main(folder):
    os.makedirs(folder, exist_ok=True)
    for name in PICTURED:
        row = MACHINES[name]
        why_not = missing(row) or (None if isinstance(screen(row), dict) else screen(row))
        if why_not:
            print(f"{name}: no picture here: {why_not}")
            continue
        console = boot_to_prompt(row, [os.path.join(BUILD, "tarnwick.img")], keyboard=first_keyboard(row))
        try:
            for line in TYPED:
                console.enter(line)
            path = os.path.join(folder, name.replace("/", "-") + ".png")
            console.screenshot(path)
            print(f"{path}: {row['name']}'s screen")
        finally:
            console.close()


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
