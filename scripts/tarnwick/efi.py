"""Writes the EFI application files from what the linker made.

`compact` lays lld-link's output out as the most careful loaders accept it, and smaller: the DOS
header alone before the PE headers, the headers in as few file blocks as they need, and a writable
section without bytes in the file flagged as uninitialized data. lld-link merges .bss into .data
and keeps the flag of initialized data, which shim and shim-aware GRUB refuse for a section that
has no raw data. Nothing changes in memory: every address and every byte loaded stays the same.

    python3 -m tarnwick.efi compact LINKED IMAGE
"""
import struct
import sys

import pefile


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
    return bytes(headers) + bytes(new_size - len(headers)) + data[old_size:]


def main(argv):
    if len(argv) != 3 or argv[0] != "compact":
        sys.exit(__doc__)
    with open(argv[1], "rb") as f:
        data = compact(f.read())
    with open(argv[2], "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv[1:])
