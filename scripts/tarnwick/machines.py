# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The machines Tarnwick boots on under QEMU: per machine (an architecture on a firmware) how QEMU
starts it, the Debian packages that bring its firmware, and what that firmware does around the
monitor. Firmware files and habits differ between Debian releases: a machine takes the firmware file
that is installed, and a habit is written per firmware version as seen in the installed package.

    python3 -m tarnwick.machines packages [all | ARCH/FIRMWARE ...]
    python3 -m tarnwick.machines names ARCH/FIRMWARE ...
    python3 -m tarnwick.machines unpacked
    python3 -m tarnwick.machines roots [BOARD ...]
    python3 -m tarnwick.machines tests

print the Debian packages that booting those machines takes, their full names (either half may be
left out), the packages of the boot programs that the tests unpack, the folders of packages of
other architectures the tests unpack, the Linux roots and the boards' U-Boot (the folder, Debian's
architecture, then the packages, a line each; for the boards named, theirs), and the end-to-end
tests of each machine and board, one "KIND NAME" a line.

    python3 -m tarnwick.machines medium ARCH/FIRMWARE MEDIUM
    python3 -m tarnwick.machines board BOARD

check that the machine boots from that medium, or end with the reason it does not, and that the
board is one of the table's, or end with a line that lists them."""
import glob
import os
import re
import subprocess
import sys

from . import BUILD

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
# Where a firmware may stop on a busy machine ("stalls"): the pattern its last words match then, and
# the seconds of silence after them that show it has. EDK2 for AArch64 (2022.11, 2025.02) and ARM
# (2022.11) sometimes stops once it has set up its serial terminal, whose screen it clears, from
# any disk: the processor idles in a wait, its timer still interrupting it, and writes nothing more
# (with three QEMUs and a Debian root being made on two processors: AArch64 about 1 boot in 40, ARM
# 1 of 16). Reset, it boots. OVMF x64 of 2026.08, which writes the clear's row and column in three
# digits, was seen to do so once, on QEMU's instruction-counting clock.
EDK2_STALLS = (r"\x1b\[2J\x1b\[0*1;0*1H", 20)
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
# And when it starts the EHCI controller's schedule it waits 100 ms of its own time for the
# controller to say so; a QEMU that falls that far behind fails the keyboard's first request ("EHCI
# fail timeout STS_ASS set"), and U-Boot starts without it, saying U_BOOT_EHCI_UNTAKEN (2025.01 on
# QEMU 11.1: 1 boot of 18 with three QEMUs on two processors, 5 of 39 with two busy loops beside
# them). A person resets the machine, once.
U_BOOT_EHCI_UNTAKEN = "USB device not accepting new address"
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
# U-Boot's EHCI keyboard, its habits above; and once, in a CI leg on Debian 12 (2023.01, the Orange
# Pi Zero, a busy machine), it did not see one of two Caps Locks pressed, whose reports QEMU's keyboard
# had handed over, and said nothing: the letters after it came in the other case (not seen again in
# 120 runs of the row's keys with three QEMUs at once beside a busy loop, nor in 150 of Caps Lock
# twice and a letter). A person presses Caps Lock again and types the letter again.
U_BOOT_EHCI_KEYBOARD = {"erasers": ERASERS, "lost": U_BOOT_EHCI_LOST, "untaken": U_BOOT_EHCI_UNTAKEN,
                        "unseen_caps": True}
