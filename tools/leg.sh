#!/usr/bin/env bash
# tools/leg.sh LEG [pytest args...]
# Builds (once per leg) and runs the test suite for one leg of the CI matrix, printing a
# single summary line; the full output goes to build/logs/LEG.log and the test counts
# ("passed failed") to build/logs/LEG.counts. Every leg builds with warnings as errors.
#
# Legs:
#   py3.10 py3.11 py3.12 py3.13   the pyenv interpreter with the newest NumPy 2.x
#   py3.14 py3.15                 Debian's interpreters and GCC 16, from its unstable suite,
#                                 in a root kept outside the clone (tools/sid-root.sh)
#   py3.14t                       the free-threaded 3.14 built from the source release beside
#                                 the clone (tools/ft-python.sh, cached outside it), whole suite
#                                 with the GIL left as the modules declare it (off)
#   tsan-py3.14t                  that interpreter and the modules built with ThreadSanitizer:
#                                 the threaded and stress tests (not the array-metadata
#                                 races, racy by design), no report allowed
#                                 (tools/tsan-suppressions.txt: code outside the project only)
#   py3.10-numpy1.26              the py3.10 build (made against NumPy 2) installed
#                                 beside NumPy 1.26, as a wheel user with old NumPy gets it
#   asan-py3.10                   AddressSanitizer + UBSan build, whole suite
#   debug-py3.10                  VANTOREL_ASSERTS build: the release optimisation with
#                                 assertions on (PYAPI_ASSERT, _GLIBCXX_ASSERTIONS)
#   clang-py3.10                  clang with libc++ (no std::to_chars for doubles: the
#                                 fallback float writer runs)
#   portable-py3.10               VANTOREL_PORTABLE_PATHS build: portable SHA-256 rounds and
#                                 the kernels' default clones on this x86 machine
#   wheel-py3.10                  the repaired release wheel (tools/wheel.sh) in a fresh venv,
#                                 binaries only, suite run from a copy outside the source tree;
#                                 then the 3.14 wheel, built in the unstable-suite root, the same
#                                 way there with a part of the suite (stubs, each module's own
#                                 tests, subinterpreters), counted into the leg's line
#   aarch64-gcc aarch64-clang     cross-built for 64-bit ARM, whole suite under qemu-user with
#                                 Debian's arm64 CPython 3.11 (tools/aarch64-sysroot.sh)
# The wheel leg's 3.14 run keeps its own output in build/logs/LEG.second.log too, and its
# counts are added to the leg's.
# Exit status: 0 when the build and pytest both succeed (pytest's "no tests ran" fails).
# LEG_TIMEOUT (seconds, default 1800) bounds the test run.
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
leg="$1"; shift
logs="$here/build/logs"; mkdir -p "$logs"
log="$logs/$leg.log"; : >"$log"; rm -f "$logs/$leg.counts"
werror="-Ccmake.define.VANTOREL_WERROR=ON"

kind=plain; version=""; venv=""
case "$leg" in
  py3.10) version=3.10; venv=.venv ;;
  py3.14 | py3.15) version="${leg#py}"; venv=".venv-$version"; kind=sid ;;
  py3.14t) version=3.14t; venv=.venv-3.14t; kind=ft ;;
  tsan-py3.14t) version=3.14t; venv=.venv-tsan-3.14t; kind=tsan ;;
  py3.1[1-9]) version="${leg#py}"; venv=".venv-$version" ;;
  py3.10-numpy1.26) version=3.10; venv=.venv-3.10-numpy1.26; kind=old-numpy ;;
  asan-py3.10) version=3.10; venv=.venv-asan-3.10; kind=asan ;;
  debug-py3.10) version=3.10; venv=.venv-debug-3.10; kind=debug ;;
  clang-py3.10) version=3.10; venv=.venv-clang-3.10; kind=clang ;;
  portable-py3.10) version=3.10; venv=.venv-portable-3.10; kind=portable ;;
  wheel-py3.10) version=3.10; venv="build/wheel-test-venv-3.10"; kind=wheel ;;
  aarch64-gcc | aarch64-clang) kind=aarch64 ;;
  *) echo "unknown leg: $leg" >&2; exit 2 ;;
esac

