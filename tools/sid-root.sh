#!/usr/bin/env bash
# tools/sid-root.sh DIR
# Makes (once) a minimal Debian unstable root in DIR holding Debian's python3.14 and
# python3.15 with their headers, venv and GCC: the registries serve no 3.14/3.15
# interpreter for this Debian release, its unstable suite does. DIR lives outside the
# clone (the legs pass a cache directory), so a second run finds it ready and only
# mounts what the chroot needs. Needs root, like the rest of CI's apt work.
set -euo pipefail
root="$1"
here="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$(dirname "$root")"
exec 8>"$root.lock"
flock 8
pkgs=(python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv g++ make cmake
  ninja-build ca-certificates patchelf)
if [ ! -f "$root/.ready" ]; then
  "$here/tools/apt-deps.sh" debootstrap
  # A half-made root may still have /proc, /dev or a clone mounted in it: never delete through them.
  { findmnt -R -n -o TARGET "$root" 2>/dev/null || true; } | sort -r | xargs -r -n 1 umount -l
  rm -rf --one-file-system "$root"
  debootstrap --variant=minbase --include="$(IFS=,; echo "${pkgs[*]}")" sid "$root" http://deb.debian.org/debian
  # The archive this machine reaches may serve a Release file past its Valid-Until date.
  echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99no-valid-until"
  echo "${pkgs[*]}" >"$root/.ready"
fi
# What a process inside needs of the host: names, certificates, /proc and /dev.
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
mountpoint -q "$root/dev" || mount --bind /dev "$root/dev"
# A root made by an older list of packages gets the new ones.
if [ "$(cat "$root/.ready")" != "${pkgs[*]}" ]; then
  chroot "$root" apt-get update -q
  DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -q --no-install-recommends "${pkgs[@]}"
  echo "${pkgs[*]}" >"$root/.ready"
fi
# The clone, at the same path inside as outside, so that paths in logs and builds agree.
mkdir -p "$root$here"
mountpoint -q "$root$here" || mount --bind "$here" "$root$here"
