# SPDX-License-Identifier: BSD-2-Clause-Patent
"""QEMU command lines for the machines of the machine table, and `make run`:

    python3 -m tarnwick.qemu [--machine ARCH/FIRMWARE] [--window] [--medium MEDIUM] TARGET [TARGET ...]
    python3 -m tarnwick.qemu [--machine ARCH/FIRMWARE] [--window] --network pxe|http

boots the default machine, x64/edk2, or the one named, with the serial console on this terminal
(leave QEMU with Ctrl-A, then X), and with --window the machine's screen and keyboard in a window
on this desktop, as a PC's; either half of the name may be left out, for the first machine that has
the other. A target is an EFI system partition folder, a disk image or an ISO image; the
firmware tries them in order. They are on the machine's own disk (an ISO image on its CD-ROM), or on
the medium named, as the machine table has it ("usb" for its first USB stick). QEMU gets every
target read-only: writes go to a throwaway overlay, never to the folder or the image. Firmware code
is read-only too, and each boot has a private copy of the variable store.

From the network, QEMU's own DHCP and TFTP server hands the machine its boot file: by TFTP (pxe;
U-Boot gets the boot script), or by UEFI HTTP Boot from an HTTP server on 127.0.0.1 (http). For
iPXE, started from a disk, it hands out the iPXE script on that server."""
import argparse
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

from . import netboot, varstore
from .machines import QEMU, fact, firmware, first_keyboard, http_boot, keyboards, machine, medium, missing, screen

# Where QEMU's user network puts this machine, as the guest sees it.
HOST = "10.0.2.2"
# QEMU's user interface for a window on an X or Wayland desktop, pixel for pixel.
WINDOW = "gtk,zoom-to-fit=off"


def disk_options(machine_row, targets, medium_name=None):
    """Each target a drive on the machine's medium `medium_name`: a folder or a disk image as a disk,
    an ISO image (.iso) as a CD-ROM unless a medium is named (a stick the image was written to).
    Without a name, the machine's own disk, or its CD-ROM for an ISO image."""
    options = []
    for n, target in enumerate(targets):
        cd = target.endswith(".iso") and medium_name is None
        attached = medium(machine_row, medium_name, cd)
        if attached.get("controller") and not contains(options, attached["controller"]):
            options += attached["controller"]
        source = f"fat:{target}" if os.path.isdir(target) else target
        media_options = "media=cdrom,readonly=on" if attached.get("cd") else "snapshot=on"
        if "interface" in attached:  # a drive of the board's own, such as its SD card slot
            options += ["-drive", f"if={attached['interface']},index={n},format=raw,{media_options},file={source}"]
            continue
        *before, last = [device.format(n=n) for device in attached["devices"]]
        options += ["-drive", f"if=none,id=disk{n},format=raw,{media_options},file={source}"]
        options += [word for device in before for word in ("-device", device)]
        options += ["-device", f"{last},drive=disk{n},bootindex={n + 1}"]
    return options


def contains(options, words):
    return any(options[i:i + len(words)] == words for i in range(len(options)))


def private_vars(machine_row, folder, template=None):
    """A copy of the machine's variable store template, or of `template`, in `folder`; None for
    firmware without one."""
    if "vars" not in machine_row:
        return None
    path = os.path.join(folder, "vars.fd")
    shutil.copyfile(template or machine_row["vars"], path)
    return path


def person_options(machine_row, keyboard=None, window=False):
    """The machine's screen, where it has one, and the keyboard named. In a window on this desktop
    the screen is shown and the window's keys go to the machine's first keyboard; without one, the
    screen is only drawn, for screenshots."""
    shown, attached = screen(machine_row), keyboards(machine_row)
    if window and isinstance(attached, dict):
        keyboard = keyboard or first_keyboard(machine_row)
    options = ["-display", WINDOW if window else "none"]
    if isinstance(shown, dict):
        options += shown["device"]
    return options + (attached[keyboard]["devices"] if keyboard else [])


