#!/usr/bin/env bash
# tools/ci.sh [LEG...]
# Runs every leg of the test matrix (default: all of them) one after another, one
# summary line per leg, and fails when any leg failed. See tools/leg.sh for the legs.
set -uo pipefail
cd "$(dirname "$0")/.."
legs=("$@")
[ "${#legs[@]}" -gt 0 ] || legs=(py3.10 py3.10-numpy1.26 py3.11 py3.12 py3.13 asan-py3.10)
passed=0; failed=0; start=$SECONDS
for leg in "${legs[@]}"; do
  if tools/leg.sh "$leg"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "legs: $passed passed, $failed failed ($((SECONDS - start))s)"
[ "$failed" -eq 0 ]
