# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Firmware variables written into a copy of an EDK2 variable store (OVMF_VARS_4M.fd and the like)
before the machine boots: with Debian's virt-fw-vars where the release has it (Debian 13), else
by the least code that adds a variable to the store and reads it back.

    python3 -m tarnwick.varstore VARS --boot-uri [URI]
    python3 -m tarnwick.varstore VARS --sbat-level LEVEL [--shim-verbose]

The first starts the next boot from the network by HTTP (a Boot0099 entry and BootNext); the
second sets shim's revocation level, and makes shim say why it refuses an image."""
import json
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

GLOBAL = uuid.UUID("8be4df61-93ca-11d2-aa0d-00e098032b8c")
SHIM = uuid.UUID("605dab50-e046-4300-abb6-3dd810dd8b23")
NV_BS, NV_BS_RT = 0x3, 0x7  # non-volatile, boot services, runtime
ADDED, DELETED = 0x3F, 0xFD  # a variable's state, as flash bits cleared one by one
HEADER = struct.Struct("<HBBIQ16sIII16s")  # the authenticated variable's header, 60 bytes


def variables(store):
    """(offset, state, name, guid, data) of each variable in the store's bytes, and where free space starts."""
    at = struct.unpack_from("<H", store, 48)[0] + 28  # past the volume's and the variable store's headers
    found = []
    while store[at:at + 2] == b"\xaa\x55":
        _, state, _, _, _, _, _, name_size, data_size, guid = HEADER.unpack_from(store, at)
        name = store[at + HEADER.size:at + HEADER.size + name_size].decode("utf-16-le").rstrip("\0")
        data = store[at + HEADER.size + name_size:at + HEADER.size + name_size + data_size]
        found.append((at, state, name, uuid.UUID(bytes_le=guid), bytes(data)))
        at = (at + HEADER.size + name_size + data_size + 3) & ~3
    return found, at


def set_variable(path, name, guid, attributes, data):
    with open(path, "r+b") as f:
        store = bytearray(f.read())
        found, free = variables(store)
        for at, state, old_name, old_guid, _ in found:
            if (old_name, old_guid, state) == (name, guid, ADDED):
                store[at + 2] = ADDED & DELETED
        encoded = (name + "\0").encode("utf-16-le")
        record = HEADER.pack(0x55AA, ADDED, 0, attributes, 0, bytes(16), 0, len(encoded), len(data), guid.bytes_le)
        store[free:free + len(record) + len(encoded) + len(data)] = record + encoded + data
        f.seek(0)
        f.write(store)


def get_variable(path, name, guid):
    with open(path, "rb") as f:
        found, _ = variables(f.read())
    return next((data for _, state, n, g, data in reversed(found) if (n, g, state) == (name, guid, ADDED)), None)


def set_variables(path, *variables):
    """Sets each (name, guid, attributes, data) in the store: through Debian's virt-fw-vars where the
    release has it, else by set_variable; then reads each back."""
    if shutil.which("virt-fw-vars"):
        with tempfile.NamedTemporaryFile("w", suffix=".json") as dump:
            json.dump({"version": 2, "variables": [{"name": name, "guid": str(guid), "attr": attributes,
                                                    "data": data.hex()} for name, guid, attributes, data in variables]},
                      dump)
            dump.flush()
            subprocess.run(["virt-fw-vars", "--inplace", path, "--set-json", dump.name], check=True,
                           capture_output=True)
    else:
        for variable in variables:
            set_variable(path, *variable)
    for name, guid, _, data in variables:
        assert get_variable(path, name, guid) == data, f"{name} did not read back from {path}"


def boot_uri(path, uri=""):
    """The next boot starts from the network by HTTP, from `uri`, or from the address DHCP gives
    where it is empty: an entry Boot0099 for it, as virt-fw-vars --set-boot-uri makes one, and BootNext."""
    # EFI_LOAD_OPTION: active, the device path's length, a title, a URI device path node and its end.
    node = struct.pack("<BBH", 3, 24, 4 + len(uri)) + uri.encode() + b"\x7f\xff\x04\x00"
    title = "UEFI HTTP boot\0".encode("utf-16-le")
    set_variables(path, ("Boot0099", GLOBAL, NV_BS_RT, struct.pack("<IH", 1, len(node)) + title + node),
                  ("BootNext", GLOBAL, NV_BS_RT, struct.pack("<H", 0x99)))


def boot_next(path, title):
    """The next boot starts the firmware's own boot entry whose title begins with `title`."""
    with open(path, "rb") as f:
        entries = {name: data for _, state, name, guid, data in variables(f.read())[0]
                   if state == ADDED and guid == GLOBAL and re.fullmatch("Boot[0-9A-F]{4}", name)}
    # EFI_LOAD_OPTION: attributes, the device path's length, then the title.
    number = next(int(name[4:], 16) for name, data in sorted(entries.items())
                  if data[6:].decode("utf-16-le", "replace").startswith(title))
    set_variables(path, ("BootNext", GLOBAL, NV_BS_RT, struct.pack("<H", number)))


def shim_settings(path, sbat_level, verbose):
    """Shim's revocation level, the text `sbat_level`, and, when `verbose`, its reasons."""
    set_variables(path, ("SbatLevel", SHIM, NV_BS, sbat_level.encode()),
                  *([("SHIM_VERBOSE", SHIM, NV_BS, b"\x01")] if verbose else []))


if __name__ == "__main__":
    if sys.argv[2:3] == ["--boot-uri"] and len(sys.argv) in (3, 4):
        boot_uri(sys.argv[1], *sys.argv[3:])
    elif sys.argv[2:3] == ["--sbat-level"] and len(sys.argv) in (4, 5):
        shim_settings(sys.argv[1], sys.argv[3].encode().decode("unicode_escape"), sys.argv[4:] == ["--shim-verbose"])
    else:
        sys.exit(__doc__)
