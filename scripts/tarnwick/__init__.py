# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Tarnwick's own tools: the QEMU machines, disks, signing, the console as a person sees it, the PE
writer of the build and the helpers of the checks and the bench. Run with scripts/ on PYTHONPATH,
as the Makefile and the tests do."""
import glob
import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("TARNWICK_BUILD", os.path.join(ROOT, "build"))


def images(build=BUILD):
    """The images the build made, BUILD/tarnwick<arch>.efi, by architecture."""
    paths = glob.glob(os.path.join(build, "tarnwick?*.efi"))
    return {os.path.basename(path)[len("tarnwick"):-len(".efi")]: path for path in sorted(paths)
            if not path.endswith(".signed.efi")}
