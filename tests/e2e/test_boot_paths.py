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
                    subprocess.Popen([*inside, *http], env=dict(os.environ, PYTHONPATH=os.path.join(ROOT, "scripts")))]
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
        answers_then_returns(console, f"dnsmasq {boot}", MACHINE["returned"].encode())
    finally:
        console.close()


# What the Linux of the installer's row takes from this machine beside busybox: the tools that
# tarnwick-install calls which busybox lacks or differs in, and the modules for a virtio disk, FAT
# and EFI variables from the kernel package.
LINUX_TOOLS = ["efibootmgr", "findmnt", "lsblk", "mountpoint", "stat"]
LINUX_MODULES = ["virtio*.ko*", "fat.ko*", "vfat.ko*", "nls_cp437.ko*", "nls_ascii.ko*", "efivarfs.ko*"]
STUB = "/usr/lib/systemd/boot/efi/linuxx64.efi.stub"


def copy_with_libraries(program, root):
    libraries = subprocess.run(["ldd", program], capture_output=True, text=True).stdout
    for path in [program, *re.findall(r"(/\S+) \(0x", libraries)]:
        (root / path.lstrip("/")).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(path, root / path.lstrip("/"))
        (root / path.lstrip("/")).chmod(0o755)


@pytest.fixture(scope="module")
def linux_disk(packaged, tmp_path_factory):
    """A GPT disk whose ESP starts Debian's kernel of this release as a unified kernel image (ukify
    where the release has it, else objcopy onto systemd's stub), its initramfs busybox, the tools
    and modules above, the package and the /init script."""
    work, folder = tmp_path_factory.mktemp("linux"), os.path.join(BUILD, "unpacked")
    root = work / "initramfs"
    shutil.copytree(packaged.root, root, symlinks=True)
    for name in ("bin", "dev", "proc", "sys", "lib/modules"):
        (root / name).mkdir(parents=True, exist_ok=True)
    shutil.copyfile(unpacked(folder, "busybox"), root / "bin/busybox")
    shutil.copyfile(os.path.join(ROOT, "tests/e2e/linux-init"), root / "init")
    for program in [root / "bin/busybox", root / "init"]:
        program.chmod(0o755)
    (root / "bin/sh").symlink_to("busybox")
    for tool in LINUX_TOOLS:
        copy_with_libraries(shutil.which(tool), root)
    for pattern in LINUX_MODULES:
        for module in glob.glob(os.path.join(folder, "**/modules/*/kernel/**", pattern), recursive=True):
            data = open(module, "rb").read()
            name = os.path.basename(module).removesuffix(".xz")
            (root / "lib/modules" / name).write_bytes(lzma.decompress(data) if module.endswith(".xz") else data)
    files = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    (work / "initrd").write_bytes(subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=files,
                                                 capture_output=True, check=True).stdout)
    kernel, uki, cmdline = unpacked(folder, "linux"), work / "esp" / BOOT_FILE, "console=ttyS0 quiet"
    uki.parent.mkdir(parents=True)
    if shutil.which("ukify"):
        subprocess.run(["ukify", "build", f"--linux={kernel}", f"--initrd={work / 'initrd'}", f"--cmdline={cmdline}",
                        f"--output={uki}"], check=True, capture_output=True)
    else:
        (work / "cmdline").write_text(cmdline)
        subprocess.run(["objcopy", "--add-section", f".cmdline={work / 'cmdline'}", "--change-section-vma",
                        ".cmdline=0x30000", "--add-section", f".linux={kernel}", "--change-section-vma",
                        ".linux=0x2000000", "--add-section", f".initrd={work / 'initrd'}", "--change-section-vma",
                        ".initrd=0x3000000", STUB, str(uki)], check=True)
    make_disk(str(work / "disk.img"), str(work / "esp"))
    return str(work / "disk.img")


@pytest.mark.parametrize("name", [DEFAULT] if DEFAULT in selected() else [])
def test_linux_installs_it_the_firmware_starts_it_and_linux_removes_it(name, linux_disk):
    # The disk Linux finds as /dev/vda, written through QEMU's overlay for the run.
    machine = dict(MACHINES[name], disk="virtio-blk-pci")
    console = Console(machine, [linux_disk])
    try:
        console.wait_for_prompt(timeout=2 * BOOT_SECONDS)
        installed = bytes(console.transcript).decode(errors="replace")
        assert "Added the firmware boot entry Boot" in installed
        number = re.search(r"Boot([0-9A-F]{4})\* Tarnwick firmware monitor", installed).group(1)
        assert re.search(rf"BootOrder: [0-9A-F,]*,{number}\s", installed), "not last in the boot order"
        assert f'BdsDxe: starting Boot{number} "Tarnwick firmware monitor"' in installed
        answers_then_returns(console, "linux", MACHINE["returned"].encode())
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
