# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The deepest stack an image uses below the firmware's call into it: the compiler's frame sizes
(-fstack-usage) along the deepest chain of the call graph that the compiler itself reports, in
its optimised intermediate code (LLVM IR) for the image's target. The graph reads the same on every
architecture and holds every call the image makes, since it links no runtime that could add
hidden ones. Each call adds to the callee's frame the return address the architecture pushes and,
where arguments go on the stack, their slots; a tail call is counted as a call. The figure is an
upper bound, not an estimate.

    python3 -m tarnwick.stack [ARCH ...]
"""
import glob
import os
import re
import subprocess
import sys

from . import build_facts
from .platforms import IMAGES

DEFINE = re.compile(r'^define\b[^@]*@("[^"]+"|[\w.$?@]+)\(')
CALL = re.compile(r'\bcall\b.*?[@%]("[^"]+"|[\w.$?@]+)\((.*)\)')
ENTRY = "monitor_entry"


def frames(folder):
    sizes = {}
    for path in glob.glob(os.path.join(folder, "*.su")):
        with open(path) as f:
            for line in f:  # place:name, frame bytes, kind
                place, size, _ = line.split("\t")
                sizes[place.split(":", 2)[2]] = int(size)
    return sizes


def argument_slots(arguments):
    """4-byte stack slots the arguments of a call take: one each, two for a 64-bit value."""
    types = [a.split()[0] for a in re.split(r",\s*(?![^()]*\))", arguments) if a.strip()]
    return sum(2 if t in ("i64", "double") else 1 for t in types)


def call_graph(image):
    """Per function defined in the image, its calls: (callee or None for the firmware, slots)."""
    compile_flags = [f for f in image["compile"] if f != "-fstack-usage"]
    graph = {}
    for source in image["sources"]:
        ir = subprocess.run(["clang++", *compile_flags, "-S", "-emit-llvm", "-o", "-", source],
                            capture_output=True, text=True, check=True).stdout
        function = None
        for line in ir.splitlines():
            if match := DEFINE.match(line):
                function = match.group(1).strip('"')
                graph[function] = []
            elif line == "}":
                function = None
            elif function and (match := CALL.search(line)) and not match.group(1).startswith("llvm."):
                callee = match.group(1).strip('"') if f"@{match.group(1)}(" in line else None
                graph[function].append((callee, argument_slots(match.group(2))))
    return graph


def deepest_stack(arch, facts=None):
    """The bytes of stack the image of `arch` uses at most, and the chain that uses them."""
    image = (facts or build_facts())["images"][arch]
    row = IMAGES[arch]
    sizes, graph = frames(image["folder"]), call_graph(image)
    call_cost = row["return_address_bytes"]

    def depth(name, seen=()):
        assert name not in seen, f"recursion through {name}"
        best, chain = 0, []
        for callee, slots in graph[name]:
            cost = call_cost + slots * row.get("stack_argument_bytes", 0)
            inner, inner_chain = (0, ["firmware"]) if callee is None else depth(callee, seen + (name,))
            if cost + inner > best or not chain:
                best, chain = cost + inner, inner_chain
        return sizes[name] + best, [readable(name)] + chain

    used, chain = depth(ENTRY)
    return used + call_cost, chain  # and the firmware's return address into the entry point


def readable(name):
    """A function's name as written in the source, from its decorated name (Microsoft's or Itanium's)."""
    if name.startswith("?"):
        return name[1:name.index("@@")]
    if match := re.match(r"_Z(\d+)", name):
        return name[match.end():match.end() + int(match.group(1))]
    return name


if __name__ == "__main__":
    for arch in sys.argv[1:] or IMAGES:
        used, chain = deepest_stack(arch)
        print(f"{arch}: {used} bytes: {' > '.join(chain)}")
