# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The platform table, platforms.json: per architecture how its image is built and what it must
look like, per machine (an architecture on a firmware) how QEMU boots it.

    python3 -m tarnwick.platforms packages [all | ARCH/FIRMWARE ...]
    python3 -m tarnwick.platforms unpacked

print the Debian packages that booting those machines needs, and the signed boot pieces (shim,
its MOK manager, GRUB) that the tests unpack from Debian's packages rather than install."""
import json
import os
import sys

from . import ROOT

with open(os.path.join(ROOT, "platforms.json")) as f:
    TABLE = json.load(f)
IMAGES = {row["arch"]: row for row in TABLE["images"]}
MACHINES = {f"{row['arch']}/{row['firmware']}": row for row in TABLE["machines"]}


def machine(name):
    """The machine ARCH/FIRMWARE; either may be left out, for the first row that has the other. The
    first row of all is the reference machine, which `make run` boots and single-machine checks use."""
    arch, _, firmware = name.partition("/")
    for row in MACHINES.values():
        if arch in ("", row["arch"]) and firmware in ("", row["firmware"]):
            return row
    sys.exit(f"no machine {name}; the table has {', '.join(MACHINES)}")


REFERENCE = machine("/")


def selected(condition=lambda row: True):
    """The machines a test runs on: the one TARNWICK_MACHINE names, else every row that fits."""
    chosen = os.environ.get("TARNWICK_MACHINE")
    return [name for name, row in MACHINES.items() if condition(row) and chosen in (None, name)]


def packages(names):
    found = set()
    for name in names:
        row = machine(name)
        image = IMAGES[row["arch"]]
        found |= set(image["packages"]) | set(row["packages"]) | set(image.get("boot_loaders", {}).get("packages", []))
    return sorted(found)


def unpacked():
    return sorted({package for row in IMAGES.values() for package in row.get("shim", {}).get("packages", [])})


if __name__ == "__main__":
    if sys.argv[1:2] == ["unpacked"]:
        print(" ".join(unpacked()))
    elif sys.argv[1:2] == ["packages"]:
        print(" ".join(packages(list(MACHINES) if sys.argv[2:] in ([], ["all"]) else sys.argv[2:])))
    else:
        sys.exit(__doc__)
