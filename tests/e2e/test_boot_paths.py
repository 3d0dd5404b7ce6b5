# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Tarnwick started the ways people start firmware tools, one boot each: on OVMF from systemd-boot's
menu on an EFI system partition that tarnwick-install prepared, from GRUB's menu as the package's
hook writes it, and from the ISO image as a CD-ROM; and on every machine from the network, as
QEMU's DHCP and TFTP server and an HTTP server hand it out. A row says how the machine gets the
monitor, and what must come back after bye."""
import glob
import lzma
import os
import re
import shutil
import subprocess
import time

import pytest
from elftools.elf.elffile import ELFFile

from tarnwick import BUILD, ROOT, model, netboot, qemu, varstore
from tarnwick.console import BOOT_SECONDS, Console
from tarnwick.disk import make_disk
from tarnwick.machines import DEFAULT, MACHINES, http_boot, missing, selected, unpacked

MACHINE = MACHINES[DEFAULT]

ENTRY = b"Tarnwick firmware monitor"
# The x64 boot loaders of Debian's systemd-boot-efi and grub-efi-amd64-bin, the removable-media loader.
SYSTEMD_BOOT, GRUB_PLATFORM = "/usr/lib/systemd/boot/efi/systemd-bootx64.efi", "x86_64-efi"
BOOT_FILE = "EFI/BOOT/BOOTX64.EFI"
# What grub-mkconfig's own header would set; the rest of the configuration is the hook's.
GRUB_HEADER = "set timeout=30\n"


def installed_esp(work, packaged, sysfs):
    """The EFI system partition as tarnwick-install leaves it; a row adds its boot loader, and the
    partition goes on a GPT disk as on a real machine."""
    esp = work / "esp"
    esp.mkdir()
    packaged.install(esp, "--no-variables", sysfs=sysfs)
    return esp


def systemd_boot(work, packaged, sysfs):
    esp = installed_esp(work, packaged, sysfs)
    (esp / "EFI/BOOT").mkdir()
    shutil.copyfile(SYSTEMD_BOOT, esp / BOOT_FILE)
    (esp / "loader/loader.conf").write_text("timeout 30\n")
    make_disk(str(work / "disk.img"), str(esp))
    return [str(work / "disk.img")]


def grub(work, packaged, sysfs):
    esp = installed_esp(work, packaged, sysfs)
    config = work / "grub.cfg"
    config.write_text(GRUB_HEADER + packaged.run("etc/grub.d/30_tarnwick", sysfs=sysfs, esp=esp).stdout)
    (esp / "EFI/BOOT").mkdir()
    subprocess.run(["grub-mkstandalone", "-O", GRUB_PLATFORM,
                    "--modules=part_gpt fat chain search search_fs_file normal", "-o", str(esp / BOOT_FILE),
                    f"boot/grub/grub.cfg={config}"], check=True)
    make_disk(str(work / "disk.img"), str(esp))
    return [str(work / "disk.img")]


def iso(work, packaged, sysfs):
    return [os.path.join(BUILD, "tarnwick.iso")]


# name, how the medium is made, what the menu shows and what picks Tarnwick there, what comes back
ROWS = [
    ("systemd-boot", systemd_boot, ENTRY, b"\r", ENTRY),
    ("grub", grub, ENTRY, b"\r", ENTRY),
    ("iso", iso, None, None, MACHINE["returned"].encode()),
] if DEFAULT in selected() else []


def answers_then_returns(console, name, back):
    """The greeting, one answer, and after bye what `back` says comes back."""
    print(f"{name}: the first prompt {time.monotonic() - console.started:.1f} s after QEMU started")
    assert console.lines()[:4] == model.greeting()
    console.enter("pwd")
    assert console.rows_above_cursor(2) == ["0 > pwd", "/", "0 >"]
    mark = len(console.transcript)
    console.type(b"bye\r")
    console.wait_for_transcript(back, timeout=BOOT_SECONDS, start=mark)


@pytest.mark.parametrize("name,medium,menu,pick,back", ROWS, ids=[row[0] for row in ROWS])
def test_picked_from_the_menu_it_answers_and_bye_returns_to_it(name, medium, menu, pick, back, packaged, efi_sysfs,
                                                               tmp_path):
    console = Console(MACHINE, medium(tmp_path, packaged, efi_sysfs))
    try:
        if menu:
            console.wait_for_transcript(menu, timeout=BOOT_SECONDS)
            console.pump(1)  # the menu reads keys once it is drawn, not while
            console.child.send(pick)
        console.wait_for_prompt(timeout=BOOT_SECONDS)
        answers_then_returns(console, name, back)
    finally:
        console.close()


# How each machine boots from the network: by TFTP on every machine, by UEFI HTTP Boot on EDK2 (where
# the build has it), and
# through Debian's iPXE for x64, started from a disk, whose script hands back to the firmware.
# What EDK2's HTTP Boot driver shows when it fetches the image, in every build (RISC-V 64's logs
# nothing of its boot manager).
HTTP_STARTED = rb"URI: http://"
NETWORK = [(boot, name) for name in selected(lambda row: "nic" in row) for boot in ("pxe", "http", "ipxe")
           if boot == "pxe" or (boot == "http" and MACHINES[name]["firmware"] == "edk2") or name == DEFAULT]


def ipxe(work):
    """An EFI system partition with Debian's iPXE as its removable-media loader: it asks DHCP for
    its address again and runs the script it is handed."""
    (work / "ipxe/EFI/BOOT").mkdir(parents=True)
    shutil.copyfile(unpacked(os.path.join(BUILD, "unpacked"), "ipxe"), work / "ipxe" / BOOT_FILE)
    return [str(work / "ipxe")]


def at_prompt(console):
    """Waits for the monitor's prompt; where U-Boot's autoboot stops at its own prompt instead (from
    2025.01 on it does not run a boot script that DHCP names), types what a person would."""
    u_boot, shell = console.machine["firmware"] == "u-boot", console.machine["returned"].encode()
    console.wait_until(lambda: console.cursor_line() == "0 > " or (u_boot and shell in console.transcript),
                       BOOT_SECONDS, "the prompt")
    if console.cursor_line() != "0 > ":
        console.type(netboot.U_BOOT_TYPED.encode() + b"\r")
        console.wait_for_prompt(timeout=BOOT_SECONDS)


@pytest.mark.parametrize("boot,name", NETWORK, ids=[f"{boot}-{name}" for boot, name in NETWORK])
def test_from_the_network_it_answers_and_bye_returns_to_the_firmware(boot, name, tmp_path):
    row = MACHINES[name]
    if missing(row):
        pytest.skip(missing(row))
    if boot == "http" and not http_boot(row):
        pytest.skip(f"{name}: this release's firmware has no UEFI HTTP Boot")
    netboot.write(str(tmp_path / "netboot"))
    with netboot.served(str(tmp_path / "netboot")) as port:
        template = qemu.http_boot_vars(row, str(tmp_path)) if boot == "http" else None
        targets = ipxe(tmp_path) if boot == "ipxe" else []
        console = Console(row, targets, qemu.network_options(row, boot, str(tmp_path / "netboot"), port), template)
        try:
            at_prompt(console)
            if boot == "http":
                assert re.search(HTTP_STARTED, console.transcript), "started otherwise than by HTTP Boot"
            answers_then_returns(console, f"{boot} {name}", row["returned"].encode())
        finally:
            console.close()


SERVER = netboot.DOCUMENTATION_ADDRESS


def rig_up(command):
    """Runs a step of setting up a network of the test's own; where this system cannot (a root that
    cannot make network namespaces or tap devices), the test is skipped, saying why in one line."""
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:
        pytest.skip(f"no network of its own here: {' '.join(command[-3:])}: "
                    f"{(done.stderr.strip().splitlines() or ['failed'])[-1]}")


@pytest.fixture
def rack(tmp_path):
    """A network of its own, in a network namespace made for the test and deleted after it: a tap
    device for the machine, dnsmasq serving the generated configuration on it, and an HTTP server at
    the server's address. Yields the command that runs a program in it."""
    if os.geteuid() != 0:
        pytest.skip("a network namespace of its own takes root")
    name, folder = f"tarnwick-{os.getpid()}", str(tmp_path / "netboot")
    netboot.write(folder, SERVER)
    inside = ["ip", "netns", "exec", name]
    rig_up(["ip", "netns", "add", name])
    servers = []
    try:
        for command in (["ip", "link", "set", "lo", "up"], ["ip", "tuntap", "add", "tap0", "mode", "tap"],
                        ["ip", "address", "add", f"{SERVER}/24", "dev", "tap0"], ["ip", "link", "set", "tap0", "up"]):
            rig_up([*inside, *command])
        dnsmasq = ["dnsmasq", "--keep-in-foreground", f"--conf-file={folder}/dnsmasq.conf", "--port=0",
                   "--interface=tap0", "--bind-interfaces", "--user=root", f"--dhcp-leasefile={tmp_path}/leases",
                   "--pid-file"]
        http = ["/usr/bin/python3", "-m", "tarnwick.netboot", "--server", SERVER, "--serve", folder]
        servers += [subprocess.Popen([*inside, *dnsmasq]),
                    subprocess.Popen([*inside, *http], env=dict(os.environ, PYTHONPATH=os.path.join(ROOT, "scripts")),
                                     stdout=subprocess.DEVNULL)]
        yield inside
    finally:
        for server in servers:
            server.terminate()
            server.wait()
        subprocess.run(["ip", "netns", "delete", name], check=True)