summary() {  # summary STATUS TEXT
  printf '%-4s %-18s %s\n' "$1" "$leg" "$2"
}
fail() {
  echo "---- last lines of $log ----"; grep -v "is ignored: it is neither" "$log" | tail -n 60; echo "----"
  summary FAIL "$1"; exit 1
}
module_file() {  # module_file NAME: the installed extension module NAME*.so
  find "$venv"/lib/python*/site-packages/vantorel -name "$1*.so" | head -1
}

# Dask (optional, for the Dask recipe's tests) on x86-64 only: the two-process cluster of
# those tests is too slow under emulation. The sanitizer leg runs without it (the tests skip).
extra_reqs=()
[ "$(uname -m)" != x86_64 ] || extra_reqs=(requirements/dask.txt)

# Interpreters that no registry serves for this Debian release come from its unstable suite,
# in a root cached outside the clone (VANTOREL_CACHE, default /var/cache/vantorel).
cache="${VANTOREL_CACHE:-/var/cache/vantorel}"
if [ "$kind" = sid ]; then
  sid="$cache/sid"; extra_reqs=()
elif [ "$kind" = ft ] || [ "$kind" = tsan ]; then
  # No registry serves a free-threaded interpreter: built once from the source release.
  variant=plain; prefix="$cache/py3.14t"
  [ "$kind" = ft ] || { variant=tsan; prefix="$cache/py3.14t-tsan"; }
  python="$(tools/ft-python.sh "$prefix" "$variant" 2>>"$log")" || fail "free-threaded interpreter not built"
  extra_reqs=()
elif [ "$kind" != aarch64 ]; then
  python="$(tools/find-python.sh "$version" 2>/dev/null)" || { echo "no python$version" >>"$log"; fail "python$version not found"; }
