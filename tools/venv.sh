#!/usr/bin/env bash
# tools/venv.sh VENV PYTHON [extra requirement files...]
# Creates (or reuses) a virtual environment, installs the build and test
# requirements from the registry, then builds and installs vantorel into it.
set -euo pipefail
venv="$1"; python="$2"; shift 2
here="$(cd "$(dirname "$0")/.." && pwd)"
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -r "$here/requirements/build.txt" -r "$here/requirements/test.txt" \
  ${NUMPY_SPEC:+"$NUMPY_SPEC"} "${@/#/-r}"
tag="$("$venv/bin/python" -c 'import sys, sysconfig; print(f"cp{sys.version_info[0]}{sys.version_info[1]}-{sysconfig.get_platform()}")')"
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$venv/bin/python" -m pip install -q \
  --no-build-isolation --no-deps ${VANTOREL_BUILD_ARGS:-} -Cbuild-dir="build/${BUILD_NAME:-$tag}" "$here"
