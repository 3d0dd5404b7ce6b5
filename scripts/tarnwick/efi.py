# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Writes the EFI application files from what the linker made.

`from-elf` writes the PE file of an image linked as ELF, for architectures lld-link cannot link:
one section for each allocated section of the ELF file, at the same address, with the headers
lld-link writes for the others. Nothing is relocated: the code must reach its data relative to
the program counter, which the image checks prove from the objects' relocations.

`compact` lays lld-link's output out as the most careful loaders accept it, and smaller: the DOS
header alone before the PE headers, the headers in as few file blocks as they need, and a writable
section without bytes in the file named .bss and flagged as uninitialized data. lld-link merges .bss into .data
and keeps the flag of initialized data, which shim and shim-aware GRUB refuse for a section that
has no raw data. Nothing changes in memory: every address and every byte loaded stays the same.

    python3 -m tarnwick.efi compact LINKED IMAGE
    python3 -m tarnwick.efi from-elf ARCH LINKED IMAGE
"""
import struct
import sys

import pefile
from elftools.elf.constants import SH_FLAGS
from elftools.elf.elffile import ELFFile

from .platforms import IMAGES

DOS_HEADER_BYTES = 64
INITIALIZED = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_CNT_INITIALIZED_DATA"]
UNINITIALIZED = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_CNT_UNINITIALIZED_DATA"]


def round_up(n, alignment):
    return -(-n // alignment) * alignment


def compact(data):
    pe = pefile.PE(data=data, fast_load=True)
    moved = pe.DOS_HEADER.e_lfanew - DOS_HEADER_BYTES  # how far the PE headers move up
    last = pe.sections[-1]
    headers = bytearray(data[:DOS_HEADER_BYTES]) + data[pe.DOS_HEADER.e_lfanew:last.get_file_offset() + last.sizeof()]
    struct.pack_into("<I", headers, pe.DOS_HEADER.get_field_absolute_offset("e_lfanew"), DOS_HEADER_BYTES)
    old_size = pe.OPTIONAL_HEADER.SizeOfHeaders
    new_size = round_up(len(headers), pe.OPTIONAL_HEADER.FileAlignment)
    struct.pack_into("<I", headers, pe.OPTIONAL_HEADER.get_field_absolute_offset("SizeOfHeaders") - moved, new_size)
    for section in pe.sections:
        if section.PointerToRawData:
            struct.pack_into("<I", headers, section.get_field_absolute_offset("PointerToRawData") - moved,
                             section.PointerToRawData - (old_size - new_size))
        elif section.Characteristics & INITIALIZED:
            struct.pack_into("8s", headers, section.get_field_absolute_offset("Name") - moved, b".bss")
            struct.pack_into("<I", headers, section.get_field_absolute_offset("Characteristics") - moved,
                             section.Characteristics & ~INITIALIZED | UNINITIALIZED)
            struct.pack_into("<I", headers, pe.OPTIONAL_HEADER.get_field_absolute_offset("SizeOfUninitializedData") - moved,
                             pe.OPTIONAL_HEADER.SizeOfUninitializedData + section.Misc_VirtualSize)
    return bytes(headers) + bytes(new_size - len(headers)) + data[old_size:]


IMAGE_BASE, SECTION_ALIGNMENT, FILE_ALIGNMENT = 0x100000, 0x1000, 0x200
PE32_PLUS, EFI_APPLICATION = 0x20B, 10
EXECUTABLE_LARGE_ADDRESS_AWARE = 0x0022
HIGH_ENTROPY_DYNAMIC_BASE_NX_TERMINAL_SERVER = 0x8160
CODE, READ, WRITE, EXECUTE = 0x20, 0x40000000, 0x80000000, 0x20000000


def pe_sections(elf):
    """(name, address, virtual size, bytes in the file, characteristics) of each allocated section."""
    for section in elf.iter_sections():
        flags = section["sh_flags"]
        if not flags & SH_FLAGS.SHF_ALLOC or not section["sh_size"]:
            continue
        data = b"" if section["sh_type"] == "SHT_NOBITS" else section.data()
        kind = CODE | EXECUTE if flags & SH_FLAGS.SHF_EXECINSTR else INITIALIZED if data else UNINITIALIZED
        yield (section.name.encode(), section["sh_addr"], section["sh_size"], data,
               kind | READ | (WRITE if flags & SH_FLAGS.SHF_WRITE else 0))


def from_elf(arch, stream):
    elf = ELFFile(stream)
    sections = list(pe_sections(elf))
    headers = bytearray(b"MZ" + bytes(DOS_HEADER_BYTES - 2))
    struct.pack_into("<I", headers, 0x3C, DOS_HEADER_BYTES)
    header_size = round_up(len(headers) + 4 + 20 + 240 + 40 * len(sections), FILE_ALIGNMENT)
    body, table, sizes = b"", b"", {CODE: 0, INITIALIZED: 0, UNINITIALIZED: 0}
    for name, address, size, data, flags in sections:
        raw = data + bytes(round_up(len(data), FILE_ALIGNMENT) - len(data))
        table += struct.pack("<8sIIIIIIHHI", name, size, address - IMAGE_BASE, len(raw),
                             header_size + len(body) if raw else 0, 0, 0, 0, 0, flags)
        sizes[flags & (CODE | INITIALIZED | UNINITIALIZED)] += len(raw) or size
        body += raw
    end = max(address + size for _, address, size, _, _ in sections)
    optional = struct.pack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", PE32_PLUS, 14, 0, sizes[CODE], sizes[INITIALIZED],
                           sizes[UNINITIALIZED], elf["e_entry"] - IMAGE_BASE, sections[0][1] - IMAGE_BASE, IMAGE_BASE,
                           SECTION_ALIGNMENT, FILE_ALIGNMENT, 6, 0, 0, 0, 6, 0, 0,
                           round_up(end - IMAGE_BASE, SECTION_ALIGNMENT), header_size, 0, EFI_APPLICATION,
                           HIGH_ENTROPY_DYNAMIC_BASE_NX_TERMINAL_SERVER, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += bytes(16 * 8)  # no data directories: no imports, exports or relocations
    coff = struct.pack("<HHIIIHH", int(IMAGES[arch]["pe_machine"], 16), len(sections), 0, 0, 0, len(optional),
                       EXECUTABLE_LARGE_ADDRESS_AWARE)
    headers += b"PE\0\0" + coff + optional + table
    return bytes(headers) + bytes(header_size - len(headers)) + body


def main(argv):
    if argv[:1] == ["compact"] and len(argv) == 3:
        with open(argv[1], "rb") as f:
            data = compact(f.read())
    elif argv[:1] == ["from-elf"] and len(argv) == 4:
        with open(argv[2], "rb") as f:
            data = from_elf(argv[1], f)
        argv = argv[1:]
    else:
        sys.exit(__doc__)
    with open(argv[2], "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv[1:])
