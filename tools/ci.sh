#!/usr/bin/env bash
# tools/ci.sh [LEG...]
# Runs legs of the test matrix (default: all of them), CI_JOBS at a time (default 2; the
# emulated legs are single-threaded), prints each leg's summary line as it finishes and
# fails when any leg failed. See tools/leg.sh for the legs; each leg's output is in
# build/logs/LEG.log. The longest legs come first so the two lanes end together.
# VANTOREL_FORMAT_CHECK=1 also checks the layout of native/ first (tools/format.sh --check,
# output in build/logs/format.log), counted as one more leg.
set -uo pipefail
cd "$(dirname "$0")/.."
legs=("$@")
[ "${#legs[@]}" -gt 0 ] || legs=(aarch64-gcc aarch64-clang tsan-py3.14t py3.14t py3.14 py3.15 py3.10 py3.10-numpy1.26 asan-py3.10
  debug-py3.10 py3.11 py3.12 py3.13 clang-py3.10 portable-py3.10 wheel-py3.10)
jobs="${CI_JOBS:-2}"
# Parallel legs share the cores: one compile job each unless told otherwise.
[ "$jobs" -le 1 ] || export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-1}"
# A leg that reuses another leg's environment starts once that one has finished.
declare -A after=([py3.10-numpy1.26]=py3.10)
logs=build/logs; mkdir -p "$logs"
declare -A leg_of=() running=()
passed=0; failed=0; tests_passed=0; tests_failed=0; start=$SECONDS

finish_one() {  # waits for any running leg, prints its line and counts it
  local pid rc leg p f
  wait -n -p pid; rc=$?
  leg="${leg_of[$pid]}"; unset "leg_of[$pid]" "running[$leg]"
  cat "$logs/$leg.out"
  if [ "$rc" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  p=0; f=0; [ ! -f "$logs/$leg.counts" ] || read -r p f <"$logs/$leg.counts"
  # A leg that failed without a failing test (build error, crash) still counts as one failure.
  [ "$rc" -eq 0 ] || [ "$f" -gt 0 ] || f=1
  tests_passed=$((tests_passed + p)); tests_failed=$((tests_failed + f))
}
blocked() {  # blocked LEG: no free lane, or LEG's predecessor still runs
  local dep="${after[$1]:-}"
  [ "${#leg_of[@]}" -ge "$jobs" ] || { [ -n "$dep" ] && [ -n "${running[$dep]:-}" ]; }
}

if [ "${VANTOREL_FORMAT_CHECK:-1}" = 1 ]; then
  if tools/format.sh --check >"$logs/format.log" 2>&1; then
    printf '%-4s %-18s %s\n' PASS format "$(tail -n 1 "$logs/format.log")"; passed=$((passed + 1))
  else
    printf '%-4s %-18s %s\n' FAIL format "$(tail -n 1 "$logs/format.log"); the diff is in $logs/format.log"
    failed=$((failed + 1))
  fi
fi
for leg in "${legs[@]}"; do
  while blocked "$leg"; do finish_one; done
  tools/leg.sh "$leg" >"$logs/$leg.out" 2>&1 &
  leg_of[$!]="$leg"; running[$leg]=1
done
while [ "${#leg_of[@]}" -gt 0 ]; do finish_one; done
echo "legs: $passed passed, $failed failed, in $((SECONDS - start))s"
echo "tests: $tests_passed passed, $tests_failed failed"
[ "$failed" -eq 0 ]