@pytest.mark.parametrize("boot", ["pxe", "http"] if DEFAULT in selected() else [])
def test_a_dnsmasq_of_its_own_serves_it_by_the_machines_architecture(boot, rack, tmp_path):
    template = qemu.http_boot_vars(MACHINE, str(tmp_path)) if boot == "http" else None
    console = Console(MACHINE, [], qemu.network_options(MACHINE, boot, tap="tap0"), template, wrapper=rack)
    try:
        console.wait_for_prompt(timeout=BOOT_SECONDS)
        started = re.findall(rb'BdsDxe: starting Boot[0-9A-F]{4} "UEFI (PXE|HTTP)', console.transcript)
        assert started[-1].decode() == boot.upper(), started
        answers_then_returns(console, f"dnsmasq {boot}", MACHINE["returned"].encode())
    finally:
        console.close()


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
    for name in ("bin", "dev", "proc", "sys", "lib/modules"):
        (root / name).mkdir(parents=True, exist_ok=True)
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
            name = os.path.basename(module).removesuffix(".xz")
            (root / "lib/modules" / name).write_bytes(lzma.decompress(data) if module.endswith(".xz") else data)
    files = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    (work / "initrd").write_bytes(subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=files,
                                                 capture_output=True, check=True).stdout)
    (work / "esp/EFI/BOOT").mkdir(parents=True)
    unified_kernel_image(linux, work / "initrd", f"console={console} quiet", row["arch"],
                         work / "esp/EFI/BOOT" / f"BOOT{row['arch'].upper()}.EFI")
    make_disk(str(work / "disk.img"), str(work / "esp"))
    return str(work / "disk.img")


