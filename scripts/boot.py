#!/usr/bin/python3
"""Boots Tarnwick in QEMU with OVMF, the serial console on this terminal.

    boot.py TARGET [QEMU OPTION ...]

TARGET is an EFI system partition folder or a disk image. Tests may give several targets; the
firmware tries them in that order. The firmware code is used read-only
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


def disk_options(targets):
    options = []
    for n, target in enumerate([targets] if isinstance(targets, str) else targets):
        if os.path.isdir(target):
            source = f"file=fat:rw:{target}"
        else:
            # The image itself stays untouched: writes go to a temporary overlay.
            source = f"file={target},snapshot=on"
        options += ["-drive", f"if=none,id=disk{n},format=raw,{source}",
                    "-device", f"ide-hd,drive=disk{n},bus=ide.{n},bootindex={n + 1}"]
    return options


def qemu_command(targets, vars_path, code=OVMF_CODE, extra=(), raw_console=False):
    """The serial console is on this terminal, shared with QEMU's monitor (reached by Ctrl-A). A raw
    console hands every byte to the machine, Ctrl-A and Ctrl-C included, as a test needs."""
    console = "stdio,id=console,signal=off" if raw_console else "stdio,id=console,mux=on,signal=off"
    monitor = [] if raw_console else ["-mon", "chardev=console"]
    return [
        "qemu-system-x86_64",
        "-nodefaults", "-machine", "q35", "-m", "256M", "-vga", "std",
        "-nographic", "-chardev", console, "-serial", "chardev:console", *monitor, "-nic", "none",
        "-drive", f"if=pflash,format=raw,readonly=on,file={code}",
        "-drive", f"if=pflash,format=raw,file={vars_path}",
        *disk_options(targets),
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
