# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The platform table, platforms.json: per architecture how its image is built and what it must
look like.

    python3 -m tarnwick.platforms unpacked

prints the signed boot pieces (shim, its MOK manager, GRUB) that the tests unpack from Debian's
packages rather than install."""
import json
import os
import sys

from . import ROOT

with open(os.path.join(ROOT, "platforms.json")) as f:
    TABLE = json.load(f)
IMAGES = {row["arch"]: row for row in TABLE["images"]}


def unpacked():
    return sorted({package for row in IMAGES.values() for package in row.get("shim", {}).get("packages", [])})


if __name__ == "__main__":
    if sys.argv[1:] == ["unpacked"]:
        print(" ".join(unpacked()))
    else:
        sys.exit(__doc__)
