# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Secure Boot on OVMF, one boot per group of checks.

- The firmware's own database: Secure Boot on with Debian's test key enrolled. The firmware first
  tries a disk with the unsigned images, then a disk with copies signed by that key.
- As Linux machines have it: Microsoft's keys only, with Debian's signed shim, MOK manager and
  GRUB, and a Machine Owner Key of the project's own. In the first boot shim refuses the image,
  the MOK manager enrols the key over the serial console and reboots; shim then refuses a copy
  without its .sbat section and starts the image itself. In the second, with the key enrolled,
  GRUB refuses a copy signed with another key and chainloads the image.
- Revocation, with the key enrolled and shim's revocation level (SbatLevel) raised past the image's
  SBAT generation: shim refuses the image and says why, and starts the image of the next
  generation; under GRUB, the entry of the revoked generation fails and its fallback, the next
  generation, starts.
"""
import os
import re
import shutil
import struct
import subprocess

import pefile
import pytest

from tarnwick import BUILD, images, model, varstore
from tarnwick.console import BOOT_SECONDS, Console, boot_to_prompt
from tarnwick.disk import make_disk
from tarnwick.machines import UNPACKED, of_version, secure_boot, unpacked
from tarnwick.sign import new_key, ovmf_test_key, sign, sign_all

ENTER, DOWN = b"\r", b"\x1b[B"  # a cursor key arrives decoded only in one write
REFUSED = b"Verification failed: (0x1A) Security Violation"
# GRUB says "bad shim signature", from 2.14 on "bad shim loader signature".
GRUB_REFUSED = b"bad shim"
# After an entry that failed GRUB waits for a key, 10 s by its own clock, before its fallback. It
# measures that clock against the ACPI timer over 1 ms when it starts, so a QEMU held up then on a
# busy machine makes the 10 s last minutes (seen in CI; a QEMU stopped 5 ms in every 6 while GRUB
# started: 55 s). A person presses a key: Tab, which the monitor ignores should it come after GRUB
# has gone on. The pause GRUB then makes before the fallback entry, 2.5 s by the same clock, no key
# cuts short: a fallback silent for 20 s is such a clock, and a person resets the machine, once.
GRUB_WAITS, ANY_KEY = b"Press any key to continue...", b"\t"
GRUB_FALLBACK_STALLS = ("Falling back to .*", 20)
# Debian signs shim for x64: the removable-media loader, GRUB as its second stage, the MOK manager.
BOOT, SECOND_STAGE, MOK_MANAGER = "EFI/BOOT/BOOTX64.EFI", "EFI/BOOT/grubx64.efi", "EFI/BOOT/mmx64.efi"
PIECES = {piece: unpacked(os.path.join(BUILD, "unpacked"), piece) for piece in UNPACKED}
# OVMF with Secure Boot on: with Debian's test key in its database, and with Microsoft's keys alone.
TEST_KEY_DB = secure_boot("/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd", "OVMF with Debian's test key enrolled")
MICROSOFT = secure_boot("/usr/share/OVMF/OVMF_VARS_4M.ms.fd", "OVMF with Microsoft's keys")
GENERATION = int(os.environ["TARNWICK_SBAT_GENERATION"])


@pytest.fixture(scope="module")
def db_console(tmp_path_factory):
    work = tmp_path_factory.mktemp("db")
    sign_all(*ovmf_test_key(str(work)), str(work / "esp"))
    make_disk(str(work / "signed.img"), str(work / "esp"))
    console = boot_to_prompt(TEST_KEY_DB, [os.path.join(BUILD, "esp"), str(work / "signed.img")])
    yield console
    console.close()


def test_firmware_refuses_the_unsigned_image_before_it_shows_anything(db_console):
    # The first entry the firmware starts is the signed disk's; the entries' numbers differ between
    # firmware versions, the disks' names do not.
    before_signed = bytes(db_console.transcript).split(b"BdsDxe: starting Boot")[0]
    # Only an image whose signature the firmware checked and rejected fails with Access Denied;
    # the same unsigned image starts on firmware without Secure Boot.
    assert re.search(rb'failed to load Boot[0-9A-F]{4} "UEFI QEMU HARDDISK QM00001 "', before_signed)
    assert b"Access Denied" in before_signed
    assert b"Tarnwick" not in before_signed
    assert db_console.transcript.count(model.greeting()[0].encode()) == 1


def test_signed_image_boots_and_answers(db_console):
    assert db_console.lines()[:4] == model.greeting()
    db_console.enter("pwd")
    assert db_console.lines()[3:6] == ["0 > pwd", "/", "0 >"]


def shim_disk(disk, files):
    """A disk image whose EFI system partition holds shim as the removable-media loader with its MOK
    manager beside it, and `files` (name in the partition: source)."""
    folder = disk + ".esp"
    os.makedirs(os.path.join(folder, "EFI", "BOOT"))
    for name, source in {BOOT: PIECES["shim"], MOK_MANAGER: PIECES["mok_manager"], **files}.items():
        shutil.copyfile(source, os.path.join(folder, name))
    make_disk(disk, folder)
    return disk


@pytest.fixture(scope="module")
def mok(tmp_path_factory):
    """The project's Machine Owner Key and the images the checks start under shim."""
    work = str(tmp_path_factory.mktemp("mok"))
    key, cert = new_key(work, "MOK")
    subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER", "-out", os.path.join(work, "tarnwick.der")],
                   check=True)
    image, without_sbat = images()["x64"], os.path.join(BUILD, "variants", "without-sbat.efi")
    next_generation = os.path.join(BUILD, "variants", "next-generation.efi")
    assert b".sbat" not in [s.Name.rstrip(b"\0") for s in pefile.PE(without_sbat).sections]
    for name, source, signer in [("signed.efi", image, (key, cert)), ("without-sbat.signed.efi", without_sbat,
                                 (key, cert)), ("other-key.signed.efi", image, new_key(work, "other key")),
                                 ("next-generation.signed.efi", next_generation, (key, cert))]:
        sign(source, os.path.join(work, name), *signer)
    return work