def command(machine_row, targets, vars_path, extra=(), raw_console=False, keyboard=None, window=False,
            medium_name=None):
    """The serial console is on this terminal, shared with QEMU's monitor (reached by Ctrl-A). A raw
    console hands every byte to the machine, Ctrl-A and Ctrl-C included, as a test needs. The targets
    are on the medium named (see `disk_options`)."""
    console = "stdio,id=console,signal=off" if raw_console else "stdio,id=console,mux=on,signal=off"
    if missing(machine_row):
        sys.exit(f"tarnwick: {missing(machine_row)}")
    loaded = firmware(machine_row)
    if vars_path:
        loaded += ["-drive", f"if=pflash,format=raw,file={vars_path}"]
    return [
        QEMU[machine_row["arch"]][0], "-nodefaults", *machine_row["qemu"],
        *person_options(machine_row, keyboard, window),
        "-chardev", console, *["-serial", "null"] * machine_row.get("serial", 0), "-serial", "chardev:console",
        *([] if raw_console else ["-mon", "chardev=console"]), "-nic", "none",
        *loaded, *disk_options(machine_row, targets, medium_name), *extra,
    ]


def boot_file(machine_row, boot, port):
    if boot == "pxe":
        return netboot.U_BOOT_SCRIPT if machine_row["firmware"] == "u-boot" else netboot.image(machine_row["arch"])
    return f"http://{HOST}:{port}/" + (netboot.IPXE_SCRIPT if boot == "ipxe" else netboot.image(machine_row["arch"]))


def network_options(machine_row, boot, folder=None, port=None, tap=None):
    """QEMU's user network, whose DHCP hands out the boot file of `boot` and whose TFTP serves
    `folder`, or the tap device `tap` of a network with servers of its own. The network card has
    no option ROM: the firmware's own driver runs it, as on the machines people net-boot."""
    netdev = f"tap,ifname={tap},script=no,downscript=no" if tap else \
        f"user,tftp={folder},bootfile={boot_file(machine_row, boot, port)}"
    return ["-netdev", f"{netdev},id=net0", "-device", f"{machine_row['nic']},netdev=net0,romfile=",
            *machine_row.get("network", [])]


def http_boot_vars(machine_row, folder, seconds=60):
    """A private variable store whose next boot is UEFI HTTP Boot from the URL that DHCP hands out,
    rather than PXE over IPv4 and IPv6 first: an entry of the URL alone, or, on firmware that fails
    one, its own entry for the machine's network card, which a first boot with the card makes (the
    card's device path is the same on any network). A template shipped unformatted (Debian 12's
    AAVMF) is formatted by the firmware itself in that first boot. The first boot ends when the
    firmware's boot manager starts."""
    path = private_vars(machine_row, folder)
    with open(path, "rb") as f:
        formatted = f.read(44)[40:] == b"_FVH"
    own_entry = not fact(machine_row, "uri_entry", True)
    if not formatted or own_entry:
        seen, deadline = b"", time.monotonic() + seconds
        card = network_options(machine_row, "http", folder, 0) if own_entry else []
        with subprocess.Popen(command(machine_row, [], path, card, raw_console=True), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as firmware_alone:
            while b"BdsDxe" not in seen and select.select([firmware_alone.stdout], [], [],
                                                          max(0, deadline - time.monotonic()))[0]:
                seen += os.read(firmware_alone.stdout.fileno(), 65536) or b"BdsDxe"
            firmware_alone.terminate()
    if own_entry:
        varstore.boot_next(path, "UEFI HTTPv4")
    else:
        varstore.boot_uri(path)
    return path


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--machine", default="")
    parser.add_argument("--network", choices=("pxe", "http"))
    parser.add_argument("--medium")
    parser.add_argument("--window", action="store_true")
    parser.add_argument("targets", nargs="*")
    args = parser.parse_args(argv)
    row = machine(args.machine)
    with tempfile.TemporaryDirectory(prefix="tarnwick-") as folder:
        if not args.network:
            return subprocess.call(command(row, args.targets, private_vars(row, folder), window=args.window,
                                           medium_name=args.medium))
        if args.network == "http" and not http_boot(row):
            sys.exit(f"tarnwick: {row['name']} here has no UEFI HTTP Boot: use BOOT=pxe")
        served = os.path.join(folder, "netboot")
        netboot.write(served)
        if row["firmware"] == "u-boot":
            print(f"tarnwick: where U-Boot stops at its prompt, type: {netboot.U_BOOT_TYPED}")
        with netboot.served(served) as port:
            vars_path = http_boot_vars(row, folder) if args.network == "http" else private_vars(row, folder)
            return subprocess.call(command(row, [], vars_path, extra=network_options(row, args.network, served, port),
                                           window=args.window))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
