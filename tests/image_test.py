# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The built images, read with pefile: the form firmware loads and nothing it does not need, within
their size and stack budgets; and the faults that form must not hide, built into variants."""
import csv
import glob
import json
import os
import re
import struct
import subprocess

import pefile
import pytest
from elftools.elf.elffile import ELFFile

from tarnwick import BUILD, ROOT, images
from tarnwick import sign as signing
from tarnwick.sign import ovmf_test_key, sign, signed_name
from tarnwick.stack import deepest_stack

IMAGES = images()
SIZE_BUDGET, STACK_BUDGET = 3584, 512
CONTEXT_POINTERS = 4  # the firmware context: system table, boot services, ConOut, ConIn
ABSENT_DIRECTORIES = ["EXPORT", "IMPORT", "EXCEPTION", "SECURITY", "DEBUG", "TLS", "DELAY_IMPORT", "BASERELOC"]
# The SBAT format's own record, then Tarnwick's with the generation, version and address of the build.
SBAT_RECORDS = [["sbat", "1", "SBAT Version", "sbat", "1", "https://github.com/rhboot/shim/blob/main/SBAT.md"],
                ["tarnwick", os.environ["TARNWICK_SBAT_GENERATION"], "Tarnwick", "tarnwick",
                 os.environ["TARNWICK_VERSION"], os.environ["TARNWICK_URL"]]]


def section_name(section):
    return section.Name.rstrip(b"\0").decode()


def symbol(linked, name):
    with open(linked, "rb") as f:
        return ELFFile(f).get_section_by_name(".symtab").get_symbol_by_name(name)[0]["st_value"]


def sbat_records(pe):
    """The records of the .sbat section, read as the CSV of lines it must be; None without one."""
    for section in pe.sections:
        if section_name(section) == ".sbat":
            text = section.get_data()[:section.Misc_VirtualSize].rstrip(b"\0").decode("ascii")
            return list(csv.reader(text.splitlines())) if text.endswith("\n") else text
    return None


def image_faults(path, linked, budget=SIZE_BUDGET):
    """Everything about the image that firmware would not load as it should, or that does not belong."""
    pe = pefile.PE(path)
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    word = 8 if optional.Magic == 0x20B else 4
    directories = {d.name[len("IMAGE_DIRECTORY_ENTRY_"):]: d for d in optional.DATA_DIRECTORY}
    base = symbol(linked, "__image_base")
    faults = []

    def expect(condition, fault):
        if not condition:
            faults.append(fault)

    expect(optional.Subsystem == 10, f"subsystem {optional.Subsystem} is not an EFI application")
    expect(optional.AddressOfEntryPoint == symbol(linked, "monitor_entry") - base,
           "the entry point is not monitor_entry")
    expect(optional.ImageBase == base, f"base {optional.ImageBase:#x}")
    expect((optional.SectionAlignment, optional.FileAlignment) == (0x1000, 0x200), "alignments")
    expect(optional.SizeOfHeaders == 0x200, f"headers take {optional.SizeOfHeaders} bytes")
    expect(optional.IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "not flagged NX_COMPAT")
    expect(not header.IMAGE_FILE_RELOCS_STRIPPED, "claims relocations were stripped")
    for name in ABSENT_DIRECTORIES:
        expect(directories[name].Size == 0, f"has a {name.lower()} directory")
    for section in pe.sections:
        name = section_name(section)
        expect(not (section.IMAGE_SCN_MEM_WRITE and section.IMAGE_SCN_MEM_EXECUTE),
               f"{name} is writable and executable")
        expect(not name.startswith((".pdata", ".xdata", ".debug")), f"has {name}")
        expect(section.SizeOfRawData or not section.IMAGE_SCN_CNT_INITIALIZED_DATA,
               f"{name} is flagged as initialized data but has none in the file")
    expect(sbat_records(pe) == SBAT_RECORDS, f"SBAT records {sbat_records(pe)}")
    writable = [s for s in pe.sections if s.IMAGE_SCN_MEM_WRITE]
    size = sum(s.Misc_VirtualSize for s in writable)
    expect(size == CONTEXT_POINTERS * word, f"writable data is {size} bytes, not the firmware context's")
    expect(not any(any(s.get_data()) for s in writable), "writable data is not zero-filled")
    expect(budget is None or len(pe.__data__) <= budget, f"{len(pe.__data__)} bytes is over the budget of {budget}")
    return faults


def linked(arch):
    return os.path.join(BUILD, f"image-{arch}", "linked.elf")


@pytest.mark.parametrize("arch", IMAGES)
def test_image_has_the_form_firmware_loads(arch):
    assert image_faults(IMAGES[arch], linked(arch)) == []
    print(f"{arch}: {os.path.getsize(IMAGES[arch])} bytes")


def told_images():
    """The table of images of docs/building.md: per name, its form, removable-media name and size,
    and the sizes a clang whose code differs makes ("3,072 bytes (3,584 by clang 21)")."""
    with open(os.path.join(ROOT, "docs", "building.md")) as f:
        rows = [line.split("|")[1:-1] for line in f if line.startswith("| `tarnwick")]

    def number(text):
        return int(text.replace(",", ""))

    def by_clang(size):
        return {int(clang): number(other) for other, clang in re.findall(r"([\d,]+) by clang (\d+)", size)}

    return {name.strip(" `"): (form.strip(), media.strip(" `"), number(size.split()[0]), by_clang(size))
            for name, _, form, media, size in rows}


def clang_version(arch):
    """The major version of the clang that made the image, as its link recorded it."""
    with open(os.path.join(BUILD, f"image-{arch}", "linked.ll")) as f:
        return int(re.search(r"clang version (\d+)", f.read()).group(1))


@pytest.mark.parametrize("arch", IMAGES)
def test_the_building_page_tells_the_image_as_it_is_built(arch):
    told = told_images()
    assert sorted(told) == sorted(os.path.basename(path) for path in IMAGES.values())
    form, media, size, by_clang = told[os.path.basename(IMAGES[arch])]
    pe = pefile.PE(IMAGES[arch])
    assert (form, media, by_clang.get(clang_version(arch), size)) == (
        "PE32+" if pe.OPTIONAL_HEADER.Magic == 0x20B else "PE32", f"\\EFI\\BOOT\\BOOT{arch.upper()}.EFI",
        os.path.getsize(IMAGES[arch]))


@pytest.mark.parametrize("arch", IMAGES)
def test_no_address_in_the_image_needs_fixing_up_where_it_is_loaded(arch):
    """The link is position-independent: every absolute address in the code or data would have
    become a dynamic relocation, or the link would have failed. There are none."""
    with open(linked(arch), "rb") as f:
        relocations = [s.name for s in ELFFile(f).iter_sections() if s["sh_type"] in ("SHT_REL", "SHT_RELA")]
    assert relocations == []


@pytest.mark.parametrize("arch", IMAGES)
def test_deepest_stack_stays_within_budget(arch):
    used, chain = deepest_stack(arch)
    assert used <= STACK_BUDGET, f"{used} bytes along {' > '.join(chain)}"


@pytest.mark.parametrize("arch", IMAGES)
def test_signing_adds_a_certificate_table_and_changes_nothing_else(arch, tmp_path):
    signed = signed_name(str(tmp_path / os.path.basename(IMAGES[arch])))
    if not sign(IMAGES[arch], signed, *ovmf_test_key(str(tmp_path))):
        pytest.skip(f"this release's sbsign cannot sign the {arch} image")
    before, after = pefile.PE(IMAGES[arch]), pefile.PE(signed)
    # Only the header checksum and the security directory entry differ; the table comes after.
    optional = before.OPTIONAL_HEADER.get_file_offset()
    security = before.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    allowed = set(range(optional + 64, optional + 68)) | set(range(security.get_file_offset(),
                                                                   security.get_file_offset() + 8))
    old, new = before.__data__, after.__data__
    assert {n for n in range(len(old)) if old[n] != new[n]} <= allowed
    table = after.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    assert (table.VirtualAddress, table.Size) == (len(old), len(new) - len(old))
    assert image_faults(signed, linked(arch), budget=None) == ["has a security directory"]


@pytest.mark.parametrize("given,dkms,picked", [(True, True, "the given key"), (False, True, "Machine Owner Key"),
                                               (False, False, "test key")])
def test_signing_picks_the_key_a_linux_user_expects(given, dkms, picked, tmp_path, monkeypatch):
    """KEY and CERT when given; else the machine's MOK that DKMS made (its certificate in DER);
    else Debian's test key. Each must verify the image it signed."""
    key, pem = signing.new_key(str(tmp_path), "own")
    der = tmp_path / "mok.pub"
    subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER", "-out", der], check=True)
    monkeypatch.setattr(signing, "DKMS_KEY", key if dkms else str(tmp_path / "none"))
    monkeypatch.setattr(signing, "DKMS_CERT", str(der))
    chosen_key, chosen_cert, what = signing.chosen_key(*([key, pem] if given else ["", ""]), str(tmp_path))
    assert picked in what
    sign(IMAGES["x64"], str(tmp_path / "signed.efi"), chosen_key, chosen_cert)