fi
py=("$venv/bin/python")   # the command that runs the leg's interpreter
env_run=()                # what runs in front of it for the tests
run_dir="$here"; test_args=()
also_py=(); also_args=()  # a second, shorter run on another interpreter (the wheel leg's 3.14)
t0=$SECONDS
case "$kind" in
  plain)
    VANTOREL_BUILD_ARGS="$werror" tools/venv.sh "$venv" "$python" "${extra_reqs[@]}" >>"$log" 2>&1 || fail "build failed" ;;
  old-numpy)
    # Reuse the py3.10 build: the wheel made against NumPy 2 must run on NumPy 1.26.
    VANTOREL_BUILD_ARGS="$werror" tools/venv.sh .venv "$python" "${extra_reqs[@]}" >>"$log" 2>&1 || fail "build of py3.10 failed"
    tag="$(.venv/bin/python -c 'import sys, sysconfig; print(f"cp{sys.version_info[0]}{sys.version_info[1]}-{sysconfig.get_platform()}")')"
    rm -rf "build/wheels/$tag"
    .venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir="build/$tag" $werror \
      -w "build/wheels/$tag" . >>"$log" 2>&1 || fail "wheel failed"
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv" >>"$log" 2>&1 || fail "venv failed"
    { "$venv/bin/python" -m pip install -q --upgrade pip &&
      "$venv/bin/python" -m pip install -q -r requirements/test.txt "${extra_reqs[@]/#/-r}" "numpy==1.26.*" &&
      "$venv/bin/python" -m pip install -q --no-deps --force-reinstall "build/wheels/$tag"/vantorel-*.whl
    } >>"$log" 2>&1 || fail "install failed" ;;
  asan)
    VANTOREL_BUILD_ARGS="$werror -Ccmake.define.VANTOREL_SANITIZE=ON" BUILD_NAME="asan-cp${version/./}" \
      tools/venv.sh "$venv" "$python" >>"$log" 2>&1 || fail "build failed"
    # The interpreter is plain C: preload the C++ runtime too, or ASan cannot find the real
    # __cxa_throw when our modules throw (it checks for it and aborts).
    libasan="$(g++ -print-file-name=libasan.so)"; libstdcxx="$(g++ -print-file-name=libstdc++.so)"
    [ -f "$libasan" ] && [ -f "$libstdcxx" ] || fail "libasan.so or libstdc++.so not found"
    # A build that silently lost its instrumentation would pass for the wrong reason.
    # (ldd's output is read whole: `ldd | grep -q` can die of SIGPIPE under pipefail.)
    case "$(ldd "$(module_file cycle_roster)")" in *libasan*) ;; *) fail "modules are not instrumented" ;; esac
    env_run=(env LD_PRELOAD="$libasan $libstdcxx" PYTHONMALLOC=malloc
      ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=0"
      UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1") ;;
  debug)
    VANTOREL_BUILD_ARGS="$werror -Ccmake.define.VANTOREL_ASSERTS=ON" BUILD_NAME="debug-cp${version/./}" \
      tools/venv.sh "$venv" "$python" "${extra_reqs[@]}" >>"$log" 2>&1 || fail "build failed"
    # A build that lost its assertions would pass for the wrong reason: every compile command
    # (Ninja's or Make's) must define _GLIBCXX_ASSERTIONS and none NDEBUG.
    rules="$(find "build/debug-cp${version/./}" \( -name build.ninja -o -name flags.make \) -exec cat {} +)"
    defines="$(grep -E '^ *(CXX_)?DEFINES *=' <<<"$rules")"
    [ -n "$defines" ] && ! grep -qv -- -D_GLIBCXX_ASSERTIONS <<<"$defines" || fail "modules built without assertions"
    case "$rules" in *-DNDEBUG*) fail "modules built with NDEBUG" ;; esac ;;
  clang)
    tools/apt-deps.sh clang libc++-dev libc++abi-dev >>"$log" 2>&1 || fail "apt-get failed"
    CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ VANTOREL_BUILD_ARGS="$werror" \
      BUILD_NAME="clang-cp${version/./}" tools/venv.sh "$venv" "$python" >>"$log" 2>&1 || fail "build failed"
    case "$(ldd "$(module_file _parity_watch)")" in *libc++*) ;; *) fail "modules do not use libc++" ;; esac ;;
  portable)
    VANTOREL_BUILD_ARGS="$werror -Ccmake.define.VANTOREL_PORTABLE_PATHS=ON" BUILD_NAME="portable-cp${version/./}" \
      tools/venv.sh "$venv" "$python" >>"$log" 2>&1 || fail "build failed"
    # The SHA instructions must be absent, or the portable rounds were not what ran.
    case "$(objdump -d "$(module_file _parity_watch)")" in *sha256rnds2*) fail "SHA instructions in a portable build" ;; esac ;;
  wheel)
    # The 3.10 wheel from pyenv's interpreter and the 3.14 one from the unstable-suite root
    # (tools/wheel.sh runs that part inside it), both repaired and checked.
    sid="$cache/sid"; also_venv="build/wheel-test-venv-3.14"
    WHEEL_DIR=build/wheel-leg tools/wheel.sh "$version" 3.14 >>"$log" 2>&1 || fail "wheel build or check failed"
    rm -rf "$venv" "$also_venv"
    { "$python" -m venv "$venv" && "$venv/bin/python" -m pip install -q --upgrade pip &&
      "$venv/bin/python" -m pip install -q --only-binary=:all: -r requirements/test.txt \
        build/wheel-leg/vantorel-*-cp${version/./}-*manylinux*.whl
    } >>"$log" 2>&1 || fail "install failed"
    in_root=(chroot "$sid" /usr/bin/env -C "$here")
    { "${in_root[@]}" /usr/bin/python3.14 -m venv "$also_venv" &&
      "${in_root[@]}" "$also_venv/bin/python" -m pip install -q --upgrade pip &&
      "${in_root[@]}" "$also_venv/bin/python" -m pip install -q --only-binary=:all: -r requirements/test.txt \
        build/wheel-leg/vantorel-*-cp314-*manylinux*.whl
    } >>"$log" 2>&1 || fail "install of the 3.14 wheel failed"
    # The suite runs from a copy outside the source tree, so only the installed package
    # can be imported (the stub check reads the installed stubs and the allowlist, the
    # tile tests the kernels' geometry header). The 3.14 copy lives in the root's /tmp.
    run_dir="$(mktemp -d)"; also_dir="$(mktemp -d "$sid/tmp/vantorel-wheel.XXXXXX")"
    trap 'rm -rf "$run_dir" "$also_dir"' EXIT
    cp -r tests "$run_dir/"; mkdir "$run_dir/tools"; cp tools/stubtest-allowlist.txt "$run_dir/tools/"
    mkdir -p "$run_dir/native/logarithmic"; cp native/logarithmic/geometry.hpp "$run_dir/native/logarithmic/"
    cp -r "$run_dir/." "$also_dir/"
    py=("$here/$venv/bin/python")
    test_args=(-ra tests)
    where="$(cd "$run_dir" && "${py[@]}" -c 'import vantorel; print(vantorel.__file__)' 2>>"$log")"
    case "$where" in "$here/$venv/"*) ;; *) fail "vantorel imported from ${where:-nowhere}, not the wheel" ;; esac
    # On 3.14 a lean part, about 20 s: the installed stubs, the tests of each module of its own
    # and the subinterpreters (the public concurrent.interpreters from 3.14 on).
    also_py=(chroot "$sid" /usr/bin/env -C "${also_dir#"$sid"}" "$here/$also_venv/bin/python")
    also_args=(-ra tests/test_stubs.py tests/test_cycle_roster.py tests/test_parity_watch.py
      tests/test_sdk_telemetry.py tests/test_subinterpreters.py)
    where="$("${also_py[@]}" -c 'import vantorel; print(vantorel.__file__)' 2>>"$log")"
    case "$where" in "$here/$also_venv/"*) ;; *) fail "on 3.14 vantorel imported from ${where:-nowhere}, not the wheel" ;; esac ;;
  ft)
    VANTOREL_BUILD_ARGS="$werror" tools/venv.sh "$venv" "$python" >>"$log" 2>&1 || fail "build failed" ;;
  tsan)
    VANTOREL_BUILD_ARGS="$werror -Ccmake.define.VANTOREL_TSAN=ON" BUILD_NAME=tsan-cp314t \
      tools/venv.sh "$venv" "$python" >>"$log" 2>&1 || fail "build failed"
    case "$(ldd "$(module_file cycle_roster)")" in *libtsan*) ;; *) fail "modules are not instrumented" ;; esac
    # Every test that runs threads, under the sanitizer, but for the array-metadata races
    # (tests/test_logarithmic_metadata_race.py): there another thread rewrites an input's
    # shape, strides or values while the pass reads them, a data race by design that NumPy's
    # own loops have too (its setters take no lock); ThreadSanitizer rightly reports it. The
    # py3.14t leg runs those cases (the call never crashes nor reads outside the buffer).
    test_args=(-ra $(ls tests/test_concurrency.py tests/test_*thread*.py tests/test_free_threading*.py | sort -u))
    # Reports go to files of their own (pytest captures the stderr of the test running when a
    # report stops the process, and would lose it); they are appended to the leg's log below.
    rm -f "$logs/tsan-report".*
    env_run=(env TSAN_OPTIONS="suppressions=$here/tools/tsan-suppressions.txt halt_on_error=1 exitcode=66 second_deadlock_stack=1 log_path=$logs/tsan-report") ;;
  sid)
    tools/sid-root.sh "$sid" >>"$log" 2>&1 || fail "root of Debian unstable not set up"
    # The pip cache lives in the root, so a second run downloads nothing.
    chroot "$sid" /usr/bin/env -C "$here" VANTOREL_BUILD_ARGS="$werror" CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
      tools/venv.sh "$venv" "/usr/bin/python$version" >>"$log" 2>&1 || fail "build failed"
    py=(chroot "$sid" /usr/bin/env -C "$here" "$here/$venv/bin/python") ;;
  aarch64)
    compiler="${leg#aarch64-}"; sysroot=build/aarch64/sysroot
    host_pkgs=(qemu-user-static g++-aarch64-linux-gnu); [ "$compiler" = clang ] && host_pkgs+=(clang lld)
    tools/apt-deps.sh --arm64 "${host_pkgs[@]}" >>"$log" 2>&1 || fail "apt-get failed"
    tools/aarch64-sysroot.sh "$sysroot" >>"$log" 2>&1 || fail "sysroot set-up failed"
    tools/cross-build.sh "$compiler" "$sysroot" "build/$leg/build" "build/$leg/stage" >>"$log" 2>&1 || fail "build failed"
    sysroot="$here/$sysroot"
    # Tests that start a child interpreter need the emulator in front of it too.
    py=(env PYTHONPATH="$here/build/$leg/stage"
      VANTOREL_TEST_PYTHON="qemu-aarch64-static -L $sysroot $sysroot/usr/bin/python3.11"
      qemu-aarch64-static -L "$sysroot" "$sysroot/usr/bin/python3.11") ;;
