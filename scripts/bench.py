#!/usr/bin/python3
"""Measures the image, its stack, its firmware calls and its console latency beside the UEFI Shell,
prints one table and writes it to BUILD/bench.txt.

    bench.py BUILD_FOLDER
"""
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path[:0] = [os.path.join(ROOT, "scripts"), os.path.join(ROOT, "tests", "e2e")]
from peinfo import read_pe  # noqa: E402
from stack_depth import deepest_stack  # noqa: E402

ECHO_KEYS = 60
# Letters that never occur in the escape sequences the firmware writes, so an echo is unmistakable.
KEYS = b"abcdefgnopqrstuvwxyz"


def round_up(n, alignment):
    return -(-n // alignment) * alignment


def image_rows(build):
    image = read_pe(os.path.join(build, "tarnwick.efi"))
    smallest = round_up(image.size_of_headers, image.file_alignment) + sum(
        round_up(s.virtual_size, image.file_alignment) for s in image.sections if s.raw_size)
    rows = [("image size", f"{image.size} bytes (smallest for this content: {smallest})")]
    for s in image.sections:
        rows.append((f"  section {s.name}", f"virtual {s.virtual_size} bytes, raw {s.raw_size} bytes"))
    return rows


def stack_rows(build):
    used, chain = deepest_stack(build)
    return [("deepest stack", f"{used} bytes: {' > '.join(chain)}")]


def call_rows(build):
    output = subprocess.run([os.path.join(build, "tarnwick_call_counts")], capture_output=True, text=True,
                            check=True).stdout
    rows = []
    for line in output.splitlines():
        what, calls, characters, key_calls = line.split("\t")
        rows.append((what, f"{calls} OutputString calls, {characters} characters, {key_calls} key-input calls"))
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


def console_rows(build):
    from shell import Shell

    with tempfile.TemporaryDirectory() as folder:
        shutil.copy(os.path.join(build, "tarnwick.efi"), os.path.join(folder, "tarnwick.efi"))
        shell = Shell(folder)
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


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.machine())
    qemu = subprocess.run(["qemu-system-x86_64", "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    return f"{cpu}, {os.cpu_count()} cores; {qemu}, TCG without KVM; OVMF from Debian's ovmf package"


def main(build):
    sections = [
        ("Image", image_rows(build)),
        ("Stack", stack_rows(build)),
        ("Firmware calls (host fake)", call_rows(build)),
        ("Console under QEMU+OVMF, one boot started in the UEFI Shell", console_rows(build)),
    ]
    width = max(len(what) for _, rows in sections for what, _ in rows)
    lines = [f"Tarnwick benchmark, {time.strftime('%Y-%m-%d')}", f"Machine: {machine()}", ""]
    for title, rows in sections:
        lines.append(title)
        lines += [f"  {what.ljust(width)}  {value}" for what, value in rows]
        lines.append("")
    table = "\n".join(lines)
    print(table)
    with open(os.path.join(build, "bench.txt"), "w") as f:
        f.write(table)


if __name__ == "__main__":
    main(sys.argv[1])
