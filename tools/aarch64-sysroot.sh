#!/usr/bin/env bash
# tools/aarch64-sysroot.sh DIR
# Makes DIR a 64-bit ARM sysroot to build against and run the suite in under qemu-user:
# Debian's arm64 CPython 3.11 and the libraries it links (apt-get download, dpkg -x), and
# NumPy, pytest, hypothesis and mypy as manylinux aarch64 wheels unpacked into its dist-packages,
# all byte-compiled by a host 3.11 (the first import under emulation would take 30 s).
# Done once: DIR/.ready marks a finished sysroot and records what it was made from (this
# script and the requirement files), so a change to either makes it again; concurrent
# callers wait on a lock.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="$(realpath -m "$1")"
mkdir -p "$(dirname "$dir")"
exec 9>"$dir.lock"
flock 9
stamp="$(cat tools/aarch64-sysroot.sh requirements/build.txt requirements/test.txt | sha256sum | cut -d' ' -f1)"
[ "$(cat "$dir/.ready" 2>/dev/null)" = "$stamp" ] && exit 0

debs=(python3.11 python3.11-minimal libpython3.11 libpython3.11-stdlib libpython3.11-minimal
  libpython3.11-dev libc6 libexpat1 zlib1g libffi8 libssl3 libbz2-1.0 liblzma5 libsqlite3-0
  libncursesw6 libtinfo6 libreadline8 libuuid1 libgcc-s1 libstdc++6 libcrypt1 libdb5.3 libnsl2
  libtirpc3 libgssapi-krb5-2 libkrb5-3 libk5crypto3 libcom-err2 libkrb5support0 libkeyutils1)
rm -rf "$dir" "$dir.debs" "$dir.wheels"
mkdir -p "$dir" "$dir.debs" "$dir.wheels"
(cd "$dir.debs" && apt-get download -q -o APT::Sandbox::User=root "${debs[@]/%/:arm64}")
for deb in "$dir.debs"/*.deb; do dpkg -x "$deb" "$dir"; done

# The build and test requirements (mypy too: the stub check starts the emulated interpreter
# through VANTOREL_TEST_PYTHON, as the other tests that need a child process do).
site="$dir/usr/lib/python3/dist-packages"
mkdir -p "$site"
host="$(tools/find-python.sh 3.11)"
"$host" -m pip download -q -d "$dir.wheels" --only-binary=:all: --platform manylinux2014_aarch64 \
  --python-version 3.11 --implementation cp --abi cp311 \
  -r requirements/build.txt -r requirements/test.txt 2>&1 | grep -v "is ignored: it is neither" || true
for name in numpy mypy; do
  compgen -G "$dir.wheels/$name-*aarch64*.whl" >/dev/null || { echo "no aarch64 $name wheel" >&2; exit 1; }
done
for whl in "$dir.wheels"/*.whl; do
  case "$(basename "$whl")" in scikit_build_core-*) continue ;; esac
  "$host" -m zipfile -e "$whl" "$site"
done
"$host" -m compileall -q -j 0 "$dir/usr/lib/python3.11" "$site" >/dev/null || true
echo "$stamp" >"$dir/.ready"
