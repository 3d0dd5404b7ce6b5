#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Runs the tests in a fresh root of each Debian release named, as CI runs them on a clean clone:
# debootstrap makes the root from the Debian archive this machine's apt sources name, the root gets
# a copy of this tree (what git tracks, or would), and .ci/run installs and tests everything there.
#   test-in.sh DIST [DIST ...]
# The roots are made and their packages installed in the background, one after the other, while
# tests run; the tests of one root at a time, in the order named, and where TARNWICK_LEGS_LOCK names
# a file, each only once it can lock that file (CI holds it while this machine's own tests run).
# The roots live in /var/tmp and go when the run ends, however it ends.
set -eu
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

fail() {
  echo "tarnwick: $*" >&2
  exit 1
}

[ $# -gt 0 ] || fail "say which Debian release to test in: DIST=bookworm (Debian 12), trixie (Debian 13) or forky (Debian 14, testing)"
for dist in "$@"; do
  case $dist in
    bookworm | trixie | forky) ;;
    *) fail "no Debian release '$dist' to test in; say DIST=bookworm (Debian 12), trixie (Debian 13) or forky (Debian 14, testing)" ;;
  esac
done
[ "$(id -u)" -eq 0 ] || fail "making a Debian root takes root: run as root or with sudo"
# What this takes of the machine, as command:package.
for tool in debootstrap:debootstrap git:git pkill:procps; do
  command -v "${tool%%:*}" >/dev/null ||
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${tool#*:}"; }
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

legs=""      # release:root, in the order named
preparing="" # the background jobs that make the roots, in the same order
running=""   # the background job of the leg whose tests run, or wait for the lock
cleanup() {
  status=$?
  set +e
  for job in $preparing $running; do
    pkill -TERM -P "$job" 2>/dev/null
    kill "$job" 2>/dev/null
    wait "$job" 2>/dev/null
  done
  for leg in $legs; do
    root=${leg#*:}
    # Whatever still runs in the root (QEMU after an interruption) goes first, then the mounts.
    for process in /proc/[0-9]*; do
      [ "$(readlink "$process/root" 2>/dev/null)" != "$root" ] || kill -9 "${process#/proc/}" 2>/dev/null
    done
    ! mountpoint -q "$root" || umount -R "$root" 2>/dev/null || umount -R -l "$root"
    rm -rf --one-file-system "$root" "$root.log"
  done
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Makes the root of a release, installs in it everything its tests take and builds what they test;
# what it says goes to ROOT.log, which is shown when it fails.
prepare() {
  dist=$1 root=$2
  echo "Making a Debian $dist root from $main ..."
  # A release newer than this machine's debootstrap knows is made as the unstable one is.
  script=/usr/share/debootstrap/scripts/$dist
  [ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
  debootstrap --variant=minbase "$dist" "$root" "$main" "$script" || fail "debootstrap failed"
  {
    echo "deb $main $dist main"
    echo "deb $main $dist-updates main"
    [ -z "$security" ] || echo "deb $security $dist-security main"
  } >"$root/etc/apt/sources.list"
  mkdir "$root/root/tarnwick"
  git ls-files -co --exclude-standard -z | tar --null -T - -cf - | tar -C "$root/root/tarnwick" -xf -
  # The root is a mount point of its own, as a machine's is, for what mounts inside it (ip netns);
  # everything is mounted beneath it and goes with it.
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  for point in /sys /dev /dev/pts; do
    mount --bind "$point" "$root$point"
  done
  # The archive may be a snapshot in which the testing release's Release file has expired (stable
  # releases carry none): the root's apt, and only the root's, is told so and takes it.
  if chroot "$root" apt-get -qq update 2>&1 | grep -q 'is expired'; then
    echo "tarnwick: the archive's Release file of Debian $dist has expired (a snapshot of testing); the root's apt takes it" >&2
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99tarnwick-expired-snapshot"
  fi
  chroot "$root" sh -c 'apt-get -qq update && apt-get install -y -qq --no-install-recommends make &&
    make -s -C /root/tarnwick install-machines images TESTS=ON'
}

# Each root is prepared once the one before it is.
before=""
for dist in "$@"; do
  root=$(mktemp -d "/var/tmp/tarnwick-$dist.XXXXXX")
  chmod 755 "$root" # apt fetches as the user _apt, which must reach into it
  legs="$legs $dist:$root"
  (
    sleep 1 # for the priority below to be set first
    while [ -n "$before" ] && kill -0 "$before" 2>/dev/null; do sleep 2; done
    prepare "$dist" "$root" >"$root.log" 2>&1
  ) &
  before=$!
  # Below the tests' QEMUs, which run meanwhile, in the processor and on the disk.
  renice -n 19 -p "$before" >/dev/null
  ionice -c 3 -p "$before"
  preparing="$preparing $before"
done

for leg in $legs; do
  dist=${leg%%:*} root=${leg#*:} job=${preparing# }
  job=${job%% *}
  wait "$job" || { tail -20 "$root.log" >&2; fail "making the Debian $dist root failed"; }
  preparing=${preparing# }
  preparing=${preparing#"$job"}
  grep '^tarnwick: ' "$root.log" >&2 || true
  # In the background, so that a signal to this script ends the run at once: the shell waits for a
  # command in the foreground to finish before it runs a trap.
  if [ -n "${TARNWICK_LEGS_LOCK:-}" ]; then
    flock "$TARNWICK_LEGS_LOCK" chroot "$root" env TARNWICK_ONE_LEG=1 sh /root/tarnwick/.ci/run &
  else
    chroot "$root" env TARNWICK_ONE_LEG=1 sh /root/tarnwick/.ci/run &
  fi
  running=$!
  wait "$running" || { running=""; fail "the tests in the fresh Debian $dist root failed"; }
  running=""
done