# Faults that must not land unnoticed, each built into a variant of the x64 image by the build, and
# what the check or the link says of it.
FAULTS = {
    "pointer-table": "has a basereloc directory",
    "global": "writable data is",
    "initialised-global": "writable data is",
    "runtime-call": "undefined symbol: memcpy",
}


@pytest.mark.parametrize("fault", FAULTS)
def test_check_catches(fault):
    build = subprocess.run(["cmake", "--build", BUILD, "--target", f"variant-{fault}"], capture_output=True, text=True)
    if build.returncode != 0:
        assert FAULTS[fault] in build.stdout
        return
    variant = os.path.join(BUILD, "variants", fault)
    faults = image_faults(f"{variant}.efi", os.path.join(variant, "linked.elf"))
    assert any(FAULTS[fault] in f for f in faults), faults


SECTOR, CD_SECTOR = 512, 2048
EFI_SYSTEM_PARTITION = 0xEF  # the MBR partition type of an EFI system partition


def el_torito_boot_image(data):
    """Where the El Torito boot image of an ISO image is, as its first 512-byte sector and their
    number: the boot record volume descriptor (2048-byte sector 17) names the boot catalog, whose
    validation entry says the platform (0xEF, EFI) and whose default entry, bootable and without
    emulation, the image's 512-byte sectors and its first 2048-byte sector."""
    record = data[17 * CD_SECTOR:18 * CD_SECTOR]
    # The boot system identifier, which El Torito's own document fixes, begins "EL TORITO".
    assert record[:7] == b"\0CD001\x01" and record[7:16] == b"EL TORITO"
    catalog = struct.unpack_from("<I", record, 0x47)[0] * CD_SECTOR
    validation, default = data[catalog:catalog + 32], data[catalog + 32:catalog + 64]
    assert (validation[0], validation[1], validation[30:32]) == (1, 0xEF, b"\x55\xaa")
    assert (default[0], default[1]) == (0x88, 0)
    count, start = struct.unpack_from("<HI", default, 6)
    return start * CD_SECTOR // SECTOR, count


