# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The built images, read with pefile: the form firmware loads and nothing it does not need, within
their size and stack budgets, however the environment's compiler flags are set."""
import csv
import os
import re
import subprocess

import pefile
import pytest
from elftools.elf.elffile import ELFFile

from tarnwick import ROOT, build_facts
from tarnwick.images import floor, link_variant, section_name
from tarnwick.machines import DEFAULT, MACHINES
from tarnwick.platforms import IMAGES
from tarnwick import sign as signing
from tarnwick.sign import ovmf_test_key, sign, signed_name
from tarnwick.stack import deepest_stack

FACTS = build_facts()
STACK_BUDGET = 512
IMAGE_BASE = 0x100000
CONTEXT_POINTERS = 4  # the firmware context: system table, boot services, ConOut, ConIn
ABSENT_DIRECTORIES = ["EXPORT", "IMPORT", "EXCEPTION", "SECURITY", "DEBUG", "TLS", "DELAY_IMPORT"]
# The SBAT format's own record, then Tarnwick's with the generation, version and address of the build.
SBAT_RECORDS = [["sbat", "1", "SBAT Version", "sbat", "1", "https://github.com/rhboot/shim/blob/main/SBAT.md"],
                ["tarnwick", str(FACTS["sbat_generation"]), "Tarnwick", "tarnwick", FACTS["version"], FACTS["url"]]]


def entry_rva(linked):
    """Where monitor_entry is, from lld-link's map or the linked ELF file's symbols."""
    if linked.endswith(".elf"):
        with open(linked, "rb") as f:
            symbols = ELFFile(f).get_section_by_name(".symtab").get_symbol_by_name("monitor_entry")
            return symbols[0]["st_value"] - IMAGE_BASE
    with open(linked) as f:
        match = re.search(r"^\s*\S+\s+_?monitor_entry\s+([0-9a-f]+)", f.read(), re.M)
    assert match, "monitor_entry is not in the link map"
    return int(match.group(1), 16) - IMAGE_BASE


def image_faults(arch, path, linked, budget=None):
    """Everything about the image that firmware would not load as it should, or that does not belong."""
    row = IMAGES[arch]
    pe = pefile.PE(path)
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    word = 8 if row["pe_format"] == "PE32+" else 4
    directories = {d.name[len("IMAGE_DIRECTORY_ENTRY_"):]: d for d in optional.DATA_DIRECTORY}
    faults = []

    def expect(condition, fault):
        if not condition:
            faults.append(fault)

    expect(header.Machine == int(row["pe_machine"], 16), f"machine {header.Machine:#x}")
    expect(optional.Magic == (0x20B if word == 8 else 0x10B), f"optional header magic {optional.Magic:#x}")
    expect(optional.Subsystem == 10, f"subsystem {optional.Subsystem} is not an EFI application")
    expect(optional.AddressOfEntryPoint == entry_rva(linked), "the entry point is not monitor_entry")
    expect(optional.ImageBase == IMAGE_BASE, f"base {optional.ImageBase:#x}")
    expect((optional.SectionAlignment, optional.FileAlignment) == (0x1000, 0x200), "alignments")
    expect(not header.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"],
           "claims relocations were stripped")
    for name in ABSENT_DIRECTORIES + ([] if row["base_relocations"] else ["BASERELOC"]):
        expect(directories[name].Size == 0, f"has a {name.lower()} directory")
    for section in pe.sections:
        name = section_name(section)
        expect(not (section.IMAGE_SCN_MEM_WRITE and section.IMAGE_SCN_MEM_EXECUTE), f"{name} is writable and executable")
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


def sbat_records(pe):
    """The records of the .sbat section, read as the CSV of lines it must be; None without one."""
    for section in pe.sections:
        if section_name(section) == ".sbat":
            text = section.get_data()[:section.Misc_VirtualSize].rstrip(b"\0").decode("ascii")
            return list(csv.reader(text.splitlines())) if text.endswith("\n") else text
    return None


@pytest.mark.parametrize("arch", IMAGES)
def test_image_has_the_form_firmware_loads(arch):
    image = FACTS["images"][arch]
    assert image_faults(arch, image["image"], image["linked"], IMAGES[arch]["budget_bytes"]) == []
    pe = pefile.PE(image["image"])
    print(f"{arch}: {len(pe.__data__)} bytes, the smallest for its content {floor(pe)}, SizeOfHeaders "
          f"{pe.OPTIONAL_HEADER.SizeOfHeaders}")


def absolute_relocations(arch, objects):
    """How many absolute addresses the objects' code needs, and how many their data holds."""
    listing = subprocess.run(["llvm-objdump", "-r", *objects], capture_output=True, text=True, check=True).stdout
    counts, section = {"code": 0, "data": 0}, None
    for line in listing.splitlines():
        if match := re.match(r"RELOCATION RECORDS FOR \[(.+)\]:", line):
            section = "code" if match.group(1).startswith(".text") else "data"
        elif set(line.split()) & set(IMAGES[arch]["absolute_relocations"]):
            counts[section] += 1
    return counts


