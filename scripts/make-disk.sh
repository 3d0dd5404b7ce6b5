#!/bin/sh
# Makes a GPT disk image with one EFI system partition (FAT32) that holds the given EFI
# application as \EFI\BOOT\BOOTX64.EFI, the loader firmware starts from a removable disk.
# No loop devices and no mounts: mtools writes into the file system image directly.
#   make-disk.sh DISK_IMAGE EFI_APPLICATION
set -eu
disk=$1
application=$2

MIB=2048                       # 512-byte sectors in a MiB
first=$MIB                     # the partition starts at 1 MiB
size_mib=38                    # enough clusters for FAT32
last=$((first + size_mib * MIB - 1))
disk_mib=$((size_mib + 2))     # room for both GPT headers and tables

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rm -f "$disk"
truncate -s "${disk_mib}M" "$disk"
sgdisk --clear --new="1:$first:$last" --typecode=1:ef00 --change-name="1:EFI system partition" "$disk" >/dev/null

mkfs.fat -F 32 -s 1 -n TARNWICK -C "$work/esp.img" $((size_mib * 1024)) >/dev/null
mmd -i "$work/esp.img" ::/EFI ::/EFI/BOOT
mcopy -i "$work/esp.img" "$application" ::/EFI/BOOT/BOOTX64.EFI
dd if="$work/esp.img" of="$disk" bs=1M seek=1 conv=notrunc,sparse status=none
