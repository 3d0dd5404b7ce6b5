# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Tarnwick served from the network: a folder for a TFTP and HTTP server's root with every
architecture's image, an iPXE script, a U-Boot boot script and a dnsmasq configuration that hands
each machine the file for its architecture; and the small HTTP server that `make run BOOT=http`
and the tests serve it with.

    python3 -m tarnwick.netboot [--server ADDRESS] [--root ROOT] FOLDER
    python3 -m tarnwick.netboot --server ADDRESS --check
    python3 -m tarnwick.netboot --server ADDRESS --port PORT --serve FOLDER

The first writes FOLDER for a server at ADDRESS (192.0.2.1, a documentation address, if left out)
that serves it from ROOT (FOLDER itself if left out); the second only checks ADDRESS; the last
serves FOLDER by HTTP on ADDRESS and PORT."""
import argparse
import contextlib
import functools
import http.server
import ipaddress
import os
import shutil
import subprocess
import sys

from . import images

# By architecture: DHCP option 93 (client-arch) as a firmware sends it for PXE and for UEFI HTTP
# Boot, from IANA's Processor Architecture Types; iPXE's ${buildarch}; and the U-Boot variable and
# value that tell it, where U-Boot runs there.
ARCHITECTURES = {
    "ia32": (6, 15, "i386", None),
    "x64": (7, 16, "x86_64", ("arch", "x86")),
    "arm": (10, 18, "arm32", ("cpu", "armv7")),
    "aa64": (11, 19, "arm64", ("cpu", "armv8")),
    "riscv64": (27, 28, "riscv64", ("arch", "riscv")),
    "loongarch64": (39, 40, "loong64", None),
}
IPXE_SCRIPT, U_BOOT_SCRIPT = "tarnwick.ipxe", "boot.scr.uimg"
# What a person types at U-Boot's prompt where its autoboot does not run the boot script.
U_BOOT_TYPED = f"dhcp ${{scriptaddr}} {U_BOOT_SCRIPT} && source ${{scriptaddr}}"
DOCUMENTATION_ADDRESS = "192.0.2.1"


def image(arch):
    return f"tarnwick{arch}.efi"


def ipxe_script(arches):
    lines = ["#!ipxe", "# Tarnwick for iPXE's own architecture, from where this script came from."]
    lines += [f"iseq ${{buildarch}} {ARCHITECTURES[arch][2]} && set tarnwick {image(arch)} ||" for arch in arches]
    lines += ["isset ${tarnwick} || goto none", "chain ${tarnwick} || goto none", "exit", ":none",
              "echo Tarnwick: no image for ${buildarch}", "exit 1"]
    return "\n".join(lines) + "\n"


def u_boot_script(arches):
    lines = ["# Tarnwick for this board's architecture, from the server that gave the board its address.",
             "setenv tarnwick"]
    lines += [f'if test "${{{name}}}" = "{value}"; then setenv tarnwick {image(arch)}; fi'
              for arch in arches if ARCHITECTURES[arch][3] for name, value in [ARCHITECTURES[arch][3]]]
    lines += ['if test -z "${tarnwick}"; then echo "Tarnwick: no image for ${arch}/${cpu}"; exit; fi',
              "tftpboot ${kernel_addr_r} ${tarnwick} && bootefi ${kernel_addr_r}"]
    return "\n".join(lines) + "\n"


def dnsmasq_conf(arches, folder, server):
    """DHCP and TFTP for every client in the range, the boot file by option 93: for PXE by TFTP, for
    UEFI HTTP Boot a URL on `server`, which also answers HTTP from this folder. iPXE's own request
    gets the script, U-Boot's the boot script."""
    lines = [f"# dnsmasq serving Tarnwick from {folder}; HTTP Boot clients fetch from http://{server}/,",
             "# a web server whose root is this folder. Set the range to your network's: this one is an example.",
             f"dhcp-range={server.rsplit('.', 1)[0]}.100,{server.rsplit('.', 1)[0]}.199,1h",
             "# DHCP and TFTP only, beside the network's own DNS; remove port=0 for dnsmasq to answer DNS too.",
             "port=0", "enable-tftp", f"tftp-root={folder}",
             "dhcp-userclass=set:ipxe,iPXE", "dhcp-vendorclass=set:u-boot,U-Boot",
             "dhcp-vendorclass=set:http,HTTPClient", "dhcp-option-force=tag:http,option:vendor-class,HTTPClient"]
    for arch in arches:
        pxe, http_arch = ARCHITECTURES[arch][:2]
        lines += [f"dhcp-match=set:pxe-{arch},option:client-arch,{pxe}",
                  f"dhcp-match=set:http-{arch},option:client-arch,{http_arch}",
                  f"dhcp-boot=tag:pxe-{arch},tag:!ipxe,tag:!u-boot,{image(arch)}",
                  f"dhcp-boot=tag:http-{arch},http://{server}/{image(arch)}"]
    lines += [f"dhcp-boot=tag:ipxe,{IPXE_SCRIPT}", f"dhcp-boot=tag:u-boot,{U_BOOT_SCRIPT}"]
    return "\n".join(lines) + "\n"


