# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The Debian package: what it ships and from what build, how it installs and goes, and its tools,
tarnwick-install on a scratch EFI system partition and the GRUB hook, as a person runs them."""
import filecmp
import os
import re
import subprocess

import pytest

from conftest import DEB, NATIVE, VERSION
from tarnwick import BUILD, ROOT, images

IMAGE = f"EFI/tarnwick/tarnwick{NATIVE}.efi"
ENTRY = "loader/entries/tarnwick.conf"


def test_ships_the_images_make_builds_though_built_with_the_distributions_flags(packaged):
    with open(os.path.join(BUILD, "deb", "build.log")) as f:
        flags = next(line for line in f if line.startswith("Building with CXXFLAGS="))
    assert "-fstack-clash-protection" in flags and "-fcf-protection" in flags, flags
    shipped = sorted(os.listdir(os.path.join(packaged.root, "usr/lib/tarnwick")))
    assert shipped == sorted(os.path.basename(path) for path in images().values())
    for arch, image in images().items():
        shipped = os.path.join(packaged.root, f"usr/lib/tarnwick/tarnwick{arch}.efi")
        assert filecmp.cmp(shipped, image, shallow=False), arch


def tree(folder):
    """Every file and folder below `folder`, with the bytes of each file."""
    found = {}
    for path, folders, files in os.walk(folder):
        for name in folders + files:
            full = os.path.join(path, name)
            found[os.path.relpath(full, folder)] = open(full, "rb").read() if name in files else None
    return found


def test_installing_removing_and_purging_leaves_nothing_behind(tmp_path):
    root = tmp_path / "root"
    for folder in ("info", "updates", "triggers"):
        (root / "var/lib/dpkg" / folder).mkdir(parents=True)
    (root / "var/lib/dpkg/status").write_text("")
    before = tree(root)

    def dpkg(*args):
        subprocess.run(["dpkg", f"--root={root}", "--force-script-chrootless", "--force-not-root", *args], check=True,
                       capture_output=True)

    dpkg("--install", DEB)
    assert os.access(root / "usr/sbin/tarnwick-install", os.X_OK) and (root / "etc/grub.d/30_tarnwick").exists()
    dpkg("--remove", "tarnwick")
    assert (root / "etc/grub.d/30_tarnwick").exists(), "a configuration file stays until the package is purged"
    dpkg("--purge", "tarnwick")
    left = {path for path in tree(root) if not path.startswith("var/lib/dpkg")}
    assert left == {path for path in before if not path.startswith("var/lib/dpkg")}


@pytest.fixture
def esp(tmp_path):
    """A scratch EFI system partition that already holds a boot loader and its settings."""
    esp = tmp_path / "esp"
    (esp / "EFI/BOOT").mkdir(parents=True)
    (esp / "EFI/BOOT/BOOTX64.EFI").write_bytes(b"someone else's loader")
    (esp / "loader").mkdir()
    (esp / "loader/loader.conf").write_text("timeout 5\n")
    return esp


def test_install_then_remove_leaves_the_partition_as_it_was(packaged, esp, efi_sysfs):
    before = tree(esp)
    for _ in range(2):  # installing again changes nothing
        packaged.install(esp, "--no-variables", sysfs=efi_sysfs)
    assert filecmp.cmp(esp / IMAGE, os.path.join(packaged.root, "usr/lib/tarnwick", os.path.basename(IMAGE)),
                       shallow=False)
    entry = (esp / ENTRY).read_text()
    assert "title      Tarnwick firmware monitor\n" in entry and f"efi        /{IMAGE}\n" in entry
    assert f"version    {VERSION}\n" in entry
    packaged.install(esp, "--no-variables", "--remove", sysfs=efi_sysfs)
    assert tree(esp) == before


FIRMWARE_ENTRIES = "BootOrder: 0000,0001\nBoot0000* UiApp\tFv()\nBoot0001* UEFI QEMU HARDDISK\tPci()\n"


def firmware_tools(tmp_path, sysfs, on_create=""):
    """EFI variables, and efibootmgr, findmnt and lsblk standing in for the real ones: the firmware's
    boot entries are kept in a file as efibootmgr prints them, each call logged. `on_create` runs
    when an entry is made. Returns the PATH that finds them, the entries and the log."""
    (sysfs / "firmware/efi/efivars").mkdir()
    (sysfs / "class/block/vda1").mkdir(parents=True)
    (sysfs / "class/block/vda1/partition").write_text("1\n")
    stubs, log, entries = tmp_path / "bin", tmp_path / "calls", tmp_path / "entries"
    stubs.mkdir()
    entries.write_text(FIRMWARE_ENTRIES)
    for name, body in {
        "efibootmgr": f'printf "%s\\n" "$*" >>{log}\ncase "$*" in\n'
                      f'  *--create-only*) {on_create}\n'
                      f'    printf "Boot0002* Tarnwick firmware monitor\\tHD(1)\\n" >>{entries} ;;\n'
                      f'  *--delete-bootnum*) sed -i "/^Boot$3/d" {entries} ;;\n'
                      f'  *--bootorder*) sed -i "s/^BootOrder: .*/BootOrder: $3/" {entries} ;;\nesac\ncat {entries}',
        "findmnt": "echo /dev/vda1",
        "lsblk": "echo vda",
    }.items():
        (stubs / name).write_text(f"#!/bin/sh\n{body}\n")
        (stubs / name).chmod(0o755)
    return {"PATH": f"{stubs}:{os.environ['PATH']}"}, entries, log


def test_firmware_boot_entry_goes_last_in_the_boot_order_and_away_again(packaged, esp, efi_sysfs, tmp_path):
    path, entries, log = firmware_tools(tmp_path, efi_sysfs)
    packaged.install(esp, sysfs=efi_sysfs, env=path)
    calls = log.read_text().splitlines()
    loader = "\\" + IMAGE.replace("/", "\\")
    assert (f"--quiet --create-only --disk /dev/vda --part 1 --loader {loader} --label Tarnwick firmware monitor"
            in calls)
    assert calls[-1] == "--quiet --bootorder 0000,0001,0002"
    packaged.install(esp, "--remove", sysfs=efi_sysfs, env=path)
    assert log.read_text().splitlines()[-1] == "--quiet --bootnum 0002 --delete-bootnum"


def put(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


@pytest.fixture
def small_esp(tmp_path):
    """An ESP of its own file system, 64 KiB of tmpfs, unmounted afterwards."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system for the ESP takes root")
    point = tmp_path / "small"
    point.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tarnwick-test", str(point)], check=True)
    yield point
    subprocess.run(["umount", str(point)], check=True)


