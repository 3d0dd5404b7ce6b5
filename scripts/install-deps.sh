#!/bin/sh
# Installs whichever of the named Debian packages are missing: apt-get as root, else through sudo.
set -eu
missing=""
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
    missing="$missing $package"
done
[ -z "$missing" ] && exit 0
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
$as_root apt-get update -qq
# shellcheck disable=SC2086
$as_root apt-get install -y -qq --no-install-recommends $missing
