#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Installs whichever of the named Debian packages are missing, as root or else through sudo.
#   install-deps.sh PACKAGE ... [--machines all | ARCH/FIRMWARE ...] [--unpack FOLDER]
# Machines add what booting them takes, as the platform table says; reading the table takes
# python3, installed first when it is missing. --unpack downloads the signed boot pieces the
# table names (shim, its MOK manager, GRUB) and unpacks them into FOLDER without installing them:
# installed, they would set about the machine's own boot.
set -eu
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
packages=""
machines=""
unpack=""
while [ $# -gt 0 ]; do
  case $1 in
    --machines) machines=yes ;;
    --unpack) unpack=$2; shift ;;
    *) if [ -n "$machines" ]; then machines="$machines $1"; else packages="$packages $1"; fi ;;
  esac
  shift
done

fail() {
  echo "tarnwick: $*" >&2
  exit 1
}

as_root=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || fail "installing Debian packages takes root: run as root or install sudo"
  as_root="sudo"
fi
# apt-get, its errors told in one line.
apt_get() {
  log=$($as_root apt-get "$@" 2>&1) ||
    fail "apt-get $1 failed: $(printf '%s\n' "$log" | grep -m1 '^E:' || printf '%s\n' "$log" | tail -1)"
}
updated=""
update() {
  [ -n "$updated" ] || apt_get update -qq
  updated=yes
}

install() {
  missing=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
      missing="$missing $package"
  done
  [ -z "$missing" ] && return 0
  echo "Installing:$missing"
  update
  # shellcheck disable=SC2086
  apt_get install -y -qq --no-install-recommends $missing
}

tool() {
  module=$1
  shift
  PYTHONPATH=scripts /usr/bin/python3 -m "tarnwick.$module" "$@"
}

if [ -n "$machines" ] || [ -n "$unpack" ]; then
  install python3
fi
if [ -n "$machines" ]; then
  # shellcheck disable=SC2086
  packages="$packages $(tool machines packages ${machines#yes})"
fi
# shellcheck disable=SC2086
install $packages

if [ -n "$unpack" ]; then
  mkdir -p "$unpack"
  for package in $(tool platforms unpacked); do
    [ -e "$unpack/.$package" ] && continue
    apt-cache show "$package" >/dev/null 2>&1 || update
    work=$(mktemp -d)
    (cd "$work" && apt_get download -qq -o APT::Sandbox::User=root "$package")
    dpkg-deb -x "$work"/*.deb "$unpack"
    rm -rf "$work"
    touch "$unpack/.$package"
  done
fi