FAILING_CREATE = 'echo "Could not prepare Boot variable: No space left on device" >&2; exit 5'
# The stand-in makes the entry, then the run is interrupted, as by Ctrl-C or a shutdown.
INTERRUPTING_CREATE = ('printf "Boot0002* Tarnwick firmware monitor\\tHD(1)\\n" >>{entries}; '
                       'pkill -TERM -f -- "--esp-path={esp}"; sleep 1; exit 1')
# What each case must say; all or nothing, whatever it is.
REFUSALS = {
    "no ESP": "no EFI system partition is mounted",
    "not FAT": "is not on a FAT file system",
    "no image": "there is no Tarnwick image for this machine",
    "no EFI variables": "has no EFI variables",
    "a file of someone else's": "is not one of Tarnwick's files",
    "a full ESP": "KiB free and Tarnwick needs",
    "a read-only ESP": "is read-only; remount it read-write",
    "efibootmgr failing": "efibootmgr could not add the firmware boot entry: Could not prepare Boot variable: No space",
    "interrupted": "nothing was changed",
    "an option it does not know": "no option '--bogus'; tarnwick-install --help lists them",
}


@pytest.mark.parametrize("case", REFUSALS)
def test_refuses_with_a_clear_error_and_changes_nothing(case, packaged, esp, efi_sysfs, tmp_path, request):
    args, env = ["--no-variables"], {}
    if case in ("a full ESP", "a read-only ESP"):
        esp = request.getfixturevalue("small_esp")
        put(esp / "EFI/BOOT/BOOTX64.EFI", b"someone else's loader")
    if case == "a full ESP":  # 4 KiB left, as on an ESP that holds several kernels
        stats = os.statvfs(esp)
        put(esp / "vmlinuz", bytes(stats.f_bavail * stats.f_frsize - 4096))
    if case == "no ESP":  # a root whose /boot/efi is a plain folder, not a mounted partition
        (tmp_path / "root/boot/efi").mkdir(parents=True)
        command = ["usr/sbin/tarnwick-install", f"--root={tmp_path / 'root'}"]
    else:
        command = ["usr/sbin/tarnwick-install", f"--root={packaged.root}", f"--esp-path={esp}"]
    if case == "not FAT":
        env["TARNWICK_RELAX_ESP_CHECKS"] = ""
    if case == "no image":
        put(tmp_path / "root/usr/lib/tarnwick/tarnwickarm.efi", b"an image for another machine")
        command[1] = f"--root={tmp_path / 'root'}"
    if case in ("no EFI variables", "efibootmgr failing", "interrupted"):
        args = []
    if case == "an option it does not know":
        args = ["--bogus"]
    if case in ("efibootmgr failing", "interrupted"):
        on_create = FAILING_CREATE if case == "efibootmgr failing" else \
            INTERRUPTING_CREATE.format(entries=tmp_path / "entries", esp=esp)
        env, entries, _ = firmware_tools(tmp_path, efi_sysfs, on_create)
    if case == "a file of someone else's":
        put(esp / IMAGE, b"not ours")
    if case == "a read-only ESP":
        subprocess.run(["mount", "-o", "remount,ro", str(esp)], check=True)
    before = tree(esp)
    result = packaged.run(*command, *args, sysfs=efi_sysfs, env=env, check=False)
    assert result.returncode != 0 and REFUSALS[case] in result.stderr, result.stderr
    assert len(result.stderr.splitlines()) == 1, result.stderr
    print(f"{case}: {result.stderr.strip()}")
    assert tree(esp) == before
    if case in ("efibootmgr failing", "interrupted"):
        assert entries.read_text() == FIRMWARE_ENTRIES
    if case in ("a full ESP", "efibootmgr failing", "interrupted"):  # and --remove after it leaves nothing either
        packaged.run(*command, *args, "--remove", sysfs=efi_sysfs, env=env)
        assert tree(esp) == before


def test_every_option_it_takes_is_in_its_help_and_manual_page_and_it_tells_its_version(packaged, efi_sysfs):
    with open(os.path.join(ROOT, "linux", "tarnwick-install")) as f:
        arms = re.findall(r"^ {4}(-[-a-z]+(?: \| -[-a-z]+)*)(?:=\*)?\)", f.read(), re.MULTILINE)
    options = [option for arm in arms for option in arm.split(" | ")]
    with open(os.path.join(ROOT, "linux", "tarnwick-install.8")) as f:
        manual = f.read().replace("\\-", "-")
    usage = packaged.run("usr/sbin/tarnwick-install", "--help", sysfs=efi_sysfs).stdout
    assert len(options) > 6 and all(option in usage and option in manual for option in options), options
    version = packaged.run("usr/sbin/tarnwick-install", f"--root={packaged.root}", "--version", sysfs=efi_sysfs)
    assert version.stdout == f"tarnwick-install {VERSION}\n"