@pytest.fixture(scope="module")
def shim_console(mok):
    """The first boot: the copy without .sbat on the first disk, the image on the second."""
    der = os.path.join(mok, "tarnwick.der")
    first = shim_disk(os.path.join(mok, "first.img"), {SECOND_STAGE: os.path.join(mok, "without-sbat.signed.efi"),
                                                       "tarnwick.der": der})
    second = shim_disk(os.path.join(mok, "second.img"), {SECOND_STAGE: os.path.join(mok, "signed.efi"),
                                                         "tarnwick.der": der})
    console = Console(MICROSOFT, [first, second])
    yield console
    console.close()


def press(console, keys, then, timeout=20):
    """Sends each key as its own write once the text before it has appeared, then waits for `then`."""
    mark = len(console.transcript)
    for key in keys:
        console.child.send(key)
        console.pump(0.3)
    console.wait_for_transcript(then, timeout=timeout, start=mark)


def test_mok_manager_enrols_the_key_after_shim_refuses_the_image(shim_console):
    console = shim_console
    console.wait_for_transcript(REFUSED, timeout=BOOT_SECONDS)
    assert b"Tarnwick" not in console.transcript
    press(console, [ENTER], b"any key to perform MOK management")
    press(console, [ENTER], b"Enroll key from disk")
    press(console, [DOWN, ENTER], b"Select Key")
    press(console, [ENTER], b"tarnwick.der")
    press(console, [DOWN, ENTER], b"View key 0")
    press(console, [DOWN, ENTER], b"Enroll the key(s)?")
    press(console, [DOWN, ENTER], b"Reboot")
    press(console, [ENTER], b"BdsDxe: loading Boot", timeout=BOOT_SECONDS)


