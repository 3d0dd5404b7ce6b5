"""The built image's own headers: the form firmware loads, and nothing it does not need."""
import os
import re
import struct
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "scripts"))
from peinfo import IMAGE_FILE_RELOCS_STRIPPED, read_pe  # noqa: E402
from image_variant import link_variant  # noqa: E402
from stack_depth import deepest_stack  # noqa: E402

ROOT = os.path.join(os.path.dirname(__file__), "..")
BUILD = os.environ.get("TARNWICK_BUILD", os.path.join(ROOT, "build"))
IMAGE_BUDGET = 3072
STACK_BUDGET = 512
CONTEXT_BYTES = 32


def entry_rva(map_path):
    with open(map_path) as f:
        match = re.search(r"^\s*\S+\s+monitor_entry\s+([0-9a-f]{16})", f.read(), re.M)
    assert match, "monitor_entry is not in the link map"
    return int(match.group(1), 16) - 0x100000


def image_faults(image_path, map_path, budget=IMAGE_BUDGET):
    """Everything about the image that firmware would not load as it should, or that does not belong."""
    image = read_pe(image_path)
    faults = []

    def expect(condition, fault):
        if not condition:
            faults.append(fault)

    expect(image.machine == 0x8664, f"machine {image.machine:#x} is not AMD64")
    expect(image.subsystem == 10, f"subsystem {image.subsystem} is not an EFI application")
    expect(image.entry == entry_rva(map_path), f"entry {image.entry:#x} is not monitor_entry")
    expect(image.image_base == 0x100000, f"base {image.image_base:#x}")
    expect(image.section_alignment == 0x1000, f"section alignment {image.section_alignment:#x}")
    expect(image.file_alignment == 0x200, f"file alignment {image.file_alignment:#x}")
    expect(not image.characteristics & IMAGE_FILE_RELOCS_STRIPPED, "claims relocations were stripped")
    for name in ("export", "import", "basereloc", "exception", "debug", "tls", "delay_import", "security"):
        expect(image.directories.get(name, (0, 0)) == (0, 0), f"has a {name} directory")
    for section in image.sections:
        expect(not (section.writable and section.executable), f"{section.name} is writable and executable")
        expect(not section.name.startswith((".pdata", ".xdata", ".debug", ".reloc")), f"has {section.name}")
    writable = [s for s in image.sections if s.writable]
    size = sum(s.virtual_size for s in writable)
    expect(size == CONTEXT_BYTES, f"writable data is {size} bytes, not the {CONTEXT_BYTES} of the firmware context")
    expect(all(not any(s.data) for s in writable), "writable data is not zero-filled")
    expect(budget is None or image.size <= budget, f"{image.size} bytes is over the budget of {budget}")
    return faults


def test_image_has_the_form_firmware_loads():
    assert image_faults(os.path.join(BUILD, "tarnwick.efi"), os.path.join(BUILD, "tarnwick.map")) == []


def test_deepest_stack_stays_within_budget():
    used, chain = deepest_stack(BUILD)
    assert used <= STACK_BUDGET, f"{used} bytes along {' > '.join(chain)}"


def test_signing_adds_a_certificate_table_and_changes_nothing_else(tmp_path):
    unsigned, signed = os.path.join(BUILD, "tarnwick.efi"), tmp_path / "signed.efi"
    subprocess.run([os.path.join(ROOT, "scripts", "sign.sh"), unsigned, str(signed)], check=True)
    with open(unsigned, "rb") as f:
        before = f.read()
    after = signed.read_bytes()
    # Only the header checksum and the security directory entry differ; the table comes after.
    optional_header = struct.unpack_from("<I", before, 0x3C)[0] + 24
    changed = {n for n in range(len(before)) if before[n] != after[n]}
    assert changed <= set(range(optional_header + 64, optional_header + 68)) | \
        set(range(optional_header + 112 + 8 * 4, optional_header + 112 + 8 * 5))
    rva, size = read_pe(signed).directories["security"]
    assert rva == len(before) and size == len(after) - len(before)
    faults = image_faults(signed, os.path.join(BUILD, "tarnwick.map"), budget=None)
    assert faults == ["has a security directory"]


# Changes that must not land unnoticed: each is built into a variant of the image and checked.
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
    link = link_variant(BUILD, source, str(tmp_path), str(image), link_map=str(link_map))
    if link.returncode != 0:
        assert fault in link.stderr
        return
    faults = image_faults(image, link_map)
    assert any(fault in f for f in faults), faults
