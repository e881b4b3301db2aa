#!/usr/bin/env bash
# tools/tools-venv.sh: prints the path of a virtual environment (build/tools-venv) holding the
# release and cross-build tools of requirements/ci-tools.txt (CMake 4.1+, auditwheel,
# check-wheel-contents, twine); creates it on first use. Concurrent callers wait on a lock.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="$PWD/build/tools-venv"
mkdir -p build
exec 9>build/tools-venv.lock
flock 9
if [ ! -f "$venv/.ready" ] || [ requirements/ci-tools.txt -nt "$venv/.ready" ]; then
  [ -x "$venv/bin/python" ] || "$(tools/find-python.sh)" -m venv "$venv" >&2
  "$venv/bin/python" -m pip install -q --upgrade pip >&2
  "$venv/bin/python" -m pip install -q -r requirements/ci-tools.txt >&2
  touch "$venv/.ready"
fi
echo "$venv"
