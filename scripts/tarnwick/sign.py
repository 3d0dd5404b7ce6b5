# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Signs every image for Secure Boot with sbsign, leaving the images themselves untouched:

    python3 -m tarnwick.sign [KEY CERT]
    python3 -m tarnwick.sign --mok-cert [KEY CERT]
    python3 -m tarnwick.sign --check [KEY CERT]

KEY and CERT may be given as empty words. The first writes BUILD/<image>.signed.efi beside each
image and the EFI system partition folder of the signed copies, BUILD/esp-signed; the second writes
the certificate to enrol as a Machine Owner Key, in DER, to BUILD/tarnwick-mok.der; the third only
checks KEY and CERT. The key is KEY and CERT when given; else this machine's own Machine Owner Key,
which DKMS made to sign kernel modules and which is enrolled on many machines already; else the
test key of Debian's ovmf package, good for QEMU and worthless elsewhere."""
import os
import subprocess
import sys
import tempfile

from . import BUILD, images

DKMS_KEY, DKMS_CERT = "/var/lib/dkms/mok.key", "/var/lib/dkms/mok.pub"
# The test key of Debian's ovmf package, which its *.snakeoil.fd variable stores enrol.
TEST_KEY, TEST_CERT, TEST_PASSPHRASE = ("/usr/share/ovmf/PkKek-1-snakeoil.key", "/usr/share/ovmf/PkKek-1-snakeoil.pem",
                                        "snakeoil")


# What sbsign says of a PE machine it does not know: Debian 12's knows no LoongArch image.
UNKNOWN_MACHINE = "Invalid PE header magic"


def sign(image, signed, key, cert):
    """Signs `image` into `signed` and verifies it; False when this sbsign does not know its machine."""
    signing = subprocess.run(["sbsign", "--key", key, "--cert", cert, "--output", signed, image], capture_output=True,
                             text=True)
    if UNKNOWN_MACHINE in signing.stderr:
        print(f"tarnwick: this release's sbsign cannot sign {os.path.basename(image)}; the signed copies leave it out",
              file=sys.stderr)
        return False
    if signing.returncode:
        sys.exit(f"tarnwick: sbsign could not sign {image}: {(signing.stderr.strip().splitlines() or ['?'])[-1]}")
    subprocess.run(["sbverify", "--cert", cert, signed], check=True, stdout=subprocess.DEVNULL)
    return True


def new_key(folder, name):
    """A fresh key and certificate of one's own, as a person makes them with openssl."""
    key, cert = os.path.join(folder, f"{name}.key"), os.path.join(folder, f"{name}.crt")
    subprocess.run(["openssl", "req", "-new", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
                    "-subj", f"/CN=Tarnwick {name}/", "-keyout", key, "-out", cert], check=True, capture_output=True)
    return key, cert


def ovmf_test_key(folder):
    """Debian's OVMF test key, unlocked into `folder`, and its certificate."""
    key = os.path.join(folder, "test.key")
    subprocess.run(["openssl", "pkey", "-in", TEST_KEY, "-passin", f"pass:{TEST_PASSPHRASE}", "-out", key], check=True)
    return key, TEST_CERT


def check_given(key, cert):
    """Ends with one line when KEY and CERT are given wrong: one without the other, or either not a
    readable file of its kind."""
    given = (("KEY", key, "pkey", "private key in PEM form without a passphrase"),
             ("CERT", cert, "x509", "certificate in PEM form"))
    for name, path, _, _ in given:
        if path and not (os.path.isfile(path) and os.access(path, os.R_OK)):
            sys.exit(f"tarnwick: {name}={path} is not a file you can read")
    if bool(key) != bool(cert):
        sys.exit("tarnwick: give both KEY and CERT, or neither")
    for name, path, kind, what in given:
        if path and subprocess.run(["openssl", kind, "-in", path, "-noout", "-passin", "pass:"],
                                   capture_output=True).returncode:
            sys.exit(f"tarnwick: {name}={path} is not a {what}")


def chosen_key(key, cert, folder):
    """The key and PEM certificate to sign with, as a Linux user expects them picked, and what they are."""
    check_given(key, cert)
    if key:
        return key, cert, f"the given key {key}"
    if os.path.exists(DKMS_KEY):
        if not os.access(DKMS_KEY, os.R_OK):
            sys.exit(f"tarnwick: {DKMS_KEY}, this machine's Machine Owner Key, is for root only: sign as root, "
                     "or give KEY and CERT")
        pem = os.path.join(folder, "mok.pem")
        subprocess.run(["openssl", "x509", "-inform", "DER", "-in", DKMS_CERT, "-out", pem], check=True)
        return DKMS_KEY, pem, f"this machine's Machine Owner Key, made by DKMS ({DKMS_KEY})"
    print("\n*** No KEY and CERT given and no DKMS Machine Owner Key on this machine: signing with the TEST KEY\n"
          "*** of Debian's ovmf package. Anybody has it; no real machine should trust it. Good for QEMU only.\n",
          file=sys.stderr)
    return (*ovmf_test_key(folder), "Debian's OVMF test key")


def sign_all(key, cert, esp):
    """Signs every image of the build's EFI system partition folder into the folder `esp`."""
    boot = os.path.join(esp, "EFI", "BOOT")
    os.makedirs(boot, exist_ok=True)
    for name in sorted(os.listdir(os.path.join(BUILD, "esp", "EFI", "BOOT"))):
        sign(os.path.join(BUILD, "esp", "EFI", "BOOT", name), os.path.join(boot, name), key, cert)


def signed_name(path):
    return path[:-len(".efi")] + ".signed.efi"


def main(argv):
    mode = argv[0] if argv[:1] in (["--mok-cert"], ["--check"]) else None
    given = argv[1:] if mode else argv
    if len(given) not in (0, 2):
        sys.exit(__doc__)
    key, cert = given or ["", ""]
    if mode == "--check":
        return check_given(key, cert)
    with tempfile.TemporaryDirectory() as folder:
        key, cert, what = chosen_key(key, cert, folder)
        if mode == "--mok-cert":
            der = os.path.join(BUILD, "tarnwick-mok.der")
            os.makedirs(BUILD, exist_ok=True)
            subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER", "-out", der], check=True)
            print(f"{der}: the certificate of {what}; enrol it with: sudo mokutil --import {der}")
            return
        sign_all(key, cert, os.path.join(BUILD, "esp-signed"))
        for image in images().values():
            if sign(image, signed_name(image), key, cert):
                print(f"{signed_name(image)}: signed with {what}")


if __name__ == "__main__":
    main(sys.argv[1:])