def mbr_partitions(data):
    """The MBR's partitions that are in use, as (type, first sector, sectors)."""
    assert data[510:512] == b"\x55\xaa", "no MBR"
    entries = [struct.unpack_from("<4xB3xII", data, 446 + 16 * n) for n in range(4)]
    return [entry for entry in entries if entry[0]]


def test_the_iso_image_is_also_a_disk_whose_efi_system_partition_is_its_boot_image():
    """Written to a stick, the ISO image is a disk with an MBR whose EFI system partition is the El
    Torito boot image, sector for sector, and holds the removable-media files."""
    iso = os.path.join(BUILD, "tarnwick.iso")
    with open(iso, "rb") as f:
        data = f.read()
    start, count = el_torito_boot_image(data)
    partitions = mbr_partitions(data)
    assert [(start, count)] == [(first, sectors) for kind, first, sectors in partitions
                                if kind == EFI_SYSTEM_PARTITION], partitions
    assert (start + count) * SECTOR <= len(data)
    listed = subprocess.run(["mdir", "-b", "-i", f"{iso}@@{start * SECTOR}", "::/EFI/BOOT"], capture_output=True,
                            text=True, check=True).stdout.split()
    assert sorted(os.path.basename(name) for name in listed) == sorted(os.listdir(os.path.join(BUILD, "esp/EFI/BOOT")))


