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
    if name not in MACHINES:
        sys.exit(f"no machine {name}; the table has {', '.join(MACHINES)}")
    return MACHINES[name]


def selected(condition=lambda row: True):
    """The machines a test runs on: the one TARNWICK_MACHINE names, else every row that fits."""
    chosen = os.environ.get("TARNWICK_MACHINE")
    return [name for name, row in MACHINES.items() if condition(row) and chosen in (None, name)]


def packages(names):
    found = set()
    for name in names:
        row = machine(name)
        found |= set(IMAGES[row["arch"]]["packages"]) | set(row["packages"])
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
