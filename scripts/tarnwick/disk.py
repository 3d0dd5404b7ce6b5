"""Makes a GPT disk image with one EFI system partition (FAT32) that holds a folder's files:

    python3 -m tarnwick.disk DISK_IMAGE ESP_FOLDER

No loop devices and no mounts: mtools writes into the file system image directly."""
import os
import subprocess
import sys
import tempfile

MIB = 1 << 20
ESP_MIB = 38  # enough clusters for FAT32


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def make_disk(disk, folder):
    with tempfile.TemporaryDirectory() as work:
        esp = os.path.join(work, "esp.img")
        run("mkfs.fat", "-F", "32", "-s", "1", "-n", "TARNWICK", "-C", esp, str(ESP_MIB * 1024))
        for entry in sorted(os.listdir(folder)):
            run("mcopy", "-s", "-i", esp, os.path.join(folder, entry), "::/")
        if os.path.exists(disk):
            os.remove(disk)
        with open(disk, "wb") as f:
            f.truncate((ESP_MIB + 2) * MIB)  # room for both GPT headers and tables
        first, last = MIB // 512, (ESP_MIB + 1) * MIB // 512 - 1
        run("sgdisk", "--clear", f"--new=1:{first}:{last}", "--typecode=1:ef00",
            "--change-name=1:EFI system partition", disk)
        with open(esp, "rb") as source, open(disk, "r+b") as target:
            target.seek(MIB)
            target.write(source.read())


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    make_disk(*sys.argv[1:])
