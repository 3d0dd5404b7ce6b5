# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Makes a GPT disk image with one EFI system partition (FAT32) that holds a folder's files, or an
ISO image for CD drives and servers' virtual media whose El Torito EFI boot image (FAT) holds them,
and which is also a disk with that image as its EFI system partition:

    python3 -m tarnwick.disk DISK_IMAGE ESP_FOLDER
    python3 -m tarnwick.disk --iso ISO_IMAGE ESP_FOLDER
    python3 -m tarnwick.disk --board BOARD ESP_FOLDER
    python3 -m tarnwick.disk --boards ESP_FOLDER

The last two write the SD card of a board, or of every board whose U-Boot is unpacked: a partition
table with the EFI system partition, the board's U-Boot where its boot ROM reads it, and beside the
card what QEMU loads in the stead of a boot ROM its model lacks. A card is written whole or not at
all: it takes the place of the old one only once it is complete.

No loop devices and no mounts: mtools writes into the file system image directly."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

from . import BUILD, machines

MIB = 1 << 20
ESP_MIB = 38  # enough clusters for FAT32, and more room where the files take it
BOOT_IMAGE_KIB = 1440  # the El Torito boot image: a floppy's size, as firmware expects it
# A card's size is a power of two, as QEMU's SD card takes; its EFI system partition starts at the
# first MiB past what a board's boot ROM reads before it.
CARD_MIB = 64
SECTOR = 512


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def fat_image(path, folder, kib, *format_options, extra=()):
    """A FAT file system image with the folder's files, and `extra` ones, (path, name) pairs."""
    run("mkfs.fat", *format_options, "-n", "TARNWICK", "-C", path, str(kib))
    for entry in sorted(os.listdir(folder)):
        run("mcopy", "-s", "-i", path, os.path.join(folder, entry), "::/")
    for source, name in extra:
        run("mcopy", "-i", path, source, f"::/{name}")


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


def open_read(path):
    with open(path, "rb") as f:
        return f.read()


def make_card(name, folder):
    """The board's card, and what QEMU loads for it. A Pi's card has U-Boot where the Pi's own
    firmware, which a person adds, starts it; the line says what to add."""
    row = machines.MACHINES[name]
    path, made = machines.card(row)
    files = machines.board_files(row)
    with tempfile.TemporaryDirectory() as work:
        extra = []
        if "boot_file" in row:
            config = os.path.join(work, "config.txt")
            with open(config, "w") as f:
                f.write("enable_uart=1\n" + ("arm_64bit=1\n" if row["arch"] == "aa64" else ""))
            extra = [(os.path.join(files, "u-boot.bin"), row["boot_file"]), (config, "config.txt")]
        loaders = [(kib, open_read(os.path.join(files, name)), kind) for name, kib, *kind in row.get("card", [])]
        # A loader the boot ROM finds by its partition's type (a GPT's) has a partition of the size
        # given; one it reads from a fixed place lies before the first partition.
        end = max([MIB] + [kib * 1024 + max(len(data), kind[1] * 1024 if kind else 0) for kib, data, kind in loaders])
        esp_mib = -(-end // MIB)
        table = [f"start={kib * 1024 // SECTOR}, size={kind[1] * 1024 // SECTOR}, type={kind[0]}"
                 for kib, _, kind in loaders if kind]
        esp_size = CARD_MIB - esp_mib - (1 if table else 0)  # a GPT keeps its copy in the last sectors
        esp = os.path.join(work, "esp.img")
        fat_image(esp, folder, esp_size * 1024, "-F", "32", "-s", "1", extra=extra)
        written = path + ".new"
        with open(written, "wb") as f:
            f.truncate(CARD_MIB * MIB)
        # A GPT's first usable sector follows its 32 sectors of entries, where the board's loader starts.
        script = "\n".join([f"label: {'gpt' if table else 'dos'}", *(["first-lba: 34"] if table else []), *table,
                            f"start={esp_mib * MIB // SECTOR}, size={esp_size * MIB // SECTOR}, "
                            + ("type=U" if table else f"type={row['card_type']}, bootable")])
        subprocess.run(["sfdisk", "-q", written], input=script + "\n", text=True, check=True)
        with open(written, "r+b") as target:
            for kib, data, _ in loaders:
                target.seek(kib * 1024)
                target.write(data)
            target.seek(esp_mib * MIB)
            with open(esp, "rb") as source:
                target.write(source.read())
        os.replace(written, path)
    write_loaded(row, files, made)
    return path


def write_loaded(row, files, made):
    """What QEMU loads in the board's boot ROM's stead, and the device tree the Pi's firmware would
    hand over, into `made`."""
    shutil.rmtree(made, ignore_errors=True)
    os.makedirs(made)
    how = machines.loaded(row)
    if how is not None and how[0] == "uimage":
        run("mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "none", "-a", how[2], "-e", how[2],
            "-n", "U-Boot", "-d", os.path.join(files, how[1]), os.path.join(made, "u-boot"))
    elif how is not None:
        with open(os.path.join(files, how[1]), "rb") as source, open(os.path.join(made, "u-boot"), "wb") as target:
            target.write(source.read()[how[2] if how[0] == "raw" else 0:])
    if machines.fact(row, "dtb"):
        trees = sorted(glob.glob(os.path.join(BUILD, "unpacked", f"boards-{machines.DEBIAN_ARCH[row['arch']]}",
                                              "usr/lib/linux-image-*", machines.fact(row, "dtb"))))
        shutil.copyfile(trees[-1], os.path.join(made, "board.dtb"))


def say_card(name):
    row = machines.MACHINES[name]
    print(f"{machines.card(row)[0]}: the SD card of the {row['name']} ({name}); write it with dd"
          + (f"; add {row['adds']}" if "adds" in row else ""))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--iso"] and len(sys.argv) == 4:
        make_iso(*sys.argv[2:])
    elif sys.argv[1:2] == ["--board"] and len(sys.argv) == 4:
        if not os.path.isdir(machines.board_files(machines.MACHINES[sys.argv[2]])):
            sys.exit(f"tarnwick: {machines.board_missing(machines.MACHINES[sys.argv[2]])}")
        make_card(sys.argv[2], sys.argv[3])
        say_card(sys.argv[2])
    elif sys.argv[1:2] == ["--boards"] and len(sys.argv) == 3:
        for board in machines.BOARDS:
            if os.path.isdir(machines.board_files(machines.MACHINES[board])):
                make_card(board, sys.argv[2])
    elif len(sys.argv) == 3:
        make_disk(*sys.argv[1:])
    else:
        sys.exit(__doc__)