@pytest.mark.parametrize("arch", IMAGES)
def test_base_relocations_are_those_the_code_needs_and_nothing_else(arch):
    """Code that reaches its data relative to the instruction pointer needs no base relocations.
    IA32 code cannot: its absolute addresses are fixed up by the firmware where it loads the image.
    The data holds no addresses on any architecture."""
    image = FACTS["images"][arch]
    pe = pefile.PE(image["image"])
    code = [s for s in pe.sections if s.IMAGE_SCN_MEM_EXECUTE]
    fixed = [entry for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []) for entry in block.entries
             if entry.type != pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]]
    assert all(entry.type == pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"] for entry in fixed)
    assert all(any(s.contains_rva(entry.rva) for s in code) for entry in fixed), "a relocation outside the code"
    assert absolute_relocations(arch, image["objects"]) == {"code": len(fixed), "data": 0}


@pytest.mark.parametrize("arch", IMAGES)
def test_deepest_stack_stays_within_budget(arch):
    used, chain = deepest_stack(arch, FACTS)
    assert used <= STACK_BUDGET, f"{used} bytes along {' > '.join(chain)}"


@pytest.mark.parametrize("arch", IMAGES)
def test_signing_adds_a_certificate_table_and_changes_nothing_else(arch, tmp_path):
    image = FACTS["images"][arch]
    signed = signed_name(str(tmp_path / os.path.basename(image["image"])))
    sign(image["image"], signed, *ovmf_test_key(str(tmp_path)))
    before, after = pefile.PE(image["image"]), pefile.PE(signed)
    # Only the header checksum and the security directory entry differ; the table comes after.
    optional = before.OPTIONAL_HEADER.get_file_offset()
    security = before.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    allowed = set(range(optional + 64, optional + 68)) | set(range(security.get_file_offset(),
                                                                   security.get_file_offset() + 8))
    old, new = before.__data__, after.__data__
    assert {n for n in range(len(old)) if old[n] != new[n]} <= allowed
    table = after.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    assert (table.VirtualAddress, table.Size) == (len(old), len(new) - len(old))
    assert image_faults(arch, signed, image["linked"]) == ["has a security directory"]


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
    chosen_key, chosen_cert, what = signing.chosen_key(*([key, pem] if given else [None, None]), str(tmp_path))
    assert picked in what
    sign(FACTS["images"][MACHINES[DEFAULT]["arch"]]["image"], str(tmp_path / "signed.efi"), chosen_key, chosen_cert)


# Changes that must not land unnoticed: each is built into a variant of the reference machine's image
# and checked.
VARIANTS = {
    "pointer table": ("const char* const NAMES[] = {\"a\", \"b\"};\n"
                      "extern \"C\" const char* fault_name(int i) { return NAMES[i]; }", "has a basereloc directory"),
    "global": ("int counter;\nextern \"C\" int fault_count() { return ++counter; }", "writable data is"),
    "initialised global": ("int level = 3;\nextern \"C\" int fault_level() { return level; }",
                           "writable data is"),
    "runtime call": ("extern \"C\" void* memcpy(void*, const void*, unsigned long long);\n"
                     "extern \"C\" void fault_copy(char* a, const char* b) { memcpy(a, b, 64); }", "undefined symbol"),
}


@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_check_catches(variant, tmp_path):
    source, fault = VARIANTS[variant]
    image, link_map = tmp_path / "variant.efi", tmp_path / "variant.map"
    link = link_variant(MACHINES[DEFAULT]["arch"], str(tmp_path), str(image), source=source, link_map=str(link_map))
    if link.returncode != 0:
        assert fault in link.stderr
        return
    faults = image_faults(MACHINES[DEFAULT]["arch"], str(image), str(link_map))
    assert any(fault in f for f in faults), faults


HARDENING = "-g -O2 -fcf-protection -fstack-clash-protection -fstack-protector-strong"


def test_distribution_compiler_flags_do_not_reach_the_images(tmp_path):
    """A package build exports its distribution's flags; the images must come out bit for bit the same."""
    env = dict(os.environ, CFLAGS=HARDENING, CXXFLAGS=HARDENING, LDFLAGS="-Wl,-z,relro -Wl,-z,now")
    for step in (["cmake", "-S", ROOT, "-B", str(tmp_path), "-G", "Ninja", "-DTARNWICK_TESTS=ON",
                  "-DCMAKE_CXX_COMPILER=clang++", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                 ["cmake", "--build", str(tmp_path), "--target", "images"]):
        subprocess.run(step, env=env, check=True, stdout=subprocess.DEVNULL)
    for arch, image in FACTS["images"].items():
        with open(image["image"], "rb") as plain, open(tmp_path / os.path.basename(image["image"]), "rb") as flagged:
            assert flagged.read() == plain.read(), f"the {arch} image differs"
