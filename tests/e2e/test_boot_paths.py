# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Tarnwick started the ways people start firmware tools, one boot each: on OVMF from systemd-boot's
menu on an EFI system partition that tarnwick-install prepared and from GRUB's menu as the package's
hook writes it (the media a person writes it to have rows of their own); and on every machine from
the network, as QEMU's DHCP and TFTP server and an HTTP server hand it out. A row says how the machine gets the
monitor, and what must come back after bye."""
import os
import re
import shutil
import subprocess
import time

import pytest

from tarnwick import BUILD, ROOT, model, netboot, qemu
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


# name, how the medium is made, what the menu shows and what picks Tarnwick there, what comes back
ROWS = [
    ("systemd-boot", systemd_boot, ENTRY, b"\r", ENTRY),
    ("grub", grub, ENTRY, b"\r", ENTRY),
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
