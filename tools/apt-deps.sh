#!/usr/bin/env bash
# tools/apt-deps.sh [--arm64] PACKAGE...
# Installs the Debian packages a CI leg needs when they are missing (CI runs as root);
# with --arm64 also enables the arm64 architecture so arm64 packages can be fetched for
# the emulated legs. `apt-get update` runs at most once, and only when something is missing.
# Concurrent legs take turns on a lock.
set -euo pipefail
cd "$(dirname "$0")/.."
arm64=0
if [ "${1:-}" = --arm64 ]; then arm64=1; shift; fi
mkdir -p build
exec 9>build/apt.lock
flock 9

missing=()
for pkg in "$@"; do
  [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" = "install ok installed" ] || missing+=("$pkg")
done
need_arch=0
if [ "$arm64" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then need_arch=1; fi
need_lists=0
if [ "$arm64" -eq 1 ] && ! compgen -G '/var/lib/apt/lists/*binary-arm64_Packages*' >/dev/null; then need_lists=1; fi
[ "${#missing[@]}" -gt 0 ] || [ "$need_arch" -eq 1 ] || [ "$need_lists" -eq 1 ] || exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "apt-deps: needs root to install: ${missing[*]:-} (arm64 architecture: $need_arch)" >&2
  exit 1
fi
[ "$need_arch" -eq 0 ] || dpkg --add-architecture arm64
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
[ "${#missing[@]}" -eq 0 ] || apt-get install -y -q --no-install-recommends "${missing[@]}"
