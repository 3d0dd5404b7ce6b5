# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The built images: their smallest possible size, and variants linked from their objects."""
import os
import subprocess

from . import ROOT, build_facts
from .efi import compact, round_up


def section_name(section):
    return section.Name.rstrip(b"\0").decode()


def floor(pe):
    """The smallest file this image's content could make (a pefile.PE): its headers and each
    section's content, every one rounded up to the file alignment."""
    alignment = pe.OPTIONAL_HEADER.FileAlignment
    return round_up(pe.OPTIONAL_HEADER.SizeOfHeaders, alignment) + sum(
        round_up(s.Misc_VirtualSize, alignment) for s in pe.sections if s.SizeOfRawData)


def link_variant(arch, folder, output, source=None, entry=None, link=(), link_map=None):
    """Links a variant of the image of `arch` into `output` the way the image is linked: its objects,
    and the C++ `source` compiled into `folder` as they are, when given; the entry point `entry`
    and the extra linker options `link`. Returns the linker's completed process; the caller checks
    it."""
    image = build_facts()["images"][arch]
    objects = list(image["objects"])
    if source is not None:
        source_path, obj = os.path.join(folder, "variant.cpp"), os.path.join(folder, "variant.o")
        with open(source_path, "w") as f:
            f.write(source)
        subprocess.run(["clang++", *image["compile"], "-I", ROOT, "-c", source_path, "-o", obj], check=True)
        objects.append(obj)
    flags = [flag for flag in image["link"] if not (entry and flag.startswith("/entry:"))] + list(link)
    if entry:
        flags.append(f"/entry:{entry}")
    if link_map:
        flags.append(f"/map:{link_map}")
    linked = os.path.join(folder, "linked.efi")
    result = subprocess.run(["lld-link", *flags, f"/out:{linked}", *objects], capture_output=True, text=True)
    if result.returncode == 0:
        with open(linked, "rb") as f, open(output, "wb") as out:
            out.write(compact(f.read()))
    return result
