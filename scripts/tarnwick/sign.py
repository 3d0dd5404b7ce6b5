"""Signs every image for Secure Boot with sbsign, leaving the images themselves untouched:

    python3 -m tarnwick.sign [KEY CERT]

writes BUILD/<image>.signed.efi beside each image, and the EFI system partition folder of the
signed copies, BUILD/esp-signed. Without KEY and CERT it signs with the test key that Debian's
ovmf package ships and enrolls in its Secure Boot variable store: good for QEMU, worthless on a
real machine."""
import os
import shutil
import subprocess
import sys
import tempfile

from . import BUILD, build_facts
from .platforms import IMAGES, TABLE


def sign(image, signed, key, cert):
    subprocess.run(["sbsign", "--key", key, "--cert", cert, "--output", signed, image], check=True,
                   stderr=subprocess.DEVNULL)
    subprocess.run(["sbverify", "--cert", cert, signed], check=True, stdout=subprocess.DEVNULL)


def ovmf_test_key(folder):
    """Debian's OVMF test key, unlocked into `folder`, and its certificate."""
    row = TABLE["test_key"]
    key = os.path.join(folder, "test.key")
    subprocess.run(["openssl", "pkey", "-in", row["key"], "-passin", f"pass:{row['passphrase']}", "-out", key],
                   check=True)
    return key, row["cert"]


def signed_name(path):
    return path[:-len(".efi")] + ".signed.efi"


def sign_all(key, cert, esp):
    """Signs every image into the EFI system partition folder `esp`, under its removable-media name."""
    boot = os.path.join(esp, "EFI", "BOOT")
    os.makedirs(boot, exist_ok=True)
    for arch, image in build_facts()["images"].items():
        sign(image["image"], os.path.join(boot, IMAGES[arch]["boot_file"]), key, cert)


def main(argv):
    if len(argv) not in (0, 2):
        sys.exit(__doc__)
    with tempfile.TemporaryDirectory() as folder:
        if argv:
            key, cert = argv
        else:
            print("No KEY and CERT given: signing with Debian's OVMF test key (snakeoil), for testing only.")
            key, cert = ovmf_test_key(folder)
        esp = os.path.join(BUILD, "esp-signed")
        sign_all(key, cert, esp)
    for arch, image in build_facts()["images"].items():
        shutil.copyfile(os.path.join(esp, "EFI", "BOOT", IMAGES[arch]["boot_file"]), signed_name(image["image"]))
        print(f"{signed_name(image['image'])}: signed")
    subject = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-subject"], capture_output=True, text=True)
    print(f"Signed by {subject.stdout.strip()}")


if __name__ == "__main__":
    main(sys.argv[1:])
