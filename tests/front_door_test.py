# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The front door, `make`, as a person types at it. Each mistake ends with one line of Tarnwick's that
says what is wrong, a non-zero status and no traceback, before anything is built; and the package,
built again elsewhere and later, is the same byte for byte."""
import filecmp
import glob
import os
import re
import subprocess

import pytest

from conftest import DEB
from tarnwick import ROOT, images
from tarnwick.sign import new_key

# Stand-ins for a machine where a package is missing and apt cannot install it, saying {said}.
BROKEN_APT = {
    "dpkg-query": "exit 1",
    "dpkg-checkbuilddeps": 'echo "dpkg-checkbuilddeps: error: Unmet build dependencies: clang" >&2\nexit 1',
    "apt-get": "case $1 in update) exit 0 ;; esac\nprintf '{said}' >&2\nexit 100",
}
# apt's solver (Debian 13 on) gives its reason on the lines after its error.
CONFLICT = ("E: Unable to satisfy dependencies. Reached two conflicting assignments:\\n"
            "   1. clang-19:amd64=1:19.1.7-3 is selected for install\\n"
            "   2. clang-19:amd64 is not selected for install\\nE: Broken packages\\n")
# What a person sets on make's command line.
SETTINGS = ["ARCH", "FIRMWARE", "BOOT", "MEDIUM", "DIST", "KEY", "CERT", "SIGNED", "SERVER", "ROOT", "WINDOW", "BUILD",
            "BOARD"]
# The words typed after make, with {key}, {cert} and {folder} for a real key, certificate and
# folder; what the one line must say; and what apt says when it fails, if it does.
MISTAKES = [
    ("sign KEY=/nonexistent CERT=/nonexistent", "KEY=/nonexistent is not a file you can read", None),
    ("sign KEY={folder} CERT={cert}", "is not a file you can read", None),
    ("sign KEY={cert} CERT={cert}", "is not a private key in PEM form", None),
    ("sign KEY={key} CERT={key}", "is not a certificate in PEM form", None),
    ("sign KEY={key}", "give both KEY and CERT, or neither", None),
    ("sign KEY=/nonexistent", "KEY=/nonexistent is not a file you can read", None),
    ("mok-cert CERT={cert}", "give both KEY and CERT, or neither", None),
    ("image SIGNED=1 KEY={key}", "give both KEY and CERT, or neither", None),
    ("run ARCH=sparc", "no machine has ARCH=sparc; the machines are", None),
    ("run ARCH=ia32 FIRMWARE=u-boot", "no machine has ARCH=ia32 and FIRMWARE=u-boot", None),
    ("run BOOT=floppy", "no BOOT=floppy; BOOT is disk, iso, pxe or http", None),
    ("run MEDIUM=floppy", "x64/edk2 has no medium floppy; it boots from sata, virtio, nvme, scsi, usb-xhci", None),
    ("run MEDIUM=usb-uas", "x64/edk2 does not boot from usb-uas: EDK2 has no USB Attached SCSI driver", None),
    ("run MEDIUM=usb BOOT=pxe", "MEDIUM=usb is for BOOT=disk or iso, not the network", None),
    ("image BOARD=rpi_5", "no board rpi_5; the boards are rpi_3, rpi_arm64, rpi_2", None),
    ("run BOARD=rpi_3 BOOT=pxe", "BOARD=rpi_3 boots from its card, not BOOT=pxe", None),
    ("netboot SERVER=rack1", "SERVER=rack1 is not an IPv4 address", None),
    ("test-in DIST=sid", "no Debian release 'sid' to test in", None),
    ("test-in", "say which Debian release to test in: DIST=bookworm (Debian 12), trixie", None),
    ("all", "apt-get build-dep failed: E: Unable to locate package clang", "E: Unable to locate package clang\\n"),
    ("all", "apt-get build-dep failed: E: Unable to satisfy dependencies. Reached two conflicting assignments: "
     "1. clang-19:amd64=1:19.1.7-3 is selected for install 2. clang-19:amd64 is not selected for install", CONFLICT),
]


def typed_only():
    """The environment of a make that takes only what is typed: it would take the settings of a make
    that runs this (CI's DIST) from the environment."""
    env = {name: value for name, value in os.environ.items() if name not in SETTINGS}
    env["MAKEFLAGS"] = ""
    return env


@pytest.mark.parametrize("typed,said,apt_says", MISTAKES, ids=[row[0] for row in MISTAKES])
def test_a_mistake_ends_with_one_clear_line(typed, said, apt_says, tmp_path):
    key, cert = new_key(str(tmp_path), "own")
    env = typed_only()
    if apt_says:
        (tmp_path / "bin").mkdir()
        for name, body in BROKEN_APT.items():
            (tmp_path / "bin" / name).write_text(f"#!/bin/sh\n{body.format(said=apt_says)}\n")
            (tmp_path / "bin" / name).chmod(0o755)
        env["PATH"] = f"{tmp_path / 'bin'}:{env['PATH']}"
    words = typed.format(key=key, cert=cert, folder=tmp_path).split()
    result = subprocess.run(["make", "-s", "-C", ROOT, f"BUILD={tmp_path / 'build'}", *words], env=env,
                            capture_output=True, text=True, stdin=subprocess.DEVNULL)
    ours = [line for line in result.stderr.splitlines() if not re.match(r"make(\[\d+\])?: \*\*\* ", line)]
    assert result.returncode != 0
    assert len(ours) == 1 and ours[0].startswith("tarnwick: ") and said in ours[0], result.stderr
    assert not (tmp_path / "build").exists(), "something was built"


def test_the_package_builds_again_byte_for_byte_elsewhere_later_and_otherwise_set_up(tmp_path):
    """`make deb` in a copy of the tree in another folder, its clock 400 days on, in another time
    zone and locale, under umask 077: the package, and every image in it, are the bytes `make test`
    built."""
    copy = tmp_path / "elsewhere"
    copy.mkdir()
    tree = subprocess.run(["tar", "-C", ROOT, "--exclude=./build", "--exclude=./.git", "-cf", "-", "."], check=True,
                          capture_output=True).stdout
    subprocess.run(["tar", "-C", str(copy), "-xf", "-"], input=tree, check=True)
    # The files keep their real times (NO_FAKE_STAT), which make and ninja compare; the clock moves.
    env = dict(typed_only(), TZ="UTC-14", LC_ALL="C.UTF-8", NO_FAKE_STAT="1")
    result = subprocess.run(["faketime", "-f", "+400d", "make", "-s", "deb"], cwd=copy, env=env,
                            capture_output=True, text=True, stdin=subprocess.DEVNULL,
                            preexec_fn=lambda: os.umask(0o077))
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-2000:]
    again = copy / "build" / "deb" / os.path.basename(DEB)
    assert filecmp.cmp(again, DEB, shallow=False)
    subprocess.run(["dpkg-deb", "-x", str(again), str(tmp_path / "unpacked")], check=True)
    shipped = {os.path.basename(path): path for path in glob.glob(str(tmp_path / "unpacked/usr/lib/tarnwick/*.efi"))}
    assert sorted(shipped) == sorted(os.path.basename(image) for image in images().values())
    for image in images().values():
        assert filecmp.cmp(shipped[os.path.basename(image)], image, shallow=False), image
