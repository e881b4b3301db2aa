#!/usr/bin/env bash
# tools/cross-build.sh gcc|clang SYSROOT BUILD_DIR STAGE_DIR
# Cross-builds the modules for 64-bit ARM Linux (tools/cmake/aarch64-linux-gnu.cmake) with
# warnings as errors, and stages an importable package tree in STAGE_DIR: the pure-Python
# files and stubs of src/vantorel plus the installed extension modules.
set -euo pipefail
cd "$(dirname "$0")/.."
compiler="$1"; sysroot="$(realpath "$2")"; build="$3"; stage="$4"
cmake="$(tools/tools-venv.sh)/bin/cmake"
clang=OFF; [ "$compiler" = clang ] && clang=ON
python="$sysroot/usr/bin/python3.11"
numpy_include="$(find "$sysroot/usr/lib/python3/dist-packages/numpy" -path '*/include/numpy/arrayobject.h' | head -1)"
[ -n "$numpy_include" ] || { echo "no NumPy headers in $sysroot" >&2; exit 1; }
"$cmake" -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/tools/cmake/aarch64-linux-gnu.cmake" \
  -DVANTOREL_SYSROOT="$sysroot" -DVANTOREL_CROSS_CLANG="$clang" -DVANTOREL_WERROR=ON \
  -DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DPython_EXECUTABLE="$python" \
  -DPython_NumPy_INCLUDE_DIR="$(dirname "$(dirname "$numpy_include")")"
"$cmake" --build "$build" --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
rm -rf "$stage"; mkdir -p "$stage"
cp -r src/vantorel "$stage/"
"$cmake" --install "$build" --prefix "$stage"
