# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Writes an EFI application from an image linked as a static position-independent ELF file by
ld.lld with cmake/image.ld, the one way every image is made:

    python3 -m tarnwick.elf2efi LINKED IMAGE

Each allocated section of the ELF file becomes a PE section at the same address, its flags kept:
code is never writable, and a section without bytes in the file is flagged as uninitialized data,
which shim and GRUB require. The headers take one 512-byte block up to four sections. Dynamic relocations the linker
left, which only an absolute address in the image causes, become base relocations for the
firmware to apply; the checks require that there are none."""
import struct
import sys

from elftools.elf.constants import SH_FLAGS
from elftools.elf.elffile import ELFFile
from elftools.elf.enums import ENUM_E_MACHINE

# Per ELF machine number: the PE machine, and the type of the ELF's relative dynamic relocation.
MACHINES = {62: (0x8664, 8), 3: (0x14C, 8), 183: (0xAA64, 1027), 40: (0x1C2, 23), 243: (0x5064, 3), 258: (0x6264, 3)}
FILE_ALIGNMENT = 0x200
CODE, INITIALIZED, UNINITIALIZED = 0x20, 0x40, 0x80
DISCARDABLE, EXECUTE, READ, WRITE = 0x02000000, 0x20000000, 0x40000000, 0x80000000
EFI_APPLICATION, DYNAMIC_BASE, NX_COMPAT, HIGH_ENTROPY_VA = 10, 0x40, 0x100, 0x20
BASE_RELOCATION = 5  # the data directory's index
DYNAMIC_LINKING = ("SHT_DYNAMIC", "SHT_DYNSYM", "SHT_STRTAB", "SHT_HASH", "SHT_GNU_HASH", "SHT_REL", "SHT_RELA")


def round_up(n, alignment):
    return -(-n // alignment) * alignment


def sections(elf):
    """[name, address, virtual size, bytes in the file, characteristics] of each loaded section."""
    for section in elf.iter_sections():
        flags = section["sh_flags"]
        if flags & SH_FLAGS.SHF_ALLOC and section["sh_size"] and section["sh_type"] not in DYNAMIC_LINKING:
            data = b"" if section["sh_type"] == "SHT_NOBITS" else section.data()
            kind = CODE | EXECUTE if flags & SH_FLAGS.SHF_EXECINSTR else INITIALIZED if data else UNINITIALIZED
            yield [section.name.encode(), section["sh_addr"], section["sh_size"], bytearray(data),
                   kind | READ | (WRITE if flags & SH_FLAGS.SHF_WRITE else 0)]


def base_relocations(elf, loaded, relative, word, base):
    """The .reloc section's bytes for the dynamic relocations, each a relative one whose addend goes
    into the word it fixes up; empty when there are none."""
    pages = {}
    for section in elf.iter_sections():
        if section["sh_type"] not in ("SHT_RELA", "SHT_REL") or section["sh_flags"] & SH_FLAGS.SHF_INFO_LINK:
            continue
        for relocation in section.iter_relocations():
            if relocation["r_info_type"] != relative:
                sys.exit(f"elf2efi: dynamic relocation of type {relocation['r_info_type']} at "
                         f"{relocation['r_offset']:#x} has no PE form")
            where = relocation["r_offset"]
            if relocation.is_RELA():
                target = next(s for s in loaded if s[1] <= where < s[1] + len(s[3]))
                target[3][where - target[1]:where - target[1] + word] = relocation["r_addend"].to_bytes(word, "little")
            pages.setdefault((where - base) & ~0xFFF, []).append((where - base) & 0xFFF)
    block_type = 10 if word == 8 else 3  # IMAGE_REL_BASED_DIR64 or IMAGE_REL_BASED_HIGHLOW
    data = b""
    for page, offsets in sorted(pages.items()):
        entries = [block_type << 12 | offset for offset in sorted(offsets)] + [0] * (len(offsets) % 2)
        data += struct.pack(f"<II{len(entries)}H", page, 8 + 2 * len(entries), *entries)
    return data


def efi_image(stream):
    elf = ELFFile(stream)
    machine, relative = MACHINES[ENUM_E_MACHINE.get(elf["e_machine"], elf["e_machine"])]
    wide = elf.elfclass == 64
    loaded = list(sections(elf))
    # The base and page size the layout used: its __image_base, and the segments' alignment.
    base = elf.get_section_by_name(".symtab").get_symbol_by_name("__image_base")[0]["st_value"]
    alignment = max(segment["p_align"] for segment in elf.iter_segments() if segment["p_type"] == "PT_LOAD")
    end = max(address + size for _, address, size, _, _ in loaded)
    relocations = base_relocations(elf, loaded, relative, 8 if wide else 4, base)
    directories = [(0, 0)] * 16
    if relocations:
        address = round_up(end, alignment)
        loaded.append([b".reloc", address, len(relocations), bytearray(relocations), INITIALIZED | READ | DISCARDABLE])
        directories[BASE_RELOCATION] = (address - base, len(relocations))
        end = address + len(relocations)

    # The headers take one block of the file alignment; five sections or more take two.
    header_bytes = round_up(64 + 4 + 20 + (240 if wide else 224) + 40 * len(loaded), FILE_ALIGNMENT)
    table, body, sizes = b"", b"", {CODE: 0, INITIALIZED: 0, UNINITIALIZED: 0}
    for name, address, size, data, flags in loaded:
        raw = bytes(data) + bytes(round_up(len(data), FILE_ALIGNMENT) - len(data))
        table += struct.pack("<8sIIIIIIHHI", name, size, address - base, len(raw),
                             header_bytes + len(body) if raw else 0, 0, 0, 0, 0, flags)
        sizes[flags & (CODE | INITIALIZED | UNINITIALIZED)] += len(raw) or size
        body += raw
    code = next(address for _, address, _, _, flags in loaded if flags & CODE) - base
    # The optional header: PE32+ for 64-bit machines, PE32 with its base of data for 32-bit ones.
    common = (sizes[CODE], sizes[INITIALIZED], sizes[UNINITIALIZED], elf["e_entry"] - base, code)
    layout = (alignment, FILE_ALIGNMENT, 6, 0, 0, 0, 6, 0, 0, round_up(end - base, alignment),
              header_bytes, 0, EFI_APPLICATION, DYNAMIC_BASE | NX_COMPAT | (HIGH_ENTROPY_VA if wide else 0))
    if wide:
        optional = struct.pack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", 0x20B, 14, 0, *common, base, *layout,
                               0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    else:
        optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 14, 0, *common, code, base, *layout,
                               0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += b"".join(struct.pack("<II", *entry) for entry in directories)
    characteristics = 0x0002 | (0x0020 if wide else 0x0100)  # executable; large addresses or 32-bit words
    coff = struct.pack("<HHIIIHH", machine, len(loaded), 0, 0, 0, len(optional), characteristics)
    headers = b"MZ" + bytes(58) + struct.pack("<I", 64) + b"PE\0\0" + coff + optional + table
    return headers + bytes(header_bytes - len(headers)) + body


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], "rb") as linked:
        image = efi_image(linked)
    with open(sys.argv[2], "wb") as f:
        f.write(image)
