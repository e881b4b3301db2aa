#!/usr/bin/env bash
# tools/ci.sh [LEG...]
# Runs every leg of the test matrix (default: all of them) one after another, one
# summary line per leg, and fails when any leg failed. See tools/leg.sh for the legs.
set -uo pipefail
cd "$(dirname "$0")/.."
legs=("$@")
[ "${#legs[@]}" -gt 0 ] || legs=(py3.10 py3.10-numpy1.26 py3.11 py3.12 py3.13 asan-py3.10)
passed=0; failed=0; tests_passed=0; tests_failed=0; start=$SECONDS
for leg in "${legs[@]}"; do
  if tools/leg.sh "$leg"; then ok=1; passed=$((passed + 1)); else ok=0; failed=$((failed + 1)); fi
  read -r p f <"build/logs/$leg.counts" 2>/dev/null || { p=0; f=0; }
  # A leg that failed without a failing test (build error, crash) still counts as one failure.
  [ "$ok" -eq 1 ] || [ "$f" -gt 0 ] || f=1
  tests_passed=$((tests_passed + p)); tests_failed=$((tests_failed + f))
done
echo "legs: $passed passed, $failed failed, in $((SECONDS - start))s"
echo "tests: $tests_passed passed, $tests_failed failed"
[ "$failed" -eq 0 ]
