"""OVMF's Secure Boot build with Secure Boot on and Debian's test key enrolled. In one boot the
firmware first tries a disk with the unsigned image, then the disk image with the signed copy."""
import os
import shutil
import subprocess

import pytest

from console import BUILD, BOOT_SECONDS, Console
from words import GREETING

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
SECURE_CODE = "/usr/share/OVMF/OVMF_CODE_4M.secboot.fd"
TEST_KEY_VARS = "/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd"
# The Secure Boot build keeps its variables behind SMM.
SECURE_MACHINE = ["-machine", "smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"]


@pytest.fixture(scope="module")
def secure_console(tmp_path_factory):
    work = tmp_path_factory.mktemp("secure-boot")
    unsigned = work / "unsigned" / "EFI" / "BOOT"
    unsigned.mkdir(parents=True)
    shutil.copy(os.path.join(BUILD, "tarnwick.efi"), unsigned / "BOOTX64.EFI")
    signed, disk = work / "tarnwick.signed.efi", work / "signed.img"
    subprocess.run([os.path.join(ROOT, "scripts", "sign.sh"), os.path.join(BUILD, "tarnwick.efi"), str(signed)],
                   check=True)
    subprocess.run([os.path.join(ROOT, "scripts", "make-disk.sh"), str(disk), str(signed)], check=True)

    console = Console([str(work / "unsigned"), str(disk)], extra=SECURE_MACHINE, code=SECURE_CODE,
                      vars_template=TEST_KEY_VARS)
    try:
        console.wait_for_prompt(timeout=BOOT_SECONDS)
    except BaseException:
        console.close()
        raise
    yield console
    console.close()


def test_firmware_refuses_the_unsigned_image_before_it_shows_anything(secure_console):
    before_signed = bytes(secure_console.transcript).split(b'starting Boot0002')[0]
    # Only an image whose signature the firmware checked and rejected fails with Access Denied;
    # the same unsigned image starts on firmware without Secure Boot.
    assert b'failed to load Boot0001 "UEFI QEMU HARDDISK QM00001 "' in before_signed
    assert b"Access Denied" in before_signed
    assert b"Tarnwick" not in before_signed
    assert secure_console.transcript.count(b"Tarnwick 1.1") == 1


def test_signed_image_boots_and_answers(secure_console):
    assert secure_console.lines()[:4] == GREETING
    secure_console.enter("pwd")
    assert secure_console.lines()[3:6] == ["0 > pwd", "/", "0 >"]