U_BOOT_PC_USB = dict(U_BOOT_EHCI_KEYBOARD,
                     devices=["-machine", "i8042=off", "-device", "usb-ehci", "-device", "usb-kbd"])
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
    "x64/edk2": dict(EDK2, name="OVMF", qemu=["-machine", "q35", "-m", "256M"], stalls=EDK2_STALLS,
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
                      stalls=EDK2_STALLS,
                      code=[("/usr/share/AAVMF/AAVMF_CODE.no-secboot.fd", []), ("/usr/share/AAVMF/AAVMF_CODE.fd", [])],
                      vars="/usr/share/AAVMF/AAVMF_VARS.fd", media=EDK2_VIRT_MEDIA, packages=["qemu-efi-aarch64"],
                      shell=[("2022.11", True), ("2026.08", "/usr/share/efi-shell-aa64/shellaa64.efi")],
                      screen=dict(EDK2_SCREEN, device=["-device", "ramfb"]), keyboards=USB_KEYBOARD,
                      terminal_keys=VIRT_TERMINAL_KEYS, linux=("arm64", "ttyAMA0", "virtio")),
    "arm/edk2": dict(EDK2, name="ARM EDK2", qemu=["-machine", "virt", "-cpu", "cortex-a15", "-m", "256M"],
                     stalls=EDK2_STALLS,
                     code=[("/usr/share/AAVMF/AAVMF32_CODE.fd", [])], vars="/usr/share/AAVMF/AAVMF32_VARS.fd",
                     media=EDK2_VIRT_MEDIA, packages=["qemu-efi-arm"], http_boot=NOT_FROM_2025_02,
                     screen=dict(EDK2_SCREEN, device=["-device", "ramfb"]), keyboards=USB_KEYBOARD,
                     terminal_keys=VIRT_TERMINAL_KEYS),
    # Its firmware has no built-in UEFI Shell; Debian's is a package of its own. The firmware writes
    # its progress codes; the PCI bus's V02010000 comes right before the wait before it boots, in
    # which Debian 13's (2025.02) sometimes stops on a busy machine: its processor goes round a loop
    # of short delays that read its counter, its timer still interrupting it, and writes nothing
    # more (from the network, three QEMUs and two busy loops on two processors: 6 boots of 315;
    # none of 90 for Debian 14's 2026.08).
    "loongarch64/edk2": dict(EDK2, name="LoongArch EDK2", qemu=["-machine", "virt", "-m", "1G"],
                             stalls=(r"PROGRESS CODE: V02010000 I0", 20),
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
                         stalls=(r"Press ESCAPE within \d+ seconds for boot options", 20),
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
# Real boards, each on QEMU's model of it and named by Debian's build of U-Boot for it, which comes
# from Debian's package of the board's architecture ("board"), unpacked, never installed. A board
# boots from the SD card `make image BOARD=` writes: a partition table whose last partition (of the
# board's "card_type" in an MBR) is the EFI system partition, and where the board's boot ROM reads
# U-Boot off the card, the build's files ("card") at the KiB it reads them from, each in a GPT
# partition of the type and KiB given where it finds them by their partition. Where QEMU's model has
# no boot ROM, QEMU loads U-Boot in its stead ("loaded", by QEMU's version): as the kernel, the
# firmware, a uImage at an address, or the file from an offset on, at an address, the processor
# started at another. "dtb" is the device tree the Pi's firmware would hand over, from Debian's
# kernel of that architecture; "serial" the serial ports before the console's; "needs" QEMU's model,
# which older QEMU lacks; "unbootable" why a build does not start on QEMU's model, by its version,
# and "qemu_unbootable" by QEMU's; "adds" what a person puts on the card that Debian's archive of
# main alone does not have. After bye the boards' boot script says "EFI LOAD FAILED: continuing..."
# and goes on to the network; in 2025.01 the EFI boot manager has started the removable-media file
# once before it.
SD_CARD = {"interface": "sd"}
BOARD = dict({key: value for key, value in U_BOOT.items() if key != "nic"},
             returned="EFI LOAD FAILED: continuing...",
             starts=U_BOOT_STARTS_TWICE, media={"sd": SD_CARD}, card_type="ef", firmware="u-boot")
# The Pi's U-Boot draws its console on the whole framebuffer (640x480), scrolling it by 10 rows at
# once, and reads a USB keyboard and stick on its DWC2 controller. QEMU's H3 has no display; its
# U-Boot reads a keyboard on one EHCI controller, which one by the board's device tree (usb-bus.N,
# N the controller at 0x1C1A000 + N * 0x1000); a stick there too, which it boots after the card that
# U-Boot itself is on.
PI_KEYBOARD = {"usb": {"devices": ["-device", "usb-kbd"], "erasers": ERASERS}}


def h3_keyboard(bus):
    return {"usb": dict(U_BOOT_EHCI_KEYBOARD, devices=["-device", f"usb-kbd,bus=usb-bus.{bus}"])}


RPI_4_USB = "U-Boot drives no USB controller of QEMU's Pi 4 (\"No USB controllers found\")"
H3_NO_PORT = "its U-Boot 2025.01 reads no USB keyboard: \"Bus usb@1c1b000: Port not available.\""
H3_STICK = "U-Boot is on the card, whose EFI system partition it boots before a stick"
# The Pi's builds of 2025.01 say nothing without a device tree, and boot by standard boot alone: it
# starts the removable-media file from its EFI boot manager, then from the card, and says "Boot
# failed (err=-14)" after each (as of every program it started that returned with success), then
# scans the other devices and prompts "U-Boot> ".
PI_3_TREE, PI_2_TREE = "broadcom/bcm2837-rpi-3-b.dtb", "bcm2836-rpi-2-b.dtb"
PI_2_STOPS = ("its U-Boot 2025.01 stops at \"Loading Environment from FAT... ### ERROR ### Please RESET the "
              "board ###\" on QEMU's Pi 2, whatever the card holds (a blank one too)")
PI = dict(BOARD, board="u-boot-rpi", card_type="0c", loaded=[("0", ("kernel", "u-boot.bin"))],
          returned=[("2023.01", "EFI LOAD FAILED: continuing..."), ("2025.01", "U-Boot> ")],
          screen={"device": [], "cell": (8, 16), "grey": [192, 192, 192], "scroll": 10}, keyboards=PI_KEYBOARD,
          media={"sd": SD_CARD, "usb-dwc2": {"devices": ["usb-storage"]}},
          adds="the Pi's own boot files (bootcode.bin, start.elf, fixup.dat and its device trees) from Debian's "
               "raspi-firmware package (non-free-firmware) in the card's first partition")
PI_3 = dict(PI, name="Raspberry Pi 3 B", soc="BCM2837", arch="aa64", qemu=["-machine", "raspi3b"], needs="raspi3b",
            serial=1, boot_file="kernel8.img", dtb=[("2023.01", None), ("2025.01", PI_3_TREE)])
SUNXI = dict(BOARD, board="u-boot-sunxi", arch="arm", card=[("u-boot-sunxi-with-spl.bin", 8)])
H3 = dict(SUNXI, soc="Allwinner H3", qemu=["-machine", "orangepi-pc"], needs="orangepi-pc")
SIFIVE_SD = [("0", None), ("1:10.0", "QEMU 10.0's SD card in SPI mode refuses U-Boot's SEND_CID: \"spl: mmc init "
                                     "failed with error: -110\""),
             ("1:11.1", "U-Boot's SPL reading U-Boot off the card over QEMU 11.1's SPI stops after \"Trying to boot "
                        "from MMC1\" in three boots of five")]
BOARDS = {
    "rpi_3": PI_3,
    "rpi_arm64": dict(PI_3, dtb=PI_3_TREE),
    "rpi_2": dict(PI, name="Raspberry Pi 2 B", soc="BCM2836", arch="arm", qemu=["-machine", "raspi2b"],
                  needs="raspi2b", loaded=[("0", ("uimage", "u-boot.bin", "0x8000"))], boot_file="kernel7.img",
                  dtb=[("2023.01", None), ("2025.01", PI_2_TREE)],
                  unbootable=[("2023.01", None), ("2025.01", PI_2_STOPS)]),
    "rpi_4": dict(PI, name="Raspberry Pi 4 B", soc="BCM2711", arch="aa64", qemu=["-machine", "raspi4b"],
                  needs="raspi4b", serial=1, dtb="broadcom/bcm2711-rpi-4-b.dtb", boot_file="kernel8.img",
                  keyboards=RPI_4_USB, media={"sd": SD_CARD, "usb-xhci": RPI_4_USB}),
    "nanopi_neo": dict(H3, name="NanoPi NEO", keyboards=h3_keyboard(3), media={"sd": SD_CARD, "usb-ehci": H3_STICK}),
    "orangepi_zero": dict(H3, name="Orange Pi Zero", keyboards=h3_keyboard(1),
                          media={"sd": SD_CARD, "usb-ehci": H3_STICK}),
    # 2025.01 says "Port not available" of both its EHCI ports on QEMU's H3 (10.0 and 11.1).
    "orangepi_plus": dict(H3, name="Orange Pi Plus", keyboards=[("2023.01", h3_keyboard(1)), ("2025.01", H3_NO_PORT)],
                          media={"sd": SD_CARD, "usb-ehci": H3_STICK}),
    "orangepi_pc_plus": dict(H3, name="Orange Pi PC Plus", keyboards=h3_keyboard(1),
                             media={"sd": SD_CARD, "usb-ehci": H3_STICK}),
    "Bananapi_M2_Ultra": dict(SUNXI, name="Banana Pi M2 Ultra", soc="Allwinner R40", qemu=["-machine", "bpim2u"],
                              needs="bpim2u"),
    # QEMU 7.2's A10 has no boot ROM: U-Boot itself, the legacy image at 32 KiB of the SPL's file.
    "Cubieboard": dict(SUNXI, name="Cubieboard", soc="Allwinner A10", qemu=["-machine", "cubieboard"],
                       needs="cubieboard", loaded=[("0", ("raw", "u-boot-sunxi-with-spl.bin", 0x8040, 0x4A000000,
                                                          0x4A000000)), ("1:8.0", None)]),
    # No boot ROM: the image from its IVT on, where the IVT says (at 0x177FF400, started at 0x17800000).
    # Its SD slots are not where U-Boot looks in QEMU's model: the card's files go on a stick.
    "mx6qsabrelite": dict(BOARD, name="i.MX6 SabreLite", soc="NXP i.MX6Q", board="u-boot-imx", arch="arm",
                          qemu=["-machine", "sabrelite", "-m", "1G"], needs="sabrelite", serial=1,
                          card=[("u-boot-dtb.imx", 1)],
                          loaded=[("0", ("raw", "u-boot-dtb.imx", 0, 0x177FF400, 0x17800000))],
                          media={"usb-ehci": {"devices": ["usb-storage,bus=usb-bus.0"]},
                                 "sd": "U-Boot finds no card in the SD slots of QEMU's model"}),
    # QEMU's FU540 boot ROM takes the SPL from QEMU (msel 11: from the L2 memory), which reads U-Boot
    # off the card's GPT partition of its type, as U-Boot's documentation of the board lays it out.
    # QEMU 10.0's SD card in SPI mode answers SEND_CID (CMD10) in its transfer state with an illegal
    # response (its trace says so), where U-Boot's mmc_spi asks for it. 11.1 answers, but its SPI
    # is so slow that the SPL, reading U-Boot's 800 KiB, reached the monitor within 60 s in two of
    # five boots and never in the others (400 s), alone or beside another QEMU.
    "sifive_unleashed": dict(BOARD, name="HiFive Unleashed", soc="SiFive FU540", board="u-boot-sifive", arch="riscv64",
                             qemu=["-machine", "sifive_u,msel=11", "-smp", "5", "-m", "8G"], needs="sifive_u",
                             loaded=[("0", ("bios", "u-boot-spl.bin"))],
                             card=[("u-boot-spl.bin", 17, "5B193300-FC78-40CD-8002-E86C45580B47", 1024),
                                   ("u-boot.itb", 1041, "2E54B353-1271-4842-806F-E436D6AF6985", 4096)],
                             qemu_unbootable=SIFIVE_SD),
}
DEBIAN_ARCH = {"x64": "amd64", "aa64": "arm64", "arm": "armhf", "riscv64": "riscv64"}
# Debian's kernel of the architecture, whose device trees the boards that take one from their loader
# are given.
BOARD_KERNEL = {"arm64": "linux-image-arm64", "armhf": "linux-image-armmp"}
DEFAULT = "x64/edk2"
# What the tests of every machine take beside, where the release has it: ukify makes the kernel
# image of the installer's row (Debian 12 has none; llvm-objcopy does it there); from EDK2 2026.08 on
# (Debian 14) OVMF and AArch64 EDK2 have no UEFI Shell built in, and Debian's is a package.
WHERE_AVAILABLE = ["systemd-ukify", "efi-shell-x64", "efi-shell-aa64"]
for _name, _row in MACHINES.items():
    _row["arch"], _row["firmware"] = _name.split("/")
for _name, _row in BOARDS.items():
    MACHINES[_name] = dict(_row, build=_name, packages=[QEMU[_row["arch"]][1]])


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


def unpacked_versions(folder):
    """The versions of the packages unpacked into `folder` of the unpacked programs, by name."""
    path = os.path.join(BUILD, "unpacked", folder, ".versions")
    with open(path) if os.path.exists(path) else open(os.devnull) as f:
        return dict(line.split() for line in f if line.strip())


def version(row):
    """The version of the machine's firmware: the installed package's, or a board's as unpacked."""
    if "board" in row:
        return unpacked_versions(f"boards-{DEBIAN_ARCH[row['arch']]}").get(row["board"], "")
    return installed_version(row["packages"][0])


def qemu_version(row):
    return next(filter(None, map(installed_version, QEMU[row["arch"]][1].split("|"))), "")


def versioned(value):
    return isinstance(value, list) and value and isinstance(value[0], tuple)


def fact(row, key, default=None):
    """The machine's `key`; where it is written per version, (version, value) pairs, that of the
    firmware installed."""
    value = row.get(key, default)
    return of_version(value, version(row)) if versioned(value) else value


def media(row):
    """The machine's media, by name, own disk first: how QEMU attaches each, or why the firmware
    does not boot from it, for the firmware installed."""
    seen = version(row)
    return {name: of_version(value, seen) if versioned(value) else value for name, value in row["media"].items()}


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


def board_files(row):
    """Where the files of the board's build of U-Boot are, as unpacked."""
    return os.path.join(BUILD, "unpacked", f"boards-{DEBIAN_ARCH[row['arch']]}", "usr/lib/u-boot", row["build"])


def card(row):
    """The card `make image BOARD=` writes for the board, and the folder beside it of what QEMU
    loads in the boot ROM's stead."""
    return os.path.join(BUILD, f"tarnwick-{row['build']}.img"), os.path.join(BUILD, "boards", row["build"])


def disk_image(row):
    """The disk image a person writes for the machine: the board's card, or the one disk for all."""
    return card(row)[0] if "board" in row else os.path.join(BUILD, "tarnwick.img")


def loaded(row):
    """How QEMU of this release loads the board's U-Boot: None where its boot ROM reads the card."""
    return of_version(row["loaded"], qemu_version(row)) if "loaded" in row else None


def board_options(row):
    """The QEMU options that start the board's U-Boot, from what the card's making put beside it."""
    _, made = card(row)
    how = loaded(row)
    loader = os.path.join(made, "u-boot")
    if how is None:
        options = []
    elif how[0] == "raw":
        options = ["-device", f"loader,file={loader},addr={how[3]:#x},force-raw=on",
                   "-device", f"loader,addr={how[4]:#x},cpu-num=0"]
    else:
        options = ["-bios" if how[0] == "bios" else "-kernel", loader]
    return options + (["-dtb", os.path.join(made, "board.dtb")] if fact(row, "dtb") else [])


def firmware(row):
    """The QEMU options that load the machine's firmware, from the files installed; None when they
    are not."""
    if "board" in row:
        return board_options(row) if os.path.isdir(board_files(row)) else None
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


def qemu_machines(arch):
    """The machines this QEMU of the architecture models."""
    listed = subprocess.run([QEMU[arch][0], "-machine", "help"], capture_output=True, text=True).stdout
    return {line.split()[0] for line in listed.splitlines()[1:] if line.strip()}


def missing(row):
    """Why the machine cannot boot here, or None when it can."""
    if "board" in row:
        return board_missing(row)
    if firmware(row) is None:
        return (f"{row['arch']}/{row['firmware']}: its firmware is not installed (Debian package {row['packages'][0]}, "
                "which this release may not have)")
    return None


def board_missing(row):
    """Why the board cannot boot here: its build of U-Boot, QEMU's model of it, or its card missing."""
    package, arch = row["board"], DEBIAN_ARCH[row["arch"]]
    if not os.path.isdir(board_files(row)):
        unpacked = unpacked_versions(f"boards-{arch}").get(package)
        return (f"{row['build']}: Debian's {package} {unpacked} for {arch} has no such build" if unpacked else
                f"{row['build']}: this release has no {package} for {arch}")
    refused = fact(row, "unbootable") or of_version(row.get("qemu_unbootable", [("0", None)]), qemu_version(row))
    if refused:
        return f"{row['build']}: {refused}"
    if row["needs"] not in qemu_machines(row["arch"]):
        return f"{row['build']}: this release's QEMU ({qemu_version(row)}) has no model of the board ({row['needs']})"
    if not os.path.exists(card(row)[0]):
        return f"{row['build']}: its card is not written: make image BOARD={row['build']}"
    return None


def machine(name):
    """The machine ARCH/FIRMWARE, or the board of that build; leave out either half for the first
    machine of the table that has the other, or both for the default."""
    if name in BOARDS:
        return MACHINES[name]
    arch, _, firmware_name = name.partition("/")
    for row in MACHINES.values():
        if (arch or firmware_name) and arch in ("", row["arch"]) and firmware_name in ("", row["firmware"]):
            return row
    if not (arch or firmware_name):
        return MACHINES[DEFAULT]
    asked = " and ".join(f"{what}={value}" for what, value in (("ARCH", arch), ("FIRMWARE", firmware_name)) if value)
    machines = ", ".join(name for name in MACHINES if "/" in name)
    sys.exit(f"tarnwick: no machine has {asked}; the machines are {machines}")


def selected(condition=lambda row: True):
    """The machines a test runs on: the one TARNWICK_MACHINE names, else every one that fits."""
    chosen = os.environ.get("TARNWICK_MACHINE")
    return [name for name, row in MACHINES.items() if condition(row) and chosen in (None, name)]


def roots(boards=()):
    """The folders of packages the tests unpack, each fetched by an apt of its own: its name, Debian's
    architecture and the packages (all they depend on too): a Linux root per architecture whose
    machine boots one, and the boards' U-Boot per architecture of boards, with Debian's kernel where a
    board takes its device tree; for the boards named, only theirs."""
    chosen = [BOARDS[name] for name in boards] or BOARDS.values()
    linux = {row["linux"][0] for row in MACHINES.values() if "linux" in row and not boards}
    listed = [(f"linux-{arch}", arch, [package.format(arch=arch) for package in LINUX_PACKAGES])
              for arch in sorted(linux)]
    for arch in sorted({DEBIAN_ARCH[row["arch"]] for row in chosen}):
        of_arch = [row for row in chosen if DEBIAN_ARCH[row["arch"]] == arch]
        kernel = [BOARD_KERNEL[arch]] if any("dtb" in row for row in of_arch) else []
        listed.append((f"boards-{arch}", arch, sorted({row["board"] for row in of_arch} | set(kernel))))
    return listed


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
    elif sys.argv[1:2] == ["board"] and len(sys.argv) == 3:
        if sys.argv[2] not in BOARDS:
            sys.exit(f"tarnwick: no board {sys.argv[2]}; the boards are {', '.join(BOARDS)}")
    elif sys.argv[1:2] == ["roots"]:
        for folder, arch, names in roots(sys.argv[2:]):
            print(folder, arch, *names)
    elif sys.argv[1:] == ["tests"]:
        for name, row in MACHINES.items():
            kinds = ["dialogue", *(["shell"] if row.get("shell") else []), *([] if "board" in row else ["boot_paths"]),
                     *(["media"] if len(row["media"]) > 1 else []), *(["installer"] if "linux" in row else [])]
            print("\n".join(f"{kind} {name}" for kind in kinds))
    else:
        sys.exit(__doc__)
