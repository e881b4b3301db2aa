#!/usr/bin/env bash
# tools/leg.sh LEG [pytest args...]
# Builds (once per interpreter) and runs the test suite for one leg of the CI matrix,
# printing a single summary line; the full output goes to build/logs/LEG.log.
#
# Legs:
#   py3.10 py3.11 py3.12 py3.13   the pyenv interpreter with the newest NumPy 2.x
#   py3.10-numpy1.26              the py3.10 build (made against NumPy 2) installed
#                                 beside NumPy 1.26, as a wheel user with old NumPy gets it
#   asan-py3.10                   AddressSanitizer + UBSan build, whole suite
# Exit status: 0 when the build and pytest both succeed (pytest's "no tests ran" fails).
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
leg="$1"; shift
logs="build/logs"; mkdir -p "$logs"
log="$logs/$leg.log"; : >"$log"; rm -f "$logs/$leg.counts"

kind=plain; version=""; venv=""
case "$leg" in
  py3.10) version=3.10; venv=.venv ;;
  py3.1[1-9]) version="${leg#py}"; venv=".venv-$version" ;;
  py3.10-numpy1.26) version=3.10; venv=.venv-3.10-numpy1.26; kind=old-numpy ;;
  asan-py3.10) version=3.10; venv=.venv-asan-3.10; kind=asan ;;
  *) echo "unknown leg: $leg" >&2; exit 2 ;;
esac

summary() {  # summary STATUS TEXT
  printf '%-4s %-18s %s\n' "$1" "$leg" "$2"
}
fail() {
  echo "---- last lines of $log ----"; tail -n 60 "$log"; echo "----"
  summary FAIL "$1"; exit 1
}

# Dask (optional, for the Dask recipe's tests) on x86-64 only: the two-process cluster of
# those tests is too slow under emulation. The sanitizer leg runs without it (the tests skip).
extra_reqs=()
[ "$(uname -m)" != x86_64 ] || extra_reqs=(requirements/dask.txt)

python="$(tools/find-python.sh "$version" 2>/dev/null)" || { echo "no python$version" >>"$log"; fail "python$version not found"; }
t0=$SECONDS
case "$kind" in
  plain)
    tools/venv.sh "$venv" "$python" "${extra_reqs[@]}" >>"$log" 2>&1 || fail "build failed" ;;
  old-numpy)
    # Reuse the py3.10 build: the wheel made against NumPy 2 must run on NumPy 1.26.
    tools/venv.sh .venv "$python" "${extra_reqs[@]}" >>"$log" 2>&1 || fail "build of py3.10 failed"
    tag="$(.venv/bin/python -c 'import sys, sysconfig; print(f"cp{sys.version_info[0]}{sys.version_info[1]}-{sysconfig.get_platform()}")')"
    rm -rf "build/wheels/$tag"
    .venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir="build/$tag" \
      -w "build/wheels/$tag" . >>"$log" 2>&1 || fail "wheel failed"
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv" >>"$log" 2>&1 || fail "venv failed"
    { "$venv/bin/python" -m pip install -q --upgrade pip &&
      "$venv/bin/python" -m pip install -q -r requirements/test.txt "${extra_reqs[@]/#/-r}" "numpy==1.26.*" &&
      "$venv/bin/python" -m pip install -q --no-deps --force-reinstall "build/wheels/$tag"/vantorel-*.whl
    } >>"$log" 2>&1 || fail "install failed" ;;
  asan)
    VANTOREL_BUILD_ARGS="-Ccmake.define.VANTOREL_SANITIZE=ON" BUILD_NAME="asan-cp${version/./}" \
      tools/venv.sh "$venv" "$python" >>"$log" 2>&1 || fail "build failed" ;;
esac
build_s=$((SECONDS - t0))

env_run=()
if [ "$kind" = asan ]; then
  # The interpreter is plain C: preload the C++ runtime too, or ASan cannot find the real
  # __cxa_throw when our modules throw (it checks for it and aborts).
  libasan="$(g++ -print-file-name=libasan.so)"; libstdcxx="$(g++ -print-file-name=libstdc++.so)"
  [ -f "$libasan" ] && [ -f "$libstdcxx" ] || fail "libasan.so or libstdc++.so not found"
  # A build that silently lost its instrumentation would pass for the wrong reason.
  so="$(find "$venv"/lib/python*/site-packages/vantorel -name 'cycle_roster*.so' | head -1)"
  # (ldd's output is read whole: `ldd | grep -q` can die of SIGPIPE under pipefail.)
  case "$(ldd "$so")" in *libasan*) ;; *) fail "modules are not instrumented" ;; esac
  env_run=(env LD_PRELOAD="$libasan $libstdcxx" PYTHONMALLOC=malloc
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=0"
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
fi

numpy="$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)' 2>>"$log")" || fail "numpy does not import"
t1=$SECONDS
"${env_run[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" >>"$log" 2>&1
rc=$?
test_s=$((SECONDS - t1))
# pytest's closing line, e.g. "170 passed, 2 skipped in 5.69s" (absent when the process died).
last="$(grep -E '^(=+ )?[0-9]+ (passed|failed|errors?|skipped|deselected).* in [0-9.]+s' "$log" | tail -n 1 |
  sed -E 's/=+//g; s/^ +| +$//g')"
if [ -z "$last" ] && grep -qE '^(=+ )?no tests ran' "$log"; then last="no tests ran"; fi
hostile="$(grep -E '^hostile inputs tried: [0-9]+' "$log" | tail -n 1 | sed -E 's/ \(.*//')"
count() { grep -oE "[0-9]+ $1" <<<"$last" | grep -oE '^[0-9]+' || echo 0; }
echo "$(count passed) $(($(count failed) + $(count error) + $(count errors)))" >"$logs/$leg.counts"
if [ "$kind" = asan ] && grep -qE 'AddressSanitizer|LeakSanitizer|runtime error:|UndefinedBehaviorSanitizer' "$log"; then
  [ "$rc" -ne 0 ] || rc=1
  last="sanitizer report; $last"
fi
text="python $("$venv/bin/python" -c 'import platform; print(platform.python_version())') numpy $numpy | build ${build_s}s | ${last:-no pytest summary (process died?)} (${test_s}s)${hostile:+ | $hostile}"
[ "$rc" -eq 0 ] || fail "$text [pytest exit $rc]"
summary PASS "$text"
