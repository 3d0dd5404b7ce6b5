# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The Debian package as it installs, for the checks that use its tools: unpacked once, with the
pieces of a real machine (its sysfs, its EFI system partition) stood in for."""
import os
import platform
import subprocess

import pytest

from tarnwick import BUILD

VERSION = os.environ["TARNWICK_VERSION"]
DEB = os.path.join(BUILD, "deb", f"tarnwick_{VERSION}_all.deb")
# The image tarnwick-install must pick for this machine under the 64-bit UEFI of the stand-in sysfs.
NATIVE = {"x86_64": "x64", "aarch64": "aa64", "riscv64": "riscv64", "loongarch64": "loongarch64"}[platform.machine()]


class Packaged:
    def __init__(self, root):
        self.root = str(root)

    def run(self, program, *args, sysfs, esp=None, env=(), check=True):
        """Runs a program of the package (tarnwick-install, the GRUB hook) on a machine whose sysfs
        is `sysfs` and whose EFI system partition is the folder `esp`."""
        environment = dict(os.environ, PATH=f"{self.root}/usr/sbin:{os.environ['PATH']}", TARNWICK_SYSFS=str(sysfs),
                           TARNWICK_RELAX_ESP_CHECKS="1")
        environment.update(env)
        if esp is not None:
            environment["TARNWICK_ESP_PATH"] = str(esp)
        return subprocess.run([os.path.join(self.root, program), *args], env=environment, capture_output=True,
                              text=True, check=check)

    def install(self, esp, *args, sysfs, **options):
        return self.run("usr/sbin/tarnwick-install", f"--root={self.root}", f"--esp-path={esp}", *args, sysfs=sysfs,
                        **options)


@pytest.fixture(scope="session")
def packaged(tmp_path_factory):
    if not os.path.exists(DEB):
        pytest.fail(f"{DEB} is missing: make deb (or make test) builds it")
    root = tmp_path_factory.mktemp("packaged")
    subprocess.run(["dpkg-deb", "-x", DEB, str(root)], check=True)
    return Packaged(root)


@pytest.fixture
def efi_sysfs(tmp_path):
    """The sysfs of a machine booted by 64-bit UEFI, without EFI variables."""
    (tmp_path / "sys" / "firmware" / "efi").mkdir(parents=True)
    (tmp_path / "sys" / "firmware" / "efi" / "fw_platform_size").write_text("64\n")
    return tmp_path / "sys"
