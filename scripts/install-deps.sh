#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Installs what is missing, as root or else through sudo: the build dependencies of debian/control
# through apt-get build-dep (with --tests, also those it marks <!nocheck>, which only the tests
# take), and the QEMU and firmware of the machines named, as the machine table says, with QEMU's
# window where it is to show them on a desktop.
#   install-deps.sh [--tests] [--machines all | ARCH/FIRMWARE ...] [--window] [--unpack FOLDER [--boards BOARD]]
# Of all machines, a package this release lacks is left out (a machine without its firmware, for its
# tests to say so); for a machine named it is an error. --unpack downloads the programs that the
# tests boot (Debian's signed boot chain, iPXE, a Linux root for each architecture whose machine
# boots one, and the boards' U-Boot) into FOLDER, unpacked but not installed: installed, they would
# set about this machine's own boot. With --boards, only what the board named takes.
set -eu
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
profile="-P nocheck"
machines=""
window=""
unpack=""
boards=""
while [ $# -gt 0 ]; do
  case $1 in
    --tests) profile="" ;;
    --machines) ;;
    --window) window=qemu-system-gui ;;
    --unpack) unpack=$2; shift ;;
    --boards) boards="$boards $2"; shift ;;
    *) machines="$machines $1" ;;
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
updated=""
update() {
  [ -n "$updated" ] || $as_root apt-get -qq update >/dev/null 2>&1 || true
  updated=yes
}
# apt-get, its errors told in one line: its first error with the indented lines that give the
# reason (apt's solver says "Reached two conflicting assignments:", then which), else its last line.
# A failure with package lists not yet brought up to date is tried again once they are.
apt_get() {
  log=$($as_root apt-get "$@" -qq 2>&1) && return 0
  if [ -z "$updated" ]; then
    update
    apt_get "$@"
    return
  fi
  reason=$(printf '%s\n' "$log" | awk '/^E:/ && !line { line = $0; next }
    line && /^[ \t]/ { gsub(/^[ \t]+/, " "); line = line $0; next } line { exit } END { print line }')
  fail "apt-get $1 failed: ${reason:-$(printf '%s\n' "$log" | tail -1)}"
}
tool() {
  module=$1
  shift
  PYTHONPATH=scripts /usr/bin/python3 -m "tarnwick.$module" "$@"
}

# shellcheck disable=SC2086 # the profile option, when there is one, is two words
if ! dpkg-checkbuilddeps $profile >/dev/null 2>&1; then
  echo "Installing the build dependencies of debian/control${profile:+, without those only the tests take}"
  apt_get build-dep -y --no-install-recommends $profile ./
fi

if [ -n "$machines" ]; then
  # shellcheck disable=SC2086
  packages="$(tool machines packages $machines) $window"
  # A package written "a|b" is either; the first that this release's archive has is installed.
  missing=""
  unavailable=""
  for package in $packages; do
    for choice in $(echo "$package" | tr '|' ' '); do
      dpkg-query -W -f='${Status}' "$choice" 2>/dev/null | grep -q '^install ok installed$' && continue 2
    done
    missing="$missing $package"
  done
  if [ -n "$missing" ]; then
    update
    wanted=""
    for package in $missing; do
      chosen=""
      for choice in $(echo "$package" | tr '|' ' '); do
        apt-cache policy "$choice" 2>/dev/null | grep -q 'Candidate: [0-9]' && { chosen=$choice; break; }
      done
      if [ -n "$chosen" ]; then
        wanted="$wanted $chosen"
      elif [ "$machines" = " all" ]; then
        echo "Not in this release's archive, so left out: $package"
      else
        unavailable="$unavailable $package"
      fi
    done
    release=$(sed -n 's/^PRETTY_NAME=//p' /etc/os-release | tr -d '"')
    # shellcheck disable=SC2086 # one word a machine
    [ -z "$unavailable" ] || fail "$release has no$unavailable, which $(tool machines names $machines) boots with"
    if [ -n "$wanted" ]; then
      echo "Installing:$wanted"
      # shellcheck disable=SC2086
      apt_get install -y --no-install-recommends $wanted
    fi
  fi
fi

if [ -n "$unpack" ]; then
  mkdir -p "$unpack"
  for package in $([ -n "$boards" ] || tool machines unpacked); do
    [ -e "$unpack/.$package" ] && continue
    update
    work=$(mktemp -d)
    (cd "$work" && apt_get download -o APT::Sandbox::User=root "$package")
    dpkg-deb -x "$work"/*.deb "$unpack"
    rm -rf "$work"
    touch "$unpack/.$package"
  done
  # Each folder of another architecture's packages (a Linux root, the boards' U-Boot) comes from this
  # machine's apt sources through an apt of its own: its own package lists and cache, and a dpkg
  # status with nothing installed, so that it fetches every package they depend on. A package this
  # release's archive lacks is left out (a board without its U-Boot, for its tests to say so). The
  # packages asked for are kept in the folder's .asked, so that one made for a board is added to for
  # another, and the versions unpacked in its .versions.
  # shellcheck disable=SC2086 # a word a board
  tool machines roots $boards | while read -r folder arch packages; do
    asked=""
    for package in $packages; do
      grep -qx "$package" "$unpack/$folder/.asked" 2>/dev/null || asked="$asked $package"
    done
    [ -n "$asked" ] || continue
    work=$(mktemp -d)
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$unpack/$folder"
    : >"$work/status"
    own="-o APT::Architecture=$arch -o APT::Architectures=$arch -o Dir::State::Lists=$work/lists
      -o Dir::State::status=$work/status -o Dir::Cache=$work/cache -o Debug::NoLocking=1 -o APT::Sandbox::User=root"
    # shellcheck disable=SC2086 # the options are words without spaces
    apt_get update $own
    available=""
    for package in $asked; do
      # shellcheck disable=SC2086
      apt-cache $own policy "$package" 2>/dev/null | grep -q 'Candidate: [0-9]' && available="$available $package"
    done
    if [ -n "$available" ]; then
      # shellcheck disable=SC2086
      apt_get install --download-only -y --no-install-recommends $own $available
    fi
    for deb in "$work"/cache/archives/*.deb; do
      [ -e "$deb" ] || continue
      dpkg-deb -x "$deb" "$unpack/$folder"
      dpkg-deb -f "$deb" Package Version | sed 's/^[A-Za-z]*: //' | paste -sd ' ' >>"$unpack/$folder/.versions"
    done
    rm -rf "$work"
    printf '%s\n' $asked >>"$unpack/$folder/.asked"
  done
fi