def test_after_the_reboot_shim_refuses_the_copy_without_sbat(shim_console):
    mark = len(shim_console.transcript)
    shim_console.wait_for_transcript(REFUSED, timeout=BOOT_SECONDS, start=mark)
    # It offers the MOK manager once more, then tries again and gives up: the firmware moves on.
    press(shim_console, [ENTER], b"any key to perform MOK management")
    press(shim_console, [ENTER], b"Continue boot")
    press(shim_console, [ENTER], REFUSED)
    press(shim_console, [ENTER], b"failed to start Boot")
    assert b"start_image() returned Security Policy Violation" in shim_console.transcript[mark:]


def test_shim_starts_the_image_signed_by_the_enrolled_key(shim_console):
    shim_console.wait_for_prompt(timeout=BOOT_SECONDS)
    shim_console.enter("pwd")
    assert shim_console.rows_above_cursor(2) == ["0 > pwd", "/", "0 >"]


# Each entry finds its file as the package's GRUB hook does: GRUB 2.12 leaves $cmdpath empty inside
# a menu entry, where GRUB 2.06 had it.
ENTRY = """menuentry "{title}" --hotkey={key} {{
  search --no-floppy --file --set=root /EFI/BOOT/{file}
  chainloader /EFI/BOOT/{file}
}}
"""


def grub_console(mok, vars_template, work, header, entries, machine=MICROSOFT):
    """A boot of `machine` with Debian's signed GRUB as shim's second stage, whose configuration is
    `header` and a menu entry for each (title, hotkey, signed image in `mok`)."""
    config = header + "".join(ENTRY.format(title=title, key=key, file=image) for title, key, image in entries)
    (work / "grub.cfg").write_text(config)
    files = {SECOND_STAGE: PIECES["grub"], "EFI/BOOT/grub.cfg": str(work / "grub.cfg"),
             **{f"EFI/BOOT/{image}": os.path.join(mok, image) for _, _, image in entries}}
    return Console(machine, [shim_disk(str(work / "grub.img"), files)], vars_template=vars_template)


@pytest.fixture(scope="module")
def grub_menu(mok, shim_console, tmp_path_factory):
    """The second boot, with the key enrolled: GRUB's menu waits for a choice."""
    console = grub_console(mok, shim_console.vars_path, tmp_path_factory.mktemp("grub"), "set timeout=-1\n",
                           [("Tarnwick firmware monitor", "t", "signed.efi"),
                            ("Tarnwick signed with another key", "o", "other-key.signed.efi")])
    console.wait_for_transcript(b"Tarnwick signed with another key", timeout=BOOT_SECONDS)
    yield console
    console.close()


def test_grub_refuses_an_image_signed_with_another_key(grub_menu):
    press(grub_menu, [b"o"], GRUB_REFUSED)
    press(grub_menu, [ENTER], b"Tarnwick firmware monitor")
    assert b"Tarnwick 1.1" not in grub_menu.transcript


# What GRUB under shim shows once a chainloaded image returns, by the version its menu shows: its
# menu again, and from 2.14 on an abort on memory the firmware has freed ("unaligned pointer
# 0xafafafafafafafaf": EDK2 fills freed memory with 0xAF), as it does when the UEFI Shell exits.
AFTER_RETURN = [("2.06", b"Tarnwick firmware monitor"), ("2.14", b"Aborted. Press any key to exit.")]


def test_grub_chainloads_the_image_and_bye_returns_to_grub(grub_menu):
    grub = re.search(rb"GNU GRUB +version (\S+)", grub_menu.transcript).group(1).decode()
    mark = len(grub_menu.transcript)
    grub_menu.child.send(b"t")
    grub_menu.wait_for_prompt(start=mark)
    assert grub_menu.lines()[:4] == model.greeting()
    press(grub_menu, [b"bye\r"], of_version(AFTER_RETURN, grub))


