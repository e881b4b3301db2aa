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
# NUMPY_SPEC (e.g. "numpy==1.26.*") replaces the build requirement's numpy pin.
build_reqs=(-r "$here/requirements/build.txt")
if [ -n "${NUMPY_SPEC:-}" ]; then
  build_reqs=($(grep -v '^numpy' "$here/requirements/build.txt") "$NUMPY_SPEC")
fi
"$venv/bin/python" -m pip install -q "${build_reqs[@]}" -r "$here/requirements/test.txt" "${@/#/-r}"
# The build directory is named as a wheel tag is, "t" for a free-threaded build included:
# 3.14 and 3.14t legs may run side by side and must not share one.
tag="$("$venv/bin/python" -c 'import sys, sysconfig; t = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""; print(f"cp{sys.version_info[0]}{sys.version_info[1]}{t}-{sysconfig.get_platform()}")')"
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$venv/bin/python" -m pip install -q \
  --no-build-isolation --no-deps ${VANTOREL_BUILD_ARGS:-} -Cbuild-dir="build/${BUILD_NAME:-$tag}" "$here"
