#!/usr/bin/python3
"""Boots Tarnwick in QEMU with OVMF, the serial console on this terminal.

    boot.py TARGET [QEMU OPTION ...]

TARGET is an EFI system partition folder or a disk image. The firmware code is used read-only
and each boot gets a private copy of the variable store, so nothing of one boot reaches the next.
Leave QEMU with Ctrl-A then X.
"""
import os
import shutil
import subprocess
import sys
import tempfile

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"


def disk_option(target):
    if os.path.isdir(target):
        return f"format=raw,file=fat:rw:{target}"
    # The image itself stays untouched: writes go to a temporary overlay.
    return f"format=raw,file={target},snapshot=on"


def qemu_command(target, vars_path, code=OVMF_CODE, extra=()):
    return [
        "qemu-system-x86_64",
        "-nodefaults", "-machine", "q35", "-m", "256M", "-vga", "std",
        "-nographic", "-serial", "mon:stdio", "-nic", "none",
        "-drive", f"if=pflash,format=raw,readonly=on,file={code}",
        "-drive", f"if=pflash,format=raw,file={vars_path}",
        "-drive", disk_option(target),
        *extra,
    ]


def private_vars(directory, template=OVMF_VARS):
    path = os.path.join(directory, "OVMF_VARS.fd")
    shutil.copyfile(template, path)
    return path


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    with tempfile.TemporaryDirectory(prefix="tarnwick-") as directory:
        command = qemu_command(argv[1], private_vars(directory), extra=argv[2:])
        return subprocess.call(command)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