def section(path, name):
    """A section of a PE file by its name, which may be one of the long names kept in the COFF string
    table (`/N`, as shim's are)."""
    pe = pefile.PE(path)
    data = bytes(pe.__data__)
    strings = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
    for candidate in pe.sections:
        short = candidate.Name.rstrip(b"\0")
        at = strings + int(short[1:]) if short.startswith(b"/") else None
        if (data[at:data.index(b"\0", at)] if at else short) == name:
            return candidate.get_data()[:candidate.Misc_VirtualSize]
    raise AssertionError(f"{path} has no {name} section")


def revocation_level(shim, generation):
    """The newest revocation level built into `shim` (its .sbatlevel section: a version, then where
    the previous and the latest level start, counted from after the version), one datestamp later,
    since shim keeps a level only when it is newer than its own, and revoking tarnwick below
    `generation`."""
    levels = section(shim, b".sbatlevel")
    latest = 4 + struct.unpack_from("<I", levels, 8)[0]
    first, *components = levels[latest:levels.index(b"\0", latest)].decode().splitlines()
    version, datestamp = first.rsplit(",", 1)
    return "\n".join([f"{version},{int(datestamp) + 1}", *components, f"tarnwick,{generation}"]) + "\n"


def revoked(shim_console, folder, verbose):
    """The variable store with the key enrolled and the image's generation revoked; shim says why
    when `verbose`, in some thousand lines of its reasoning."""
    path = str(folder / "vars.fd")
    shutil.copyfile(shim_console.vars_path, path)
    varstore.shim_settings(path, revocation_level(PIECES["shim"], GENERATION + 1), verbose=verbose)
    return path


@pytest.fixture(scope="module")
def revoked_vars(shim_console, tmp_path_factory):
    return revoked(shim_console, tmp_path_factory.mktemp("revoked"), verbose=True)


@pytest.fixture(scope="module")
def revoked_console(mok, revoked_vars):
    """Shim with the image of the revoked generation on the first disk, the next one on the second."""
    disks = [shim_disk(os.path.join(mok, f"{name}.img"), {SECOND_STAGE: os.path.join(mok, image)})
             for name, image in (("revoked", "signed.efi"), ("next", "next-generation.signed.efi"))]
    console = Console(MICROSOFT, disks, vars_template=revoked_vars)
    yield console
    console.close()


def test_shim_refuses_a_revoked_generation_and_says_why(revoked_console):
    # A revoked image does not get the MOK manager offered: shim tries twice, and the firmware moves on.
    # Shim's reasons run to some thousand lines at the serial line, twice.
    revoked_console.wait_for_transcript(b"failed to start Boot", timeout=2 * BOOT_SECONDS)
    said = bytes(revoked_console.transcript)
    assert f"component tarnwick, generation {GENERATION}, was revoked by SbatLevel variable".encode() in said
    assert b"Failed to load image: Security Policy Violation" in said
    assert model.greeting()[0].encode() not in said


def test_shim_starts_the_next_generation(revoked_console):
    revoked_console.wait_for_prompt(timeout=BOOT_SECONDS)
    revoked_console.enter("pwd")
    assert revoked_console.rows_above_cursor(2) == ["0 > pwd", "/", "0 >"]


def test_grub_falls_back_from_a_revoked_generation_to_the_next(mok, shim_console, tmp_path_factory):
    work = tmp_path_factory.mktemp("fallback")
    console = grub_console(mok, revoked(shim_console, work, verbose=False), work,
                           "set timeout=0\nset default=0\nset fallback=1\n",
                           [("Revoked generation", "r", "signed.efi"),
                            ("Next generation", "n", "next-generation.signed.efi")],
                           machine=dict(MICROSOFT, stalls=GRUB_FALLBACK_STALLS))
    try:
        console.wait_for_transcript(GRUB_WAITS, timeout=BOOT_SECONDS)
        console.child.send(ANY_KEY)
        console.wait_for_prompt(timeout=BOOT_SECONDS)
        assert GRUB_REFUSED in console.transcript
        assert console.lines()[:4] == model.greeting()
    finally:
        console.close()
