#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Runs the tests in a fresh root of a Debian release, as CI runs them on a clean clone: debootstrap
# makes the root from the Debian archive this machine's apt sources name, the root gets a copy of
# this tree (what git tracks, or would), and .ci/run installs and tests everything from there.
#   test-in.sh DIST
# The root lives in /var/tmp and goes when the run ends, however it ends.
set -eu
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

fail() {
  echo "tarnwick: $*" >&2
  exit 1
}

dist=${1:-}
[ -n "$dist" ] || fail "say which Debian release to test in: DIST=bookworm (Debian 12), trixie (Debian 13) or forky (Debian 14, testing)"
case $dist in
  bookworm | trixie | forky) ;;
  *) fail "no Debian release '$dist' to test in; say DIST=bookworm (Debian 12), trixie (Debian 13) or forky (Debian 14, testing)" ;;
esac
[ "$(id -u)" -eq 0 ] || fail "making a Debian root takes root: run as root or with sudo"
for tool in debootstrap git; do
  command -v "$tool" >/dev/null || { apt-get update -qq && apt-get install -y -qq --no-install-recommends "$tool"; }
done

# The archive that serves this machine's own release, and its security archive, as apt reads them.
host=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
archive() {
  # shellcheck disable=SC2016 # apt's own format fields
  apt-get indextargets --format '$(RELEASE) $(REPO_URI)' | awk -v suite="$1" '$1 == suite { print $2; exit }'
}
main=$(archive "$host")
security=$(archive "$host-security")
[ -n "$main" ] || fail "this machine's apt sources name no Debian archive for $host"

root=$(mktemp -d "/var/tmp/tarnwick-$dist.XXXXXX")
chmod 755 "$root"  # apt fetches as the user _apt, which must reach into it
mounted=""
cleanup() {
  status=$?
  set +e
  # Whatever still runs in the root (QEMU after an interruption) goes first, then the mounts.
  for process in /proc/[0-9]*; do
    [ "$(readlink "$process/root" 2>/dev/null)" != "$root" ] || kill -9 "${process#/proc/}" 2>/dev/null
  done
  [ -z "$mounted" ] || umount -R "$root" 2>/dev/null || umount -R -l "$root"
  rm -rf --one-file-system "$root"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

echo "Making a Debian $dist root from $main ..."
# A release newer than this machine's debootstrap knows is made as the unstable one is.
script=/usr/share/debootstrap/scripts/$dist
[ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
debootstrap --variant=minbase "$dist" "$root" "$main" "$script" >"$root.log" 2>&1 || { tail -20 "$root.log"; fail "debootstrap failed"; }
rm -f "$root.log"
{
  echo "deb $main $dist main"
  echo "deb $main $dist-updates main"
  [ -z "$security" ] || echo "deb $security $dist-security main"
} >"$root/etc/apt/sources.list"
mkdir "$root/root/tarnwick"
git ls-files -co --exclude-standard -z | tar --null -T - -cf - | tar -C "$root/root/tarnwick" -xf -

# The root is a mount point of its own, as a machine's is, for what mounts inside it (ip netns);
# everything is mounted beneath it and goes with it.
mount --bind "$root" "$root" && mounted=yes
mount -t proc proc "$root/proc"
for point in /sys /dev /dev/pts; do
  mount --bind "$point" "$root$point"
done
# The archive may be a snapshot in which the testing release's Release file has expired (stable
# releases carry no date): the root's apt, and only the root's, is told so and takes it.
if chroot "$root" apt-get -qq update 2>&1 | grep -q 'is expired'; then
  echo "tarnwick: the archive's Release file of Debian $dist has expired (a snapshot of testing); the root's apt takes it"
  echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99tarnwick-expired-snapshot"
fi
# In the background, so that a signal to this script ends the run at once: the shell waits for a
# command in the foreground to finish before it runs a trap.
chroot "$root" env TARNWICK_ONE_LEG=1 sh /root/tarnwick/.ci/run &
wait $!