@pytest.mark.parametrize("name", LINUX_MACHINES)
def test_linux_installs_it_the_firmware_starts_it_and_linux_removes_it(name, linux_disk):
    # The disk Linux finds as /dev/vda, written through QEMU's overlay for the run. Linux and its
    # image (60 MB on Debian 14) take more memory than the monitor: QEMU takes the last -m.
    machine = dict(MACHINES[name], disk=MACHINES[name]["linux"][2], qemu=[*MACHINES[name]["qemu"], "-m", "1G"])
    console = Console(machine, [linux_disk])
    try:
        console.wait_for_prompt(timeout=2 * BOOT_SECONDS)
        installed = bytes(console.transcript).decode(errors="replace")
        assert "Added the firmware boot entry Boot" in installed
        number = re.search(r"Boot([0-9A-F]{4})\* Tarnwick firmware monitor", installed).group(1)
        assert re.search(rf"BootOrder: [0-9A-F,]*,{number}\s", installed), "not last in the boot order"
        assert f'BdsDxe: starting Boot{number} "Tarnwick firmware monitor"' in installed
        answers_then_returns(console, "linux", machine["returned"].encode())
        console.qmp("system_reset")  # the firmware's boot order then starts Linux again
        console.wait_until(lambda: not console.pump(0.5), 3 * BOOT_SECONDS, "Linux to power off")
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
