# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Makes a GPT disk image with one EFI system partition (FAT32) that holds a folder's files, or an
ISO image for CD drives and servers' virtual media whose El Torito EFI boot image (FAT) holds them,
and which is also a disk with that image as its EFI system partition:

    python3 -m tarnwick.disk DISK_IMAGE ESP_FOLDER
    python3 -m tarnwick.disk --iso ISO_IMAGE ESP_FOLDER

No loop devices and no mounts: mtools writes into the file system image directly."""
import os
import subprocess
import sys
import tempfile

MIB = 1 << 20
ESP_MIB = 38  # enough clusters for FAT32, and more room where the files take it
BOOT_IMAGE_KIB = 1440  # the El Torito boot image: a floppy's size, as firmware expects it


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def fat_image(path, folder, kib, *format_options):
    run("mkfs.fat", *format_options, "-n", "TARNWICK", "-C", path, str(kib))
    for entry in sorted(os.listdir(folder)):
        run("mcopy", "-s", "-i", path, os.path.join(folder, entry), "::/")


def make_iso(iso, folder):
    """The El Torito EFI boot image is also the second partition of the image's MBR, of type 0xEF,
    as in Debian's installer images: written to a stick, the image is a disk with an EFI system
    partition, for firmware that reads no El Torito off a disk. The ISO 9660 file system starts 16
    blocks in, where the first partition says it does, leaving room for the table."""
    with tempfile.TemporaryDirectory() as work:
        boot_image, tree = os.path.join(work, "efiboot.img"), os.path.join(work, "tree")
        fat_image(boot_image, folder, BOOT_IMAGE_KIB, "-F", "12")
        os.mkdir(tree)
        if os.path.exists(iso):
            os.remove(iso)
        run("xorriso", "-as", "mkisofs", "-quiet", "-V", "TARNWICK", "-r", "-J", "-o", iso,
            "-append_partition", "2", "0xef", boot_image, "-e", "--interval:appended_partition_2:all::",
            "-no-emul-boot", "-partition_offset", "16", tree)


def make_disk(disk, folder):
    files = sum(os.path.getsize(os.path.join(path, name)) for path, _, names in os.walk(folder) for name in names)
    mib = max(ESP_MIB, 2 * files // MIB + 2)  # the FAT and its clusters' slack
    with tempfile.TemporaryDirectory() as work:
        esp = os.path.join(work, "esp.img")
        fat_image(esp, folder, mib * 1024, "-F", "32", "-s", "1")
        if os.path.exists(disk):
            os.remove(disk)
        with open(disk, "wb") as f:
            f.truncate((mib + 2) * MIB)  # room for both GPT headers and tables
        first, last = MIB // 512, (mib + 1) * MIB // 512 - 1
        run("sgdisk", "--clear", f"--new=1:{first}:{last}", "--typecode=1:ef00",
            "--change-name=1:EFI system partition", disk)
        with open(esp, "rb") as source, open(disk, "r+b") as target:
            target.seek(MIB)
            target.write(source.read())


if __name__ == "__main__":
    if sys.argv[1:2] == ["--iso"] and len(sys.argv) == 4:
        make_iso(*sys.argv[2:])
    elif len(sys.argv) == 3:
        make_disk(*sys.argv[1:])
    else:
        sys.exit(__doc__)
