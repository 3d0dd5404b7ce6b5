#!/usr/bin/python3
"""Reads the headers of a PE32+ image: peinfo.py IMAGE prints them."""
import struct
import sys
from dataclasses import dataclass, field

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
DIRECTORY_NAMES = ["export", "import", "resource", "exception", "security", "basereloc", "debug",
                   "architecture", "globalptr", "tls", "load_config", "bound_import", "iat",
                   "delay_import", "clr", "reserved"]


@dataclass
class Section:
    name: str
    virtual_size: int
    virtual_address: int
    raw_size: int
    raw_offset: int
    characteristics: int
    data: bytes = b""

    @property
    def writable(self):
        return bool(self.characteristics & IMAGE_SCN_MEM_WRITE)

    @property
    def executable(self):
        return bool(self.characteristics & IMAGE_SCN_MEM_EXECUTE)


@dataclass
class PeImage:
    size: int
    machine: int
    characteristics: int
    magic: int
    entry: int
    image_base: int
    section_alignment: int
    file_alignment: int
    size_of_headers: int
    subsystem: int
    directories: dict = field(default_factory=dict)
    sections: list = field(default_factory=list)


def read_pe(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        raise ValueError("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    machine, sections, _, _, _, optional_size, characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    if magic != 0x20B:
        raise ValueError(f"optional header magic {magic:#x} is not PE32+")
    entry = struct.unpack_from("<I", data, opt + 16)[0]
    image_base, section_alignment, file_alignment = struct.unpack_from("<QII", data, opt + 24)
    size_of_headers = struct.unpack_from("<I", data, opt + 60)[0]
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    count = struct.unpack_from("<I", data, opt + 108)[0]
    image = PeImage(len(data), machine, characteristics, magic, entry, image_base, section_alignment,
                    file_alignment, size_of_headers, subsystem)
    for n in range(count):
        image.directories[DIRECTORY_NAMES[n]] = struct.unpack_from("<II", data, opt + 112 + 8 * n)
    table = opt + optional_size
    for n in range(sections):
        name, vsize, vaddr, rsize, roffset = struct.unpack_from("<8sIIII", data, table + 40 * n)
        flags = struct.unpack_from("<I", data, table + 40 * n + 36)[0]
        image.sections.append(Section(name.rstrip(b"\0").decode(), vsize, vaddr, rsize, roffset, flags,
                                      data[roffset:roffset + rsize]))
    return image


def main(path):
    image = read_pe(path)
    print(f"{path}: {image.size} bytes, machine {image.machine:#x}, subsystem {image.subsystem}, "
          f"entry {image.entry:#x}, base {image.image_base:#x}")
    for s in image.sections:
        print(f"  {s.name:8} virtual {s.virtual_size:#6x} at {s.virtual_address:#6x}, raw {s.raw_size:#6x}, "
              f"flags {s.characteristics:#010x}")
    for name, (rva, size) in image.directories.items():
        if size:
            print(f"  directory {name}: {size} bytes at {rva:#x}")


if __name__ == "__main__":
    main(sys.argv[1])
