"""The built images: their smallest possible size, and variants linked from their objects."""
import os
import subprocess

from . import ROOT, build_facts


def round_up(n, alignment):
    return -(-n // alignment) * alignment


def floor(pe):
    """The smallest file this image's content could make (a pefile.PE): its headers and each
    section's content, every one rounded up to the file alignment."""
    alignment = pe.OPTIONAL_HEADER.FileAlignment
    return round_up(pe.OPTIONAL_HEADER.SizeOfHeaders, alignment) + sum(
        round_up(s.Misc_VirtualSize, alignment) for s in pe.sections if s.SizeOfRawData)


def link_variant(arch, source, folder, output, entry=None, link_map=None):
    """Compiles the C++ `source` into `folder` as the image of `arch` is compiled, and links it with
    that image's objects into `output`, with the entry point `entry` when given. Returns the
    linker's completed process; the caller checks it."""
    image = build_facts()["images"][arch]
    source_path, obj = os.path.join(folder, "variant.cpp"), os.path.join(folder, "variant.o")
    with open(source_path, "w") as f:
        f.write(source)
    subprocess.run(["clang++", *image["compile"], "-I", ROOT, "-c", source_path, "-o", obj], check=True)
    link = image["link"] + [f"/out:{output}"]
    if entry:
        link = [flag for flag in link if not flag.startswith("/entry:")] + [f"/entry:{entry}"]
    if link_map:
        link.append(f"/map:{link_map}")
    return subprocess.run(["lld-link", *link, *image["objects"], obj], capture_output=True, text=True)