esac
build_s=$((SECONDS - t0))

numpy="$(cd "$run_dir" && "${py[@]}" -c 'import numpy; print(numpy.__version__)' 2>>"$log")" || fail "numpy does not import"
t1=$SECONDS
(cd "$run_dir" && timeout "${LEG_TIMEOUT:-1800}" "${env_run[@]}" "${py[@]}" -m pytest -q -p no:cacheprovider \
  "${test_args[@]}" "$@") >>"$log" 2>&1
rc=$?
test_s=$((SECONDS - t1))
closing() {  # closing LOG: pytest's closing line in LOG, e.g. "170 passed, 2 skipped in 5.69s"
  local line    # (absent when the process died), or "no tests ran"
  line="$(grep -E '^(=+ )?[0-9]+ (passed|failed|errors?|skipped|deselected).* in [0-9.]+s' "$1" | tail -n 1 |
    sed -E 's/=+//g; s/^ +| +$//g')"
  if [ -z "$line" ] && grep -qE '^(=+ )?no tests ran' "$1"; then line="no tests ran"; fi
  echo "$line"
}
last="$(closing "$log")"
hostile="$(grep -E '^hostile inputs tried: [0-9]+' "$log" | tail -n 1 | sed -E 's/ \(.*//')"
# The second run takes its own selection only (the pytest args of this command are the first
# run's); its output follows the first run's in the leg's log.
also_text=""; also_rc=0; also_last=""
if [ "${#also_py[@]}" -gt 0 ]; then
  also_log="$logs/$leg.second.log"
  also_numpy="$("${also_py[@]}" -c 'import numpy; print(numpy.__version__)' 2>>"$log")" ||
    fail "numpy does not import in the second run's interpreter"
  t2=$SECONDS
  timeout "${LEG_TIMEOUT:-1800}" "${also_py[@]}" -m pytest -q -p no:cacheprovider "${also_args[@]}" >"$also_log" 2>&1
  also_rc=$?
  also_s=$((SECONDS - t2))
  { echo "---- second run: ${also_py[*]} -m pytest ${also_args[*]}"; cat "$also_log"; } >>"$log"
  also_last="$(closing "$also_log")"
  [ "$also_rc" -ne 124 ] || also_last="timed out after ${LEG_TIMEOUT:-1800}s; $also_last"
  also_ver="$("${also_py[@]}" -c 'import platform; print(platform.python_version())' 2>>"$log")"
  also_text=" | python $also_ver numpy $also_numpy: ${also_last:-no pytest summary (process died?)} (${also_s}s)"
