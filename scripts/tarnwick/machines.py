# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The machines Tarnwick boots on under QEMU: per machine (an architecture on a firmware) how QEMU
starts it, the Debian packages that bring its firmware, and what that firmware does around the
monitor. Firmware files and habits differ between Debian releases: a machine takes the firmware file
that is installed, and a habit is written per firmware version as seen in the installed package.

    python3 -m tarnwick.machines packages [all | ARCH/FIRMWARE ...]
    python3 -m tarnwick.machines names ARCH/FIRMWARE ...
    python3 -m tarnwick.machines unpacked
    python3 -m tarnwick.machines linux
    python3 -m tarnwick.machines tests

print the Debian packages that booting those machines takes, their full names (either half may be
left out), the packages of the boot programs that the tests unpack, the Linux roots the tests
unpack (Debian's architecture, then the packages, a line each), and the end-to-end tests of each
machine, one "KIND ARCH/FIRMWARE" a line.

    python3 -m tarnwick.machines medium ARCH/FIRMWARE MEDIUM

checks that the machine boots from that medium, or ends with the reason it does not."""
import glob
import os
import re
import subprocess
import sys

# The QEMU of each architecture and the Debian package that has it; "a|b", the first that the
# release has (Debian 14 moves RISC-V out of qemu-system-misc).
QEMU = {
    "x64": ("qemu-system-x86_64", "qemu-system-x86"),
    "ia32": ("qemu-system-i386", "qemu-system-x86"),
    "aa64": ("qemu-system-aarch64", "qemu-system-arm"),
    "arm": ("qemu-system-arm", "qemu-system-arm"),
    "riscv64": ("qemu-system-riscv64", "qemu-system-riscv|qemu-system-misc"),
    "loongarch64": ("qemu-system-loongarch64", "qemu-system-misc"),
}
# OVMF's Secure Boot builds keep their variables where only code in SMM reaches them.
SMM = ["-machine", "smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"]
# What a serial terminal sends for a key, by QEMU's name for the key; a character, and Ctrl with a
# letter, stand for themselves.
TERMINAL = {"ret": b"\r", "backspace": b"\x7f", "tab": b"\t", "esc": b"\x1b", "up": b"\x1b[A", "down": b"\x1b[B",
            "right": b"\x1b[C", "left": b"\x1b[D", "home": b"\x1b[H", "end": b"\x1b[F", "f1": b"\x1bOP",
            "f2": b"\x1bOQ"}
# The serial terminal of EDK2 turns these keys' sequences into keys: OVMF's by the version they were
# seen on, that of the ARM and LoongArch builds in both; any other sequence reaches an application
# as Esc followed by its characters. It waits about two seconds for the rest of a sequence after
# an Esc.
CURSOR_KEYS = ["up", "down", "right", "left"]
EDK2_TERMINAL_KEYS = [("2022.11", CURSOR_KEYS + ["home", "end"]), ("2025.02", CURSOR_KEYS + ["f1", "f2"])]
VIRT_TERMINAL_KEYS = CURSOR_KEYS + ["home", "f1", "f2"]
# EDK2 2025.02 starts its network stack only with a source of random numbers (Debian 13's
# NEWS.Debian for ovmf); a random number device costs older builds nothing.
# From 2026.08 on it fails a boot entry of the URL alone (`Uri()`) with "Not Found": HTTP Boot is
# then its own entry for the network card, which it tries after PXE over IPv4 and IPv6.
EDK2 = {"returned": "BdsDxe: loading Boot", "failed": ["BdsDxe: failed to start"], "shell": True,
        "terminal_keys": EDK2_TERMINAL_KEYS, "nic": "virtio-net-pci", "network": ["-device", "virtio-rng-pci"],
        "uri_entry": [("2022.11", True), ("2026.08", False)]}
# U-Boot's boot script prints "EFI LOAD FAILED: continuing..." after any application returns, and
# its standard boot "Boot failed (err=-14)"; "## Application failed" only follows a failure.
# U-Boot's serial console waits only 10 ms of its own time for the rest of a sequence after an Esc:
# on a busy machine QEMU may hand it the rest later, and the monitor then takes the Esc and leaves,
# so no sequence is typed at it (its keyboards hand over whole sequences).
# U-Boot 2025.01 warns, between any two characters, when a periodic task of its own (the video
# console's, where there is a screen) took too long, as it does now and then on a busy machine
# under TCG: a person sees it, a test's terminal leaves it out. The x64 build names the function
# first, right-aligned in 20 columns. Its EHCI driver's word of a lost key (below) is left out
# too. Each is how the line starts, and the whole line.
# After a crash U-Boot dumps the registers and stops with "### ERROR ### Please RESET the board
# ###": a person resets the machine, once. The x64 build's SPL of 2025.01 does so now and then on
# a busy machine, before it has loaded U-Boot itself: QEMU's log (-d int) shows it take the timer's
# interrupt (vector 0x20) and return to address 0x58, an invalid opcode (2 of 120 boots with three
# QEMUs and two busy loops on two processors; none of 120 for 2023.01 on QEMU 7.2).
# U-Boot's EHCI driver waits 1 s of its own time for each report of the keyboard it polls; when QEMU,
# under TCG on a busy machine, falls that far behind, it says U_BOOT_EHCI_LOST and returns without
# taking the transfer it gave up on out of the schedule (ehci-hcd.c of 2025.01), so the keyboard's
# next report goes there and no further: a key pressed then is lost, as a person sees, who presses
# it again. Its xHCI driver (the other machines') waits 5 s and takes back a transfer it gives up on.
U_BOOT_EHCI_LOST = "Timeout poll on interrupt endpoint"
U_BOOT_NOISE = [(b"cyclic", rb"(?: {10}cyclic_run\(\) )?cyclic function \S+ took too long: \d+us vs \d+us max\r*\n"),
                (U_BOOT_EHCI_LOST.encode(), re.escape(U_BOOT_EHCI_LOST.encode()) + rb"\r*\n")]
U_BOOT = {"returned": "\n=> ", "failed": ["## Application failed"], "nic": "virtio-net-pci", "terminal_keys": [],
          "hung": "### ERROR ### Please RESET the board ###",
          "noise": U_BOOT_NOISE}
# From U-Boot 2025.01 on, standard boot starts the removable-media file through the EFI boot
# manager first and again when it scans the disk, so the monitor comes back once after bye.
U_BOOT_STARTS_TWICE = [("2023.01", 1), ("2025.01", 2)]

# Debian 13's EDK2 for 32-bit ARM and LoongArch 64 offers PXE but no UEFI HTTP Boot; Debian 14's
# for LoongArch 64 (2026.08) has it again.
NOT_FROM_2025_02 = [("2022.11", True), ("2025.02", False)]

# The screen and keyboards of a person at the machine rather than at its serial line. A screen is
# the display device QEMU adds, the character cell of the firmware's font (None for a font whose
# characters differ in width), the columns and rows of text it centres on the screen where it
# does not fill it, and the colour it draws light grey with. A keyboard is the devices
# that attach it, alone: a USB keyboard's row turns the PS/2 port off. Either is the reason instead
# where the firmware draws no screen or reads no such keyboard.
ERASERS = ["backspace", "delete", "ctrl-h"]
XHCI = ["-device", "qemu-xhci", "-device", "usb-kbd"]
EDK2_SCREEN = {"cell": (8, 19), "text": (80, 25), "grey": [152, 152, 152]}
PC_KEYBOARDS = {"ps2": {"devices": [], "erasers": ERASERS},
                "usb": {"devices": ["-machine", "i8042=off", *XHCI], "erasers": ERASERS}}
USB_KEYBOARD = {"usb": {"devices": XHCI, "erasers": ERASERS}}
# U-Boot's PS/2 keyboard layer hands over no key for Delete (nor Home, End, Insert, Page Up and
# Down, F11 and F12), and Tab for Ctrl-H: its table of Ctrl characters is one place off from G on.
# Its USB keyboard driver hands over every key. 2023.01 reads only the PS/2 keyboard of x86 (stdin
# is serial,i8042-kbd) and draws no screen: its 64-bit x86 build cannot run the VGA option ROM and
# the others have no display driver. 2025.01 drives a Bochs display and reads a USB keyboard (on
# EHCI on x86) everywhere, and draws with a TrueType font on x86, whose characters differ in width.
U_BOOT_PS2 = {"devices": [], "erasers": ["backspace"]}
U_BOOT_2023 = "U-Boot 2023.01 drives no screen and reads no keyboard on this machine"
U_BOOT_SCREEN = [("2023.01", U_BOOT_2023),
                 ("2025.01", {"device": ["-device", "bochs-display"], "cell": (8, 16), "grey": [192, 192, 192]})]
U_BOOT_KEYBOARDS = [("2023.01", U_BOOT_2023), ("2025.01", USB_KEYBOARD)]
U_BOOT_PC_SCREEN = [("2023.01", "U-Boot 2023.01 for 64-bit x86 cannot run the VGA option ROM: it draws no screen"),
                    ("2025.01", {"device": ["-vga", "std"], "cell": None})]
U_BOOT_PC_USB = {"devices": ["-machine", "i8042=off", "-device", "usb-ehci", "-device", "usb-kbd"], "erasers": ERASERS,
                 "lost": U_BOOT_EHCI_LOST}
U_BOOT_PC_KEYBOARDS = [("2023.01", {"ps2": U_BOOT_PS2}), ("2025.01", {"ps2": U_BOOT_PS2, "usb": U_BOOT_PC_USB})]

# The media a person boots a machine from: per medium, the QEMU devices that attach a drive as it,
# its controller once (with the id its devices name) and the devices of a drive, the last taking
# the drive ("{n}": the drive's number, from 0); a CD-ROM's drive holds the ISO image, any other the
# disk image, or the ISO written to it. A machine lists the media its firmware boots from, its own
# disk first, which the other tests boot from, and those it does not, each with the reason as
# measured instead, by firmware version where it differs.
SATA = {"devices": ["ide-hd,bus=ide.{n}"]}  # q35's AHCI ports, and pc's IDE buses
IDE_CD = {"devices": ["ide-cd,bus=ide.{n}"], "cd": True}
VIRTIO_PCI = {"devices": ["virtio-blk-pci"]}
VIRTIO_MMIO = {"devices": ["virtio-blk-device"]}
NVME = {"devices": ["nvme,serial=tarnwick{n}"]}
VIRTIO_SCSI = ["-device", "virtio-scsi-pci,id=scsi"]
SCSI = {"controller": VIRTIO_SCSI, "devices": ["scsi-hd,bus=scsi.0"]}
SCSI_CD = {"controller": VIRTIO_SCSI, "devices": ["scsi-cd,bus=scsi.0"], "cd": True}
USB_XHCI = {"controller": ["-device", "qemu-xhci,id=sticks"], "devices": ["usb-storage,bus=sticks.0"]}
USB_EHCI = {"controller": ["-device", "usb-ehci,id=sticks"], "devices": ["usb-storage,bus=sticks.0"]}
USB_UAS = {"controller": ["-device", "qemu-xhci,id=sticks"], "devices": ["usb-uas,bus=sticks.0,id=uas{n}",
                                                                         "scsi-hd,bus=uas{n}.0"]}
# EDK2 of every build boots from all of these but a USB Attached SCSI stick (usb-uas), for which it
# makes no boot entry; its virt machines' CD-ROM is on virtio-scsi.
EDK2_UAS = "EDK2 has no USB Attached SCSI driver: the stick gets no boot entry"
EDK2_PC_MEDIA = {"sata": SATA, "virtio": VIRTIO_PCI, "nvme": NVME, "scsi": SCSI, "usb-xhci": USB_XHCI,
                 "usb-ehci": USB_EHCI, "usb-uas": EDK2_UAS, "cdrom": IDE_CD}
EDK2_VIRT_MEDIA = {"virtio": VIRTIO_MMIO, "nvme": NVME, "scsi": SCSI, "usb-xhci": USB_XHCI, "usb-ehci": USB_EHCI,
                   "usb-uas": EDK2_UAS, "cdrom": SCSI_CD}
# U-Boot's QEMU builds have no virtio-scsi driver (their SCSI is AHCI's), nor one for USB Attached
# SCSI, and read no ISO 9660 CD-ROM. 2023.01 drives EHCI only; 2025.01 xHCI as well but on x86. A
# drive NVMe alone (2023.01 of x64 leaves it out of its boot targets; RISC-V 64 has no driver for it
# before 2025.01). Where 2025.01's EFI boot manager starts the removable-media file before the disk
# scan does it again, it sees no NVMe drive, which standard boot then starts once.
U_BOOT_NO_SCSI = "its build has no virtio-scsi driver (its SCSI is AHCI's)"
U_BOOT_NO_UAS = "it has no USB Attached SCSI driver"
U_BOOT_NO_XHCI = [("2023.01", "its build has no xHCI driver (\"No working controllers found\")"),
                  ("2025.01", USB_XHCI)]
U_BOOT_PC_MEDIA = {"ide": SATA, "virtio": VIRTIO_PCI,
                   "nvme": [("2023.01", "NVMe is not among its boot targets (usb0 scsi0 virtio0 ide0 dhcp)"),
                            ("2025.01", NVME)],
                   "scsi": U_BOOT_NO_SCSI, "usb-ehci": USB_EHCI,
                   "usb-xhci": "its x86 build has no xHCI driver (\"No USB controllers found\")",
                   "usb-uas": U_BOOT_NO_UAS,
                   "cdrom": "its IDE driver reads no CD-ROM (\"No partition table - ide 0\")"}
U_BOOT_ARM_MEDIA = {"virtio": VIRTIO_MMIO, "nvme": dict(NVME, starts=1), "scsi": U_BOOT_NO_SCSI,
                    "usb-xhci": U_BOOT_NO_XHCI, "usb-ehci": USB_EHCI, "usb-uas": U_BOOT_NO_UAS,
                    "cdrom": "its build has no virtio-scsi driver, the CD-ROM's"}
U_BOOT_RISCV_NO_USB = [("2023.01", "its build has no USB support (no usb command)"),
                       ("2025.01", "its build drives no USB host controller on PCI (\"No USB controllers found\")")]
U_BOOT_RISCV_MEDIA = dict(U_BOOT_ARM_MEDIA, nvme=[("2023.01", "its build has no NVMe driver"), ("2025.01", NVME)],
                          **{"usb-xhci": U_BOOT_RISCV_NO_USB, "usb-ehci": U_BOOT_RISCV_NO_USB})

# RISC-V firmware runs in supervisor mode on OpenSBI, Debian's own build of it (QEMU's copy is gone
# from Debian 14's qemu-system-data).
OPENSBI = "/usr/lib/riscv64-linux-gnu/opensbi/generic/fw_dynamic.bin"

# "code" lists the firmware files to take, each with the QEMU options it needs: the first that is
# installed. "packages" starts with the firmware's own, whose version tells its habits.
MACHINES = {
    "x64/edk2": dict(EDK2, name="OVMF", qemu=["-machine", "q35", "-m", "256M"],
                     code=[("/usr/share/OVMF/OVMF_CODE_4M.fd", [])], vars="/usr/share/OVMF/OVMF_VARS_4M.fd",
                     media=EDK2_PC_MEDIA, packages=["ovmf"], screen=dict(EDK2_SCREEN, device=["-vga", "std"]),
                     shell=[("2022.11", True), ("2026.08", "/usr/share/efi-shell-x64/shellx64.efi")],
                     keyboards=PC_KEYBOARDS, linux=("amd64", "ttyS0", "virtio")),
    # Debian 13 adds a build with the UEFI Shell and without Secure Boot; Debian 12's only build
    # has Secure Boot and the Shell.
    "ia32/edk2": dict(EDK2, name="OVMF IA32", qemu=["-machine", "q35", "-m", "256M"],
                      screen=dict(EDK2_SCREEN, device=["-vga", "std"]), keyboards=PC_KEYBOARDS,
                      code=[("/usr/share/OVMF/OVMF32_CODE_4M.fd", []),
                            ("/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd", SMM)],
                      vars="/usr/share/OVMF/OVMF32_VARS_4M.fd", media=EDK2_PC_MEDIA, packages=["ovmf-ia32"]),
    # AAVMF_CODE.fd is only a compatibility name for the build without Secure Boot in Debian 13.
    "aa64/edk2": dict(EDK2, name="AArch64 EDK2", qemu=["-machine", "virt", "-cpu", "cortex-a57", "-m", "256M"],
                      code=[("/usr/share/AAVMF/AAVMF_CODE.no-secboot.fd", []), ("/usr/share/AAVMF/AAVMF_CODE.fd", [])],
                      vars="/usr/share/AAVMF/AAVMF_VARS.fd", media=EDK2_VIRT_MEDIA, packages=["qemu-efi-aarch64"],
                      shell=[("2022.11", True), ("2026.08", "/usr/share/efi-shell-aa64/shellaa64.efi")],
                      screen=dict(EDK2_SCREEN, device=["-device", "ramfb"]), keyboards=USB_KEYBOARD,
                      terminal_keys=VIRT_TERMINAL_KEYS, linux=("arm64", "ttyAMA0", "virtio")),
    "arm/edk2": dict(EDK2, name="ARM EDK2", qemu=["-machine", "virt", "-cpu", "cortex-a15", "-m", "256M"],
                     code=[("/usr/share/AAVMF/AAVMF32_CODE.fd", [])], vars="/usr/share/AAVMF/AAVMF32_VARS.fd",
                     media=EDK2_VIRT_MEDIA, packages=["qemu-efi-arm"], http_boot=NOT_FROM_2025_02,
                     screen=dict(EDK2_SCREEN, device=["-device", "ramfb"]), keyboards=USB_KEYBOARD,
                     terminal_keys=VIRT_TERMINAL_KEYS),
    # Its firmware has no built-in UEFI Shell; Debian's is a package of its own.
    "loongarch64/edk2": dict(EDK2, name="LoongArch EDK2", qemu=["-machine", "virt", "-m", "1G"],
                             code=[("/usr/share/qemu-efi-loongarch64/QEMU_EFI.fd", [])],
                             vars="/usr/share/qemu-efi-loongarch64/QEMU_VARS.fd",
                             media=dict(EDK2_VIRT_MEDIA, virtio=VIRTIO_PCI),
                             packages=["qemu-efi-loongarch64", "efi-shell-loongarch64"],
                             shell="/usr/share/efi-shell-loongarch64/shellloongarch64.efi",
                             http_boot=[*NOT_FROM_2025_02, ("2026.08", True)],
                             screen=dict(EDK2_SCREEN, device=["-device", "ramfb"]), keyboards=USB_KEYBOARD,
                             terminal_keys=VIRT_TERMINAL_KEYS),
    # Without ACPI, as on the boards it runs on, EDK2 for RISC-V describes the machine by its device
    # tree. The UEFI Shell the tests start is Debian's, as a person puts it on a disk (the firmware
    # has one built in too). The build logs nothing: its boot manager is seen back by its setup menu.
    # Debian 13's offers PXE but no UEFI HTTP Boot (its entry falls through to the Shell); Debian
    # 14's (2026.08) has it. On a busy machine (four QEMUs on two processors), Debian 14's build
    # sometimes stops after its countdown line, its timer still ticking, and says nothing more
    # (about one boot in twenty, from any disk; none of 36 for 2025.02); reset, it boots.
    "riscv64/edk2": dict(EDK2, name="RISC-V 64 EDK2", qemu=["-machine", "virt,acpi=off", "-m", "1G"], bios=OPENSBI,
                         returned="Select Language", http_boot=[("2025.02", False), ("2026.08", True)],
                         stalls=("Press ESCAPE within", 20),
                         code=[("/usr/share/qemu-efi-riscv64/RISCV_VIRT_CODE.fd", [])],
                         vars="/usr/share/qemu-efi-riscv64/RISCV_VIRT_VARS.fd", media=EDK2_VIRT_MEDIA,
                         packages=["qemu-efi-riscv64", "opensbi", "efi-shell-riscv64"],
                         shell="/usr/share/efi-shell-riscv64/shellriscv64.efi",
                         screen=dict(EDK2_SCREEN, device=["-device", "ramfb"]), keyboards=USB_KEYBOARD,
                         terminal_keys=VIRT_TERMINAL_KEYS),
    "x64/u-boot": dict(U_BOOT, name="U-Boot", qemu=["-machine", "pc", "-m", "256M"],
                       bios="/usr/lib/u-boot/qemu-x86_64/u-boot.rom", media=U_BOOT_PC_MEDIA, packages=["u-boot-qemu"],
                       nic="e1000", screen=U_BOOT_PC_SCREEN, keyboards=U_BOOT_PC_KEYBOARDS),
    "aa64/u-boot": dict(U_BOOT, name="U-Boot", qemu=["-machine", "virt", "-cpu", "cortex-a57", "-m", "256M"],
                        bios="/usr/lib/u-boot/qemu_arm64/u-boot.bin", media=U_BOOT_ARM_MEDIA,
                        packages=["u-boot-qemu"], starts=U_BOOT_STARTS_TWICE, screen=U_BOOT_SCREEN,
                        keyboards=U_BOOT_KEYBOARDS),
    "arm/u-boot": dict(U_BOOT, name="U-Boot", qemu=["-machine", "virt", "-cpu", "cortex-a15", "-m", "256M"],
                       bios="/usr/lib/u-boot/qemu_arm/u-boot.bin", media=U_BOOT_ARM_MEDIA, packages=["u-boot-qemu"],
                       starts=U_BOOT_STARTS_TWICE, screen=U_BOOT_SCREEN, keyboards=U_BOOT_KEYBOARDS),
    "riscv64/u-boot": dict(U_BOOT, name="U-Boot on OpenSBI", qemu=["-machine", "virt", "-m", "512M"], bios=OPENSBI,
                           kernel="/usr/lib/u-boot/qemu-riscv64_smode/u-boot.bin", media=U_BOOT_RISCV_MEDIA,
                           packages=["u-boot-qemu", "opensbi"], starts=U_BOOT_STARTS_TWICE,
                           screen=U_BOOT_SCREEN, keyboards=U_BOOT_KEYBOARDS),
}
DEFAULT = "x64/edk2"
# What the tests of every machine take beside, where the release has it: ukify makes the kernel
# image of the installer's row (Debian 12 has none; llvm-objcopy does it there); from EDK2 2026.08 on
# (Debian 14) OVMF and AArch64 EDK2 have no UEFI Shell built in, and Debian's is a package.
WHERE_AVAILABLE = ["systemd-ukify", "efi-shell-x64", "efi-shell-aa64"]
for _name, _row in MACHINES.items():
    _row["arch"], _row["firmware"] = _name.split("/")


# Boot programs the tests start, by package, unpacked rather than installed, since installed they
# would set about this machine's own boot: Debian's signed shim, its MOK manager and GRUB for x64,
# and iPXE (whose package adds itself to GRUB's menu), which Debian 13 keeps in /usr/lib/ipxe and
# Debian 12 in /boot. The paths a program may have (shell patterns), the first found being taken.
UNPACKED = {"shim": ("shim-signed", ["usr/lib/shim/shimx64.efi.signed"]),
            "mok_manager": ("shim-helpers-amd64-signed", ["usr/lib/shim/mmx64.efi.signed"]),
            "grub": ("grub-efi-amd64-signed", ["usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed"]),
            "ipxe": ("ipxe", ["usr/lib/ipxe/ipxe-amd64.efi", "boot/ipxe.efi"])}

# The Linux that the installer's rows boot on the machines that have a `linux` fact: Debian's
# architecture, the serial console the kernel writes to and the medium it finds as /dev/vda.
# Its root is these packages of that architecture and all they depend on, unpacked: the release's
# current kernel, busybox, Debian's /bin/sh and the tools tarnwick-install calls, and systemd's
# stub, which makes the kernel, its initramfs and command line one EFI application.
LINUX_PACKAGES = ["linux-image-{arch}", "busybox-static", "dash", "efibootmgr", "util-linux", "coreutils",
                  "systemd-boot-efi"]


def unpacked(folder, program):
    """Where in `folder`, where the packages were unpacked, `program` of UNPACKED is."""
    paths = [path for pattern in UNPACKED[program][1] for path in sorted(glob.glob(os.path.join(folder, pattern)))]
    return paths[-1] if paths else os.path.join(folder, UNPACKED[program][1][0])


def secure_boot(vars_template, name):
    """OVMF x64 with Secure Boot on and the keys of `vars_template` enrolled."""
    return dict(MACHINES[DEFAULT], name=name, code=[("/usr/share/OVMF/OVMF_CODE_4M.secboot.fd", SMM)],
                vars=vars_template, shell=False)


def installed_version(package):
    return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True).stdout


def by_version(rows, package):
    """The value that `rows`, (version, value) pairs from the oldest, give the installed version of
    `package`: that of the newest version not newer than it, else the oldest's."""
    return of_version(rows, installed_version(package))


def of_version(rows, seen):
    """The value that `rows` give the version `seen`, as `by_version`."""
    chosen = rows[0][1]
    for version, value in rows:
        if subprocess.run(["dpkg", "--compare-versions", version, "le", seen]).returncode == 0:
            chosen = value
    return chosen


def fact(row, key, default=None):
    """The machine's `key`; where it is written per version, (version, value) pairs, that of the
    firmware installed."""
    value = row.get(key, default)
    versioned = isinstance(value, list) and value and isinstance(value[0], tuple)
    return by_version(value, row["packages"][0]) if versioned else value


def media(row):
    """The machine's media, by name, own disk first: how QEMU attaches each, or why the firmware
    does not boot from it, for the firmware installed."""
    return {name: fact({name: value, "packages": row["packages"]}, name) for name, value in row["media"].items()}


def medium(row, name=None, cd=False):
    """The medium `name` of the machine, by its name or the start of it ("usb" for the first USB
    medium the firmware boots from); without one, its own disk, or its CD-ROM for an ISO image. A
    medium the firmware does not boot from, or that the machine does not have, ends the program with
    the reason."""
    every = media(row)
    readable = {key: value for key, value in every.items() if isinstance(value, dict)}
    if name is None and cd:
        name = next((key for key, value in readable.items() if value.get("cd")), "cdrom")
    name = name or next(iter(readable))
    found = name if name in every else next((key for key in [*readable, *every] if key.startswith(name + "-")), None)
    if found in readable:
        return readable[found]
    name_of = f"{row['arch']}/{row['firmware']}"
    boots = f"it boots from {', '.join(readable)}"
    if found is None:
        sys.exit(f"tarnwick: {name_of} has no medium {name}; {boots}")
    sys.exit(f"tarnwick: {name_of} does not boot from {found}: {every[found]}; {boots}")


def starts(row, attached=None):
    """How many times the firmware starts the monitor before bye brings its own console back, from
    the medium `attached` where that differs."""
    return (attached or {}).get("starts", fact(row, "starts", 1))


def http_boot(row):
    """Whether the firmware has UEFI HTTP Boot: EDK2 has, but for the builds that say otherwise."""
    return fact(row, "http_boot", row["firmware"] == "edk2")


def keyboards(row):
    """The keyboards the firmware reads, by name, or why it reads none."""
    return fact(row, "keyboards", f"{row['name']} reads no keyboard but its serial line")


def first_keyboard(row):
    """The keyboard a window on a desktop types on, and a picture is typed on: the machine's first."""
    return next(iter(keyboards(row)))


def screen(row):
    """The screen the firmware draws, or why it draws none."""
    return fact(row, "screen", f"{row['name']} draws no screen")


def firmware(row):
    """The QEMU options that load the machine's firmware, from the files installed; None when they
    are not."""
    options = []
    if "code" in row:
        found = next(((code, extra) for code, extra in row["code"] if os.path.exists(code)), None)
        if found is None:
            return None
        options += [*found[1], "-drive", f"if=pflash,format=raw,readonly=on,file={found[0]}"]
    for option in ("bios", "kernel"):
        if option in row:
            if not os.path.exists(row[option]):
                return None
            options += [f"-{option}", row[option]]
    return options


def missing(row):
    """Why the machine cannot boot here, or None when it can."""
    if firmware(row) is None:
        return (f"{row['arch']}/{row['firmware']}: its firmware is not installed (Debian package {row['packages'][0]}, "
                "which this release may not have)")
    return None


def machine(name):
    """The machine ARCH/FIRMWARE; leave out either half for the first machine of the table that has
    the other, or both for the default."""
    arch, _, firmware_name = name.partition("/")
    for row in MACHINES.values():
        if (arch or firmware_name) and arch in ("", row["arch"]) and firmware_name in ("", row["firmware"]):
            return row
    if not (arch or firmware_name):
        return MACHINES[DEFAULT]
    asked = " and ".join(f"{what}={value}" for what, value in (("ARCH", arch), ("FIRMWARE", firmware_name)) if value)
    sys.exit(f"tarnwick: no machine has {asked}; the machines are {', '.join(MACHINES)}")


def selected(condition=lambda row: True):
    """The machines a test runs on: the one TARNWICK_MACHINE names, else every one that fits."""
    chosen = os.environ.get("TARNWICK_MACHINE")
    return [name for name, row in MACHINES.items() if condition(row) and chosen in (None, name)]


def packages(names):
    rows = [machine(name) for name in names]
    return sorted({package for row in rows for package in [QEMU[row["arch"]][1], *row["packages"]]})


if __name__ == "__main__":
    if sys.argv[1:2] == ["packages"]:
        every = sys.argv[2:] in ([], ["all"])
        print(" ".join(packages(list(MACHINES) if every else sys.argv[2:]) + (WHERE_AVAILABLE if every else [])))
    elif sys.argv[1:2] == ["names"]:
        print(" ".join(f"{machine(name)['arch']}/{machine(name)['firmware']}" for name in sys.argv[2:]))
    elif sys.argv[1:2] == ["medium"] and len(sys.argv) == 4:
        medium(machine(sys.argv[2]), sys.argv[3])
    elif sys.argv[1:] == ["unpacked"]:
        print(" ".join(package for package, _ in UNPACKED.values()))
    elif sys.argv[1:] == ["linux"]:
        for arch in sorted({row["linux"][0] for row in MACHINES.values() if "linux" in row}):
            print(arch, *(package.format(arch=arch) for package in LINUX_PACKAGES))
    elif sys.argv[1:] == ["tests"]:
        for name, row in MACHINES.items():
            print(f"dialogue {name}" + (f"\nshell {name}" if row.get("shell") else "") + f"\nboot_paths {name}"
                  + f"\nmedia {name}" + (f"\ninstaller {name}" if "linux" in row else ""))
    else:
        sys.exit(__doc__)
