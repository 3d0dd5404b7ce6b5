# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The deepest stack an image uses below the firmware's call into it: the frame sizes the compiler
gave its functions (the .stack_sizes section of the linked image) along the deepest chain of the
call graph of the code it generated them from (the link's optimised LLVM IR, linked.ll). The graph
holds every call the image makes, since it links no runtime that could add hidden ones. Each call
adds the return address the architecture pushes and, where arguments go on the stack, a slot for
each argument; a tail call counts as a call. The figure is an upper bound, not an estimate.

    python3 -m tarnwick.stack [ARCH ...]
"""
import os
import re
import sys

from elftools.elf.elffile import ELFFile

from . import BUILD, images

DEFINE = re.compile(r'^define\b[^@]*@("[^"]+"|[\w.$?@]+)\(')
CALL = re.compile(r'\bcall\b.*?[@%]("[^"]+"|[\w.$?@]+)\((.*)\)')
ENTRY = "monitor_entry"
# Per ELF machine: the return address a call pushes, and the bytes of a stack argument slot where
# arguments go on the stack rather than into the caller's own frame.
CALL_COSTS = {"EM_X86_64": (8, 0), "EM_386": (4, 4)}


def frames(linked):
    """Each function's frame in bytes, from the image's .stack_sizes section: per function its
    address, a word, and the size, an unsigned LEB128 number; and the call costs of its machine."""
    with open(linked, "rb") as f:
        elf = ELFFile(f)
        names = {symbol["st_value"] & ~1: symbol.name for symbol in elf.get_section_by_name(".symtab").iter_symbols()
                 if symbol["st_info"]["type"] == "STT_FUNC"}
        data, word, at, sizes = elf.get_section_by_name(".stack_sizes").data(), elf.elfclass // 8, 0, {}
        while at < len(data):
            address, size, shift, at = int.from_bytes(data[at:at + word], "little"), 0, 0, at + word
            while True:
                size, shift, at = size | (data[at] & 0x7F) << shift, shift + 7, at + 1
                if data[at - 1] < 0x80:
                    break
            sizes[names[address & ~1]] = size
        return sizes, CALL_COSTS.get(elf["e_machine"], (0, 0))


def slots(arguments):
    """Stack slots the arguments of a call take: one each, two for a 64-bit value."""
    types = [a.split()[0] for a in re.split(r",\s*(?![^()]*\))", arguments) if a.strip()]
    return sum(2 if t in ("i64", "double") else 1 for t in types)


def call_graph(ir):
    """Per function of the image, its calls: (callee, or None for the firmware, argument slots)."""
    graph, function = {}, None
    with open(ir) as f:
        for line in f:
            if match := DEFINE.match(line):
                function = match.group(1).strip('"')
                graph[function] = []
            elif line.startswith("}"):
                function = None
            elif function and (match := CALL.search(line)) and not match.group(1).startswith("llvm."):
                callee = match.group(1).strip('"') if f"@{match.group(1)}(" in line else None
                graph[function].append((callee, slots(match.group(2))))
    return graph


def deepest_stack(arch, build=BUILD):
    """The bytes of stack the image of `arch` uses at most, and the chain that uses them."""
    folder = os.path.join(build, f"image-{arch}")
    sizes, (return_address, slot) = frames(os.path.join(folder, "linked.elf"))
    graph = call_graph(os.path.join(folder, "linked.ll"))

    def depth(name, seen=()):
        assert name not in seen, f"recursion through {name}"
        best, chain = 0, ["firmware"]
        for callee, arguments in graph[name]:
            inner, inner_chain = (0, ["firmware"]) if callee is None else depth(callee, seen + (name,))
            if return_address + arguments * slot + inner > best:
                best, chain = return_address + arguments * slot + inner, inner_chain
        return sizes[name] + best, [readable(name)] + chain

    used, chain = depth(ENTRY)
    return used + return_address, chain  # and the firmware's return address into the entry point


def readable(name):
    """A function's name as written in the source, from its Itanium-decorated name."""
    match = re.match(r"_Z(\d+)", name)
    return name[match.end():match.end() + int(match.group(1))] if match else name


if __name__ == "__main__":
    for arch in sys.argv[1:] or images():
        used, chain = deepest_stack(arch)
        print(f"{arch}: {used} bytes: {' > '.join(chain)}")
