# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Tarnwick installed as a person installs it on a machine that runs Linux: Debian's kernel of this
release, started by the firmware from a disk, runs tarnwick-install with the real efibootmgr and
starts the new entry by BootNext; after bye and a reset it runs tarnwick-install --remove. A row is a
machine whose architecture Debian runs on EDK2; each has a test of its own, for its two Linux boots."""
import glob
import lzma
import os
import re
import shutil
import subprocess

import pytest
from elftools.elf.elffile import ELFFile
from test_boot_paths import answers_then_returns

from tarnwick import BUILD, ROOT, varstore
from tarnwick.console import BOOT_SECONDS, Console
from tarnwick.disk import make_disk
from tarnwick.machines import MACHINES, selected

# What the Linux of the installer's rows takes from its root beside busybox: Debian's /bin/sh and
# the tools that tarnwick-install calls, as a Debian system runs it (busybox's shell runs its own
# applets before any program of the same name, and they differ), and the modules for a virtio disk,
# FAT and EFI variables.
LINUX_TOOLS = ["dash", "efibootmgr", "findmnt", "lsblk", "mountpoint", "stat"]
LINUX_MODULES = ["virtio*.ko*", "fat.ko*", "vfat.ko*", "nls_cp437.ko*", "nls_ascii.ko*", "efivarfs.ko*"]
LINUX_MACHINES = selected(lambda row: "linux" in row)
LIBRARY_FOLDERS = ["usr/lib/*-linux-gnu", "lib/*-linux-gnu", "usr/lib", "lib"]


def in_root(root, *patterns):
    """The file of the unpacked root `root` at the first of `patterns` (shell patterns) found, its
    symbolic links followed inside the root."""
    for pattern in patterns:
        for path in sorted(glob.glob(os.path.join(root, pattern.lstrip("/"))), reverse=True):
            for _ in range(40):
                if not os.path.islink(path):
                    break
                target = os.readlink(path)
                path = os.path.join(root, target.lstrip("/")) if target.startswith("/") else os.path.join(
                    os.path.dirname(path), target)
            if os.path.isfile(path):
                return path
    raise FileNotFoundError(f"none of {patterns} in {root}")


def dynamic(program):
    """The dynamic loader a program asks for, if any, and the libraries it needs."""
    with open(program, "rb") as f:
        elf = ELFFile(f)
        loader = next((s.get_interp_name() for s in elf.iter_segments() if s["p_type"] == "PT_INTERP"), None)
        found = elf.get_section_by_name(".dynamic")
        return loader, [tag.needed for tag in (found.iter_tags() if found else []) if tag.entry.d_tag == "DT_NEEDED"]


def copy_with_libraries(linux, tool, initramfs):
    """Copies `tool` of the root `linux` to /usr/bin of the initramfs, its dynamic loader where it
    asks for it and the libraries it loads, each once, to /lib, where the loader looks."""
    programs = (f"{folder}/{tool}" for folder in ("usr/bin", "bin", "usr/sbin", "sbin"))
    wanted, copied = [(in_root(linux, *programs), f"usr/bin/{tool}")], set()
    while wanted:
        source, path = wanted.pop()
        if path in copied:
            continue
        copied.add(path)
        (initramfs / path).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, initramfs / path)
        (initramfs / path).chmod(0o755)
        loader, libraries = dynamic(source)
        if loader:
            wanted.append((in_root(linux, loader, "usr" + loader), loader.lstrip("/")))
        for library in libraries:
            found = in_root(linux, *(f"{folder}/{library}" for folder in LIBRARY_FOLDERS))
            wanted.append((found, f"lib/{library}"))


def unified_kernel_image(linux, initrd, cmdline, arch, output):
    """Debian's kernel of the root `linux`, its initramfs and command line, on systemd's stub: by
    ukify where the release has it, else by llvm-objcopy, which writes PE for every architecture."""
    kernel = in_root(linux, "boot/vmlinuz-*", "usr/lib/modules/*/vmlinuz")
    stub = in_root(linux, f"usr/lib/systemd/boot/efi/linux{arch}.efi.stub")
    if shutil.which("ukify"):
        subprocess.run(["ukify", "build", f"--linux={kernel}", f"--initrd={initrd}", f"--cmdline={cmdline}",
                        f"--stub={stub}", f"--output={output}"], check=True, capture_output=True)
        return
    (initrd.parent / "cmdline").write_text(cmdline)
    sections = {".cmdline": (initrd.parent / "cmdline", "data"), ".linux": (kernel, "code"),
                ".initrd": (initrd, "data")}
    subprocess.run(["llvm-objcopy", *[option for name, (path, kind) in sections.items() for option in (
        "--add-section", f"{name}={path}", "--set-section-flags", f"{name}={kind},readonly")], stub, str(output)],
        check=True)


@pytest.fixture
def linux_disk(name, packaged, tmp_path):
    """A GPT disk whose ESP starts Debian's kernel of this release for the machine `name` as a
    unified kernel image, its initramfs busybox, the tools and modules above, the package and the
    /init script."""
    row = MACHINES[name]
    debian_arch, console, _ = row["linux"]
    work, linux = tmp_path, os.path.join(BUILD, "unpacked", f"linux-{debian_arch}")
    root = work / "initramfs"
    shutil.copytree(packaged.root, root, symlinks=True)
    for folder in ("bin", "dev", "proc", "sys", "lib/modules"):
        (root / folder).mkdir(parents=True, exist_ok=True)
    shutil.copyfile(in_root(linux, "usr/bin/busybox", "bin/busybox"), root / "bin/busybox")
    shutil.copyfile(os.path.join(ROOT, "tests/e2e/linux-init"), root / "init")
    for program in [root / "bin/busybox", root / "init"]:
        program.chmod(0o755)
    (root / "bin/sh").symlink_to("/usr/bin/dash")
    for tool in LINUX_TOOLS:
        copy_with_libraries(linux, tool, root)
    for pattern in LINUX_MODULES:
        for module in glob.glob(os.path.join(linux, "**/modules/*/kernel/**", pattern), recursive=True):
            data = open(module, "rb").read()
            loaded = root / "lib/modules" / os.path.basename(module).removesuffix(".xz")
            loaded.write_bytes(lzma.decompress(data) if module.endswith(".xz") else data)
    files = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    (work / "initrd").write_bytes(subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=files,
                                                 capture_output=True, check=True).stdout)
    (work / "esp/EFI/BOOT").mkdir(parents=True)
    # Quiet, but a program blocked for 30 s in the kernel (in the firmware's variable services, say)
    # is reported with its stack, so that a row that waits in vain says where Linux stopped.
    unified_kernel_image(linux, work / "initrd", f"console={console} quiet sysctl.kernel.hung_task_timeout_secs=30",
                         row["arch"],
                         work / "esp/EFI/BOOT" / f"BOOT{row['arch'].upper()}.EFI")
    make_disk(str(work / "disk.img"), str(work / "esp"))
    return str(work / "disk.img")


@pytest.mark.parametrize("name", LINUX_MACHINES)
def test_linux_installs_it_the_firmware_starts_it_and_linux_removes_it(name, linux_disk):
    # The disk Linux finds as /dev/vda, written through QEMU's overlay for the run. Linux and its
    # image (60 MB on Debian 14) take more memory than the monitor: QEMU takes the last -m.
    machine = dict(MACHINES[name], qemu=[*MACHINES[name]["qemu"], "-m", "1G"])
    console = Console(machine, [linux_disk], medium_name=machine["linux"][2])
    try:
        console.wait_for_prompt(timeout=2 * BOOT_SECONDS)
        installed = bytes(console.transcript).decode(errors="replace")
        assert "Added the firmware boot entry Boot" in installed
        number = re.search(r"Boot([0-9A-F]{4})\* Tarnwick firmware monitor", installed).group(1)
        assert re.search(rf"BootOrder: [0-9A-F,]*,{number}\s", installed), "not last in the boot order"
        assert f'BdsDxe: starting Boot{number} "Tarnwick firmware monitor"' in installed
        answers_then_returns(console, "linux", machine["returned"].encode())
        console.qmp("system_reset")  # the firmware's boot order then starts Linux again
        console.wait_until(lambda: not console.pump(0.5), BOOT_SECONDS, "Linux to power off")
        removed = bytes(console.transcript).decode(errors="replace")[len(installed):]
        assert "Removed Tarnwick from /boot/efi." in removed and "Tarnwick firmware monitor" not in removed
        listings = re.findall(r"ESP (?:before|after):\s+(.*?)ESP end", bytes(console.transcript).decode(), re.S)
        assert len(listings) == 2 and listings[0] == listings[1]
        print("efibootmgr after tarnwick-install:", *re.findall(r"^Boot\S*.*$", installed, re.M), sep="\n  ")
        print("efibootmgr after tarnwick-install --remove:", *re.findall(r"^Boot\S*.*$", removed, re.M), sep="\n  ")
        with open(console.vars_path, "rb") as f:  # what the firmware finds after a power cycle
            assert "Tarnwick firmware monitor".encode("utf-16-le") not in b"".join(
                data for _, state, name, _, data in varstore.variables(f.read())[0] if state == varstore.ADDED)
    finally:
        console.close()
