#!/usr/bin/python3
"""The deepest stack the image uses below the firmware's call into it, from the compiler's
-fstack-usage frame sizes and the calls in the linked image's own code: each direct call adds a
return address and the callee's frame, a tail call the callee's frame in place of the caller's,
and a call into the firmware its return address.

    stack_depth.py BUILD_FOLDER
"""
import glob
import os
import re
import subprocess
import sys

CALL = re.compile(r"^\s*([0-9a-f]+):\s+(callq?|jmpq?)\s+(\S+)")


def readable(name):
    """A function's name as written in the source, from its decorated name."""
    return name[1:name.index("@@")] if name.startswith("?") else name


def frame_sizes(build):
    sizes = {}
    for path in glob.glob(os.path.join(build, "CMakeFiles", "tarnwick_image_objects.dir", "**", "*.su"),
                          recursive=True):
        with open(path) as f:
            for line in f:  # place:name, frame bytes, kind
                place, size, _ = line.split("\t")
                sizes[place.rsplit(":", 1)[1]] = int(size)
    return sizes


def function_addresses(build, names):
    addresses = {}
    with open(os.path.join(build, "tarnwick.map")) as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 3 and fields[1] in names and re.fullmatch(r"[0-9a-f]{16}", fields[2]):
                addresses[int(fields[2], 16)] = fields[1]
    return addresses


def deepest_stack(build):
    """Returns the bytes of stack used and the call chain that uses them."""
    sizes = frame_sizes(build)
    addresses = function_addresses(build, sizes)
    starts = sorted(addresses)
    disassembly = subprocess.run(["llvm-objdump", "-d", "--no-show-raw-insn", os.path.join(build, "tarnwick.efi")],
                                 capture_output=True, text=True, check=True).stdout
    edges = {name: [] for name in addresses.values()}
    for line in disassembly.splitlines():
        match = CALL.match(line)
        if not match:
            continue
        at, kind, target = int(match.group(1), 16), match.group(2), match.group(3)
        caller = addresses[max(s for s in starts if s <= at)]
        tail = kind.startswith("jmp")
        if target.startswith("*"):
            edges[caller].append((tail, None))
        elif int(target, 16) in addresses and addresses[int(target, 16)] != caller:
            edges[caller].append((tail, addresses[int(target, 16)]))

    def depth(name, seen=()):
        assert name not in seen, f"recursion through {name}"
        best, chain = sizes[name], [readable(name)]
        for tail, callee in edges[name]:
            if callee is None:
                below, below_chain = (0 if tail else sizes[name] + 8), ["firmware"]
            else:
                inner, inner_chain = depth(callee, seen + (name,))
                below, below_chain = (inner if tail else sizes[name] + 8 + inner), inner_chain
            if below > best:
                best, chain = below, [readable(name)] + below_chain
        return best, chain

    used, chain = depth("monitor_entry")
    return used + 8, chain  # and the firmware's return address into it


if __name__ == "__main__":
    used, chain = deepest_stack(sys.argv[1])
    print(f"{used} bytes: {' > '.join(chain)}")
