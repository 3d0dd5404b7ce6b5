# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Tarnwick started the ways people start firmware tools, one boot of OVMF each: from systemd-boot's
menu on an EFI system partition that tarnwick-install prepared, from GRUB's menu as the package's
hook writes it, and from the ISO image as a CD-ROM. A row says how the medium is made, what to
pick, and what must come back after bye."""
import os
import shutil
import subprocess
import time

import pytest

from tarnwick import BUILD, model
from tarnwick.console import BOOT_SECONDS, Console
from tarnwick.disk import make_disk
from tarnwick.machines import DEFAULT, MACHINES

MACHINE = MACHINES[DEFAULT]

ENTRY = b"Tarnwick firmware monitor"
# The x64 boot loaders of Debian's systemd-boot-efi and grub-efi-amd64-bin, the removable-media loader.
SYSTEMD_BOOT, GRUB_PLATFORM = "/usr/lib/systemd/boot/efi/systemd-bootx64.efi", "x86_64-efi"
BOOT_FILE = "EFI/BOOT/BOOTX64.EFI"
# What grub-mkconfig's own header would set; the rest of the configuration is the hook's.
GRUB_HEADER = "set timeout=30\n"


def installed_esp(work, packaged, sysfs):
    """The EFI system partition as tarnwick-install leaves it; a row adds its boot loader, and the
    partition goes on a GPT disk as on a real machine."""
    esp = work / "esp"
    esp.mkdir()
    packaged.install(esp, "--no-variables", sysfs=sysfs)
    return esp


def systemd_boot(work, packaged, sysfs):
    esp = installed_esp(work, packaged, sysfs)
    (esp / "EFI/BOOT").mkdir()
    shutil.copyfile(SYSTEMD_BOOT, esp / BOOT_FILE)
    (esp / "loader/loader.conf").write_text("timeout 30\n")
    make_disk(str(work / "disk.img"), str(esp))
    return [str(work / "disk.img")]


def grub(work, packaged, sysfs):
    esp = installed_esp(work, packaged, sysfs)
    config = work / "grub.cfg"
    config.write_text(GRUB_HEADER + packaged.run("etc/grub.d/30_tarnwick", sysfs=sysfs, esp=esp).stdout)
    (esp / "EFI/BOOT").mkdir()
    subprocess.run(["grub-mkstandalone", "-O", GRUB_PLATFORM,
                    "--modules=part_gpt fat chain search search_fs_file normal", "-o", str(esp / BOOT_FILE),
                    f"boot/grub/grub.cfg={config}"], check=True)
    make_disk(str(work / "disk.img"), str(esp))
    return [str(work / "disk.img")]


def iso(work, packaged, sysfs):
    return [os.path.join(BUILD, "tarnwick.iso")]


# name, how the medium is made, what the menu shows and what picks Tarnwick there, what comes back
ROWS = [
    ("systemd-boot", systemd_boot, ENTRY, b"\r", ENTRY),
    ("grub", grub, ENTRY, b"\r", ENTRY),
    ("iso", iso, None, None, MACHINE["returned"].encode()),
]


@pytest.mark.parametrize("name,medium,menu,pick,back", ROWS, ids=[row[0] for row in ROWS])
def test_picked_from_the_menu_it_answers_and_bye_returns_to_it(name, medium, menu, pick, back, packaged, efi_sysfs,
                                                               tmp_path):
    console = Console(MACHINE, medium(tmp_path, packaged, efi_sysfs))
    try:
        if menu:
            console.wait_for_transcript(menu, timeout=BOOT_SECONDS)
            console.pump(1)  # the menu reads keys once it is drawn, not while
            console.child.send(pick)
        console.wait_for_prompt(timeout=BOOT_SECONDS)
        print(f"{name}: the first prompt {time.monotonic() - console.started:.1f} s after QEMU started")
        assert console.lines()[:4] == model.greeting()
        console.enter("pwd")
        assert console.rows_above_cursor(2) == ["0 > pwd", "/", "0 >"]
        mark = len(console.transcript)
        console.type(b"bye\r")
        console.wait_for_transcript(back, timeout=BOOT_SECONDS, start=mark)
    finally:
        console.close()
