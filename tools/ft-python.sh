#!/usr/bin/env bash
# tools/ft-python.sh PREFIX [plain|tsan]
# Builds (once) the free-threaded CPython 3.14 ("3.14t") from the source release beside the
# clone (../shared/interpreters) into PREFIX, which lives outside the clone (the legs pass a
# cache directory), so a second run finds it ready. "tsan" builds it with ThreadSanitizer
# (--with-thread-sanitizer) for the sanitizer leg. Prints PREFIX/bin/python3.14t when done.
# About 5 minutes on 2 cores for the plain build; several processes asking at once wait
# for the first one.
set -euo pipefail
prefix="$1"; variant="${2:-plain}"
here="$(cd "$(dirname "$0")/.." && pwd)"
source_tar="${VANTOREL_CPYTHON_TAR:-$here/../shared/interpreters/Python-3.14.7.tar.xz}"
source_sha=8384d63bbbd47e92a9d9c957adcff4939ef7be7b8cdfe2805ba1d2856961f4da
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
python="$prefix/bin/python3.14t"
if [ -f "$prefix/.ready" ] && [ -x "$python" ]; then echo "$python"; exit 0; fi
[ -f "$source_tar" ] || { echo "no CPython source release at $source_tar" >&2; exit 1; }
echo "$source_sha  $source_tar" | sha256sum -c --quiet - >&2
# The host's own test package and test modules are left out: nothing here uses them, and
# installing them (byte-compiled three times over) takes minutes, many more under ThreadSanitizer.
configure=(--disable-gil --prefix="$prefix" --without-ensurepip --disable-test-modules)
case "$variant" in
  plain) ;;
  tsan) configure+=(--with-thread-sanitizer) ;;
  *) echo "unknown variant: $variant" >&2; exit 2 ;;
esac
# What the interpreter's own modules need (zlib and ssl for pip, ffi for ctypes, ...).
"$here/tools/apt-deps.sh" build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
  libsqlite3-dev libreadline-dev uuid-dev >&2
work="$(mktemp -d "${TMPDIR:-/tmp}/cpython-build.XXXXXX")"
trap 'rm -rf "$work"' EXIT
tar -xJf "$source_tar" -C "$work"
rm -rf "$prefix"
(
  cd "$work"/Python-3.14.7
  ./configure -q "${configure[@]}"
  make -s -j"${CPYTHON_BUILD_JOBS:-2}"
  make -s install
) >&2
# pip for its venvs (the registry serves it; ensurepip would need the bundled wheel anyway).
"$python" -m ensurepip >/dev/null 2>&1 || true
echo "$variant" >"$prefix/.ready"
echo "$python"
