# SPDX-License-Identifier: BSD-2-Clause-Patent
"""QEMU command lines for the machines of the platform table, and `make run`:

    python3 -m tarnwick.qemu [--machine ARCH/FIRMWARE] TARGET [TARGET ...]

boots the default machine, x64/edk2, or the one named, with the serial console on this terminal
(leave QEMU with Ctrl-A, then X); either half of the name may be left out, for the first machine
that has the other. A target is an EFI system partition folder, a disk image or an ISO
image; the firmware tries them in order. QEMU
gets every target read-only: writes go to a throwaway overlay, never to the folder or the image.
Firmware code is read-only too, and each boot has a private copy of the variable store."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

from .machines import QEMU, firmware, machine, missing


def disk_options(machine_row, targets):
    """A folder or a disk image becomes a hard disk; an ISO image (.iso) a CD-ROM."""
    options = []
    for n, target in enumerate(targets):
        source = f"fat:{target}" if os.path.isdir(target) else target
        cd = target.endswith(".iso")
        device = f"{'ide-cd' if cd else machine_row['disk']},drive=disk{n},bootindex={n + 1}"
        if machine_row["disk"] == "ide-hd":
            device += f",bus=ide.{n}"
        media = "media=cdrom,readonly=on" if cd else "snapshot=on"
        options += ["-drive", f"if=none,id=disk{n},format=raw,{media},file={source}", "-device", device]
    return options


def private_vars(machine_row, folder, template=None):
    """A copy of the machine's variable store template, or of `template`, in `folder`; None for
    firmware without one."""
    if "vars" not in machine_row:
        return None
    path = os.path.join(folder, "vars.fd")
    shutil.copyfile(template or machine_row["vars"], path)
    return path


def command(machine_row, targets, vars_path, extra=(), raw_console=False):
    """The serial console is on this terminal, shared with QEMU's monitor (reached by Ctrl-A). A raw
    console hands every byte to the machine, Ctrl-A and Ctrl-C included, as a test needs."""
    console = "stdio,id=console,signal=off" if raw_console else "stdio,id=console,mux=on,signal=off"
    if missing(machine_row):
        sys.exit(f"tarnwick: {missing(machine_row)}")
    loaded = firmware(machine_row)
    if vars_path:
        loaded += ["-drive", f"if=pflash,format=raw,file={vars_path}"]
    return [
        QEMU[machine_row["arch"]][0], "-nodefaults", *machine_row["qemu"],
        "-nographic", "-chardev", console, "-serial", "chardev:console",
        *([] if raw_console else ["-mon", "chardev=console"]), "-nic", "none",
        *loaded, *disk_options(machine_row, targets), *extra,
    ]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--machine", default="")
    parser.add_argument("targets", nargs="+")
    args = parser.parse_args(argv)
    row = machine(args.machine)
    with tempfile.TemporaryDirectory(prefix="tarnwick-") as folder:
        return subprocess.call(command(row, args.targets, private_vars(row, folder)))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