def write(folder, server=DOCUMENTATION_ADDRESS, served_from=None):
    """Writes `folder`; the dnsmasq configuration names `served_from` as its TFTP root, `folder` itself
    if left out."""
    built = images()
    os.makedirs(folder, exist_ok=True)
    for arch, path in built.items():
        shutil.copyfile(path, os.path.join(folder, image(arch)))
    texts = {IPXE_SCRIPT: ipxe_script(built), "boot.cmd": u_boot_script(built),
             "dnsmasq.conf": dnsmasq_conf(built, served_from or os.path.abspath(folder), server)}
    for name, text in texts.items():
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    subprocess.run(["mkimage", "-A", "arm", "-O", "linux", "-T", "script", "-C", "none", "-n", "Tarnwick",
                    "-d", os.path.join(folder, "boot.cmd"), os.path.join(folder, U_BOOT_SCRIPT)],
                   check=True, stdout=subprocess.DEVNULL)


class Quiet(http.server.SimpleHTTPRequestHandler):
    # Firmware HTTP clients keep the connection open between requests, as HTTP/1.1 lets them.
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        pass  # a firmware drops its connection once it has what it asked for; nothing to report


def serve(folder, address, port):
    """Serves `folder` over HTTP on `address` until ended, having printed the port it listens on."""
    server = Server((address, port), functools.partial(Quiet, directory=folder))
    print(server.server_address[1], flush=True)
    with contextlib.suppress(KeyboardInterrupt):  # Ctrl-C at make run ends it with QEMU, quietly
        server.serve_forever()


@contextlib.contextmanager
def served(folder, address="127.0.0.1", port=0):
    """An HTTP server for `folder` on `address` while the block runs, in a process of its own: a
    process that then starts QEMU through a pseudo-terminal forks, which is unsafe with a thread
    of its own running. Yields its port."""
    scripts = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    server = subprocess.Popen([sys.executable, "-m", "tarnwick.netboot", "--server", address, "--port", str(port),
                               "--serve", folder], stdout=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=scripts))
    try:
        yield int(server.stdout.readline())
    finally:
        server.terminate()
        server.wait()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--server", default=DOCUMENTATION_ADDRESS)
    parser.add_argument("--root")
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--serve", action="store_true")
    parser.add_argument("folder", nargs="?")
    args = parser.parse_args(argv)
    try:
        ipaddress.IPv4Address(args.server)
    except ValueError:
        sys.exit(f"tarnwick: SERVER={args.server} is not an IPv4 address, as a DHCP server hands out")
    if args.serve:
        serve(args.folder, args.server, args.port)
    elif args.folder:
        write(args.folder, args.server, args.root)
    elif not args.check:
        parser.error("name the folder")


if __name__ == "__main__":
    main(sys.argv[1:])
