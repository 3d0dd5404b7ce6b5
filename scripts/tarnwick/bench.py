# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Measures the images, their stack, the firmware calls behind each answer and keystroke, the boot
of every machine of the platform table and the console latency beside the UEFI Shell; prints one
table and writes it to BUILD/bench.txt.

    python3 -m tarnwick.bench
"""
import os
import platform
import re
import statistics
import subprocess
import tempfile
import time

import pefile

from . import BUILD, images
from .console import boot_to_prompt
from .elf2efi import round_up
from .machines import DEFAULT, MACHINES, QEMU, missing
from .shell import Shell
from .stack import deepest_stack

SIZE_GOAL, SIZE_BUDGET = 3072, 3584
ECHO_KEYS = 60
# Letters that never occur in the escape sequences the firmware writes, so an echo is unmistakable.
KEYS = b"abcdefgnopqrstuvwxyz"


def floor(pe):
    """The smallest file this image's content could make (a pefile.PE): its headers and each
    section's content, every one rounded up to the file alignment."""
    alignment = pe.OPTIONAL_HEADER.FileAlignment
    return round_up(pe.OPTIONAL_HEADER.SizeOfHeaders, alignment) + sum(
        round_up(s.Misc_VirtualSize, alignment) for s in pe.sections if s.SizeOfRawData)


def section_name(section):
    return section.Name.rstrip(b"\0").decode()


def image_rows():
    rows = []
    for arch, image in images().items():
        pe = pefile.PE(image)
        used, chain = deepest_stack(arch)
        rows += [(f"{os.path.basename(image)} ({arch})",
                  f"{len(pe.__data__)} bytes (goal {SIZE_GOAL}, budget {SIZE_BUDGET}), "
                  f"the smallest for its content {floor(pe)}"),
                 ("  sections", ", ".join(f"{section_name(s)} {s.Misc_VirtualSize}/{s.SizeOfRawData}"
                                          for s in pe.sections) + " bytes virtual/raw"),
                 ("  deepest stack", f"{used} bytes: {' > '.join(chain)}")]
    return rows


def call_rows():
    output = subprocess.run([os.path.join(BUILD, "tarnwick_call_counts")], capture_output=True, text=True,
                            check=True).stdout
    rows = []
    for line in output.splitlines():
        what, calls, characters, key_calls = line.split("\t")
        rows.append((what, f"{calls} OutputString calls, {characters} characters, {key_calls} key-input calls"))
    return rows


def boot_rows():
    rows = []
    for name, machine in MACHINES.items():
        if missing(machine):
            rows.append((f"{name} ({machine['name']})", "no firmware in this release"))
            continue
        console = boot_to_prompt(machine, [os.path.join(BUILD, "tarnwick.img")])
        console.close()
        rows.append((f"{name} ({machine['name']})", f"{console.prompt_seconds:.1f} s"))
    return rows


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def echo_latencies(console):
    """Seconds from sending each key to its echo, one key at a time."""
    latencies = []
    for n in range(ECHO_KEYS):
        key = KEYS[n % len(KEYS):n % len(KEYS) + 1]
        mark = len(console.transcript)
        started = time.perf_counter()
        console.child.send(key)
        console.wait_until(lambda: key in console.transcript[mark:], 5, f"the echo of {key!r}")
        latencies.append(time.perf_counter() - started)
        console.pump(0.02)
    return latencies


def timed(console, data, condition, what):
    started = time.perf_counter()
    console.child.send(data)
    console.wait_until(condition, 30, what)
    return time.perf_counter() - started


def console_rows():
    with tempfile.TemporaryDirectory() as folder:
        shell = Shell(MACHINES[DEFAULT], folder)
        try:
            console = shell.console
            shell_echo = echo_latencies(console)
            console.type(b"\x08" * ECHO_KEYS)
            console.wait_until(lambda: console.cursor_line() == "FS0:\\> ", 10, "the cleared Shell line")
            mark = len(console.transcript)
            launch = timed(console, b"tarnwick.efi\r",
                           lambda: b"0 > " in console.transcript[mark:] and console.cursor_line() == "0 > ",
                           "the first prompt")
            our_echo = echo_latencies(console)
            mark = len(console.transcript)
            console.type(b"\r")
            console.wait_for_prompt(start=mark)
            mark = len(console.transcript)
            help_time = timed(console, b"help\r",
                              lambda: re.search(rb"return to firmware\r*\n", console.transcript[mark:]),
                              "the end of the help answer")
            console.wait_for_prompt(start=mark)
            mark = len(console.transcript)
            console.type(b"bye\r")
            shell.wait_for_shell_prompt(mark)
        finally:
            shell.close()

    def spread(values):
        return f"median {ms(statistics.median(values))}, 95th percentile {ms(percentile(values, 0.95))}"

    return [
        ("launch from the Shell to the first prompt", ms(launch)),
        (f"echo latency, monitor ({ECHO_KEYS} keys)", spread(our_echo)),
        (f"echo latency, UEFI Shell ({ECHO_KEYS} keys)", spread(shell_echo)),
        ("echo latency ratio, monitor / Shell",
         f"{statistics.median(our_echo) / statistics.median(shell_echo):.2f} at the median, "
         f"{percentile(our_echo, 0.95) / percentile(shell_echo, 0.95):.2f} at the 95th percentile"),
        ("Enter to the end of the help answer", ms(help_time)),
    ]


def machine_line():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.machine())
    qemu = subprocess.run([QEMU[MACHINES[DEFAULT]["arch"]][0], "--version"], capture_output=True,
                          text=True).stdout.split("\n")[0]
    return f"{cpu}, {os.cpu_count()} cores; {qemu}, TCG without KVM; firmware from Debian's packages"


def main():
    sections = [
        ("Images", image_rows()),
        ("Firmware calls (host fake)", call_rows()),
        ("From QEMU's start to the first prompt, booted from the disk image", boot_rows()),
        (f"Console of {DEFAULT} ({MACHINES[DEFAULT]['name']}), one boot started in "
         "the UEFI Shell", console_rows()),
    ]
    width = max(len(what) for _, rows in sections for what, _ in rows)
    lines = [f"Tarnwick benchmark, {time.strftime('%Y-%m-%d')}", f"Machine: {machine_line()}", ""]
    for title, rows in sections:
        lines.append(title)
        lines += [f"  {what.ljust(width)}  {value}" for what, value in rows]
        lines.append("")
    table = "\n".join(lines)
    print(table)
    with open(os.path.join(BUILD, "bench.txt"), "w") as f:
        f.write(table)


if __name__ == "__main__":
    main()
