"""OVMF's Secure Boot build with Secure Boot on and Debian's test key enrolled. In one boot the
firmware first tries a disk with the unsigned image, then the disk image with the signed copies."""
import os

import pytest

from tarnwick import BUILD, model
from tarnwick.console import boot_to_prompt
from tarnwick.disk import make_disk
from tarnwick.platforms import MACHINES
from tarnwick.sign import ovmf_test_key, sign_all

MACHINE = MACHINES["x64/edk2-test-keys"]


@pytest.fixture(scope="module")
def secure_console(tmp_path_factory):
    work = tmp_path_factory.mktemp("secure-boot")
    sign_all(*ovmf_test_key(str(work)), str(work / "esp"))
    make_disk(str(work / "signed.img"), str(work / "esp"))
    console = boot_to_prompt(MACHINE, [os.path.join(BUILD, "esp"), str(work / "signed.img")])
    yield console
    console.close()


def test_firmware_refuses_the_unsigned_image_before_it_shows_anything(secure_console):
    before_signed = bytes(secure_console.transcript).split(b"starting Boot0002")[0]
    # Only an image whose signature the firmware checked and rejected fails with Access Denied;
    # the same unsigned image starts on firmware without Secure Boot.
    assert b'failed to load Boot0001 "UEFI QEMU HARDDISK QM00001 "' in before_signed
    assert b"Access Denied" in before_signed
    assert b"Tarnwick" not in before_signed
    assert secure_console.transcript.count(model.greeting()[0].encode()) == 1


def test_signed_image_boots_and_answers(secure_console):
    assert secure_console.lines()[:4] == model.greeting()
    secure_console.enter("pwd")
    assert secure_console.lines()[3:6] == ["0 > pwd", "/", "0 >"]