fi
count() {  # count WORD: the number before WORD, summed over both runs' closing lines
  local n total=0
  for n in $(grep -oE "[0-9]+ $1" <<<"$last"$'\n'"$also_last" | grep -oE '^[0-9]+'); do total=$((total + n)); done
  echo "$total"
}
echo "$(count passed) $(($(count failed) + $(count error)))" >"$logs/$leg.counts"  # "error" counts "errors"
if [ "$kind" = tsan ]; then
  for report in "$logs/tsan-report".*; do
    [ ! -f "$report" ] || { echo "---- $report"; cat "$report"; } >>"$log"
  done
  if grep -q 'WARNING: ThreadSanitizer' "$log"; then
    [ "$rc" -ne 0 ] || rc=1
    last="sanitizer report; $last"
  fi
fi
if [ "$kind" = asan ] && grep -qE 'AddressSanitizer|LeakSanitizer|runtime error:|UndefinedBehaviorSanitizer' "$log"; then
  [ "$rc" -ne 0 ] || rc=1
  last="sanitizer report; $last"
fi
[ "$rc" -ne 124 ] || last="timed out after ${LEG_TIMEOUT:-1800}s; $last"
pyver="$(cd "$run_dir" && "${py[@]}" -c 'import platform; print(platform.python_version(), platform.machine())' 2>>"$log")"
text="python $pyver numpy $numpy | build ${build_s}s | ${last:-no pytest summary (process died?)} (${test_s}s)${hostile:+ | $hostile}$also_text"
[ "$rc" -eq 0 ] || fail "$text [pytest exit $rc]"
[ "$also_rc" -eq 0 ] || fail "$text [second pytest exit $also_rc]"
summary PASS "$text"
