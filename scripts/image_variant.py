"""Links a variant of the image: its own objects plus one extra C++ source, built the way the image
is (the flags come from the build folder's image-build.json)."""
import json
import os
import subprocess

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def link_variant(build, source, folder, output, entry=None, link_map=None):
    """Compiles `source` into `folder` and links it with the image's objects into `output`, with the
    entry point `entry` when given. Returns lld-link's completed process; the caller checks it."""
    with open(os.path.join(build, "image-build.json")) as f:
        flags = json.load(f)
    source_path, obj = os.path.join(folder, "variant.cpp"), os.path.join(folder, "variant.o")
    with open(source_path, "w") as f:
        f.write(source)
    subprocess.run(["clang++", *flags["compile"], "-I", ROOT, "-c", source_path, "-o", obj], check=True)
    link = flags["link"]
    if entry:
        link = [flag for flag in link if not flag.startswith("/entry:")] + [f"/entry:{entry}"]
    if link_map:
        link = link + [f"/map:{link_map}"]
    return subprocess.run(["lld-link", *link, f"/out:{output}", *flags["objects"], obj], capture_output=True,
                          text=True)
