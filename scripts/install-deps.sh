#!/bin/sh
# Installs whichever of the named Debian packages are missing, as root or else through sudo.
#   install-deps.sh PACKAGE ... [--machines all | ARCH/FIRMWARE ...]
# Machines add what booting them takes, as the platform table says; reading the table takes
# python3, installed first when it is missing.
set -eu
cd "$(dirname "$0")/.."
packages=""
while [ $# -gt 0 ] && [ "$1" != --machines ]; do
  packages="$packages $1"
  shift
done

updated=""
install() {
  missing=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
      missing="$missing $package"
  done
  [ -z "$missing" ] && return 0
  echo "Installing:$missing"
  if [ "$(id -u)" -eq 0 ]; then
    as_root=""
  elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
  else
    echo "Missing packages:$missing; run as root or install sudo." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  [ -n "$updated" ] || $as_root apt-get update -qq
  updated=yes
  # shellcheck disable=SC2086
  $as_root apt-get install -y -qq --no-install-recommends $missing
}

if [ $# -gt 0 ]; then
  shift
  install python3
  packages="$packages $(PYTHONPATH=scripts /usr/bin/python3 -m tarnwick.platforms packages "$@")"
fi
# shellcheck disable=SC2086
install $packages