SUNXI_SPL = [(16, "u-boot-sunxi-with-spl.bin", None)]  # the Allwinner boot ROM reads sector 16 (8 KiB)
# Each board's card as its boot ROM and U-Boot's documentation of the board have it: the table, the
# EFI system partition's type, and U-Boot's files by first sector (and the GPT type of their partition).
CARDS = [
    ("rpi_3", "dos", "c", []),
    ("rpi_2", "dos", "c", []),
    ("nanopi_neo", "dos", "ef", SUNXI_SPL),
    ("Bananapi_M2_Ultra", "dos", "ef", SUNXI_SPL),
    ("Cubieboard", "dos", "ef", SUNXI_SPL),
    ("mx6qsabrelite", "dos", "ef", [(2, "u-boot-dtb.imx", None)]),  # the i.MX boot ROM's IVT at 1 KiB
    ("sifive_unleashed", "gpt", "C12A7328-F81F-11D2-BA4B-00A0C93EC93B",
     [(34, "u-boot-spl.bin", "5B193300-FC78-40CD-8002-E86C45580B47"),
      (2082, "u-boot.itb", "2E54B353-1271-4842-806F-E436D6AF6985")]),
]


@pytest.mark.parametrize("board,label,esp_type,loaders", CARDS, ids=[row[0] for row in CARDS])
def test_a_boards_card_has_u_boot_where_its_boot_rom_reads_it_and_its_table_whole(board, label, esp_type, loaders):
    card = os.path.join(BUILD, f"tarnwick-{board}.img")
    if not os.path.exists(card):
        pytest.skip(f"{board}: this release has no card for it")
    files = glob.glob(os.path.join(BUILD, "unpacked", "boards-*", "usr/lib/u-boot", board))[0]
    with open(card, "rb") as f:
        data = f.read()
    assert len(data) & (len(data) - 1) == 0, "QEMU's SD card takes a power of two"
    table = json.loads(subprocess.run(["sfdisk", "--json", card], capture_output=True, text=True,
                                      check=True).stdout)["partitiontable"]
    *own, esp = table["partitions"]
    assert table["label"] == label and esp["type"].lower() == esp_type.lower()
    assert [(p["start"], p["type"]) for p in own] == [(sector, kind) for sector, _, kind in loaders if kind]
    for sector, name, _ in loaders:
        with open(os.path.join(files, name), "rb") as f:
            loader = f.read()
        assert data[sector * SECTOR:sector * SECTOR + len(loader)] == loader, name
        assert sector * SECTOR + len(loader) <= esp["start"] * SECTOR, f"{name} runs into the EFI system partition"
    if label == "gpt":
        assert "No problems found" in subprocess.run(["sgdisk", "-v", card], capture_output=True, text=True).stdout
    listed = subprocess.run(["mdir", "-b", "-i", f"{card}@@{esp['start'] * SECTOR}", "::/EFI/BOOT"],
                            capture_output=True, text=True, check=True).stdout.split()
    assert sorted(os.path.basename(name) for name in listed) == sorted(os.listdir(os.path.join(BUILD, "esp/EFI/BOOT")))
