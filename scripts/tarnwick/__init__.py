# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Tarnwick's own tools: the platform table and the QEMU machines it describes, disks, signing, the
console as a person sees it, and the helpers of the checks and the bench. Run with scripts/ on
PYTHONPATH, as the Makefile and the tests do."""
import json
import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("TARNWICK_BUILD", os.path.join(ROOT, "build"))


def build_facts(build=BUILD):
    """What the build wrote of itself: the version, and per image its path, flags and objects."""
    with open(os.path.join(build, "tarnwick.json")) as f:
        return json.load(f)
