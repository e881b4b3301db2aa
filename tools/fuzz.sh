#!/usr/bin/env bash
# tools/fuzz.sh: long-running fuzzing, in the environment that `make venv` builds.
#   FUZZ_SECONDS   time budget of each part (default 600)
#   FUZZ_EXAMPLES  examples per Hypothesis property test per round (default 5000)
#   FUZZ_PARTS     "properties atheris" (default both, one after the other)
# Part "properties": every test file with Hypothesis property tests, run in rounds with a
# new seed each until the budget is spent. Part "atheris": the coverage-guided target
# fuzz/fuzz_projection_hash.py. Logs in build/logs/fuzz-*.log; a summary line per part.
set -uo pipefail
cd "$(dirname "$0")/.."
venv="${VENV:-.venv}"
budget="${FUZZ_SECONDS:-600}"
examples="${FUZZ_EXAMPLES:-5000}"
mkdir -p build/logs build/fuzz-corpus
status=0

properties() {
  local log=build/logs/fuzz-properties.log start=$SECONDS round=0 total=0 failed=0
  local files; files=$(grep -l "@given" tests/test_*.py)
  : >"$log"
  while [ $((SECONDS - start)) -lt "$budget" ]; do
    round=$((round + 1))
    VANTOREL_FUZZ_EXAMPLES="$examples" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
      --hypothesis-seed="$RANDOM$round" --hypothesis-show-statistics $files >>"$log" 2>&1 || failed=$((failed + 1))
  done
  # Hypothesis statistics: "- 5000 passing, 0 failing, and 3 invalid test cases" per test and phase.
  total=$(grep -oE '[0-9]+ passing' "$log" | awk '{s += $1} END {print s + 0}')
  local failing; failing=$(grep -oE '[0-9]+ failing' "$log" | awk '{s += $1} END {print s + 0}')
  echo "properties: $round rounds, $total passing examples, $failing failing, $failed failing rounds ($((SECONDS - start))s, $log)"
  [ "$failed" -eq 0 ]
}

atheris_target() {
  local log=build/logs/fuzz-atheris.log
  "$venv/bin/python" -m pip install -q -r requirements/fuzz.txt >"$log" 2>&1 || { echo "atheris: install failed"; return 1; }
  "$venv/bin/python" fuzz/fuzz_projection_hash.py -max_total_time="$budget" -print_final_stats=1 \
    -timeout=60 -rss_limit_mb=4096 -artifact_prefix=build/ build/fuzz-corpus >>"$log" 2>&1
  local rc=$?
  local runs; runs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" | tail -1 | grep -oE '[0-9]+$')
  local cov; cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1)
  echo "atheris: ${runs:-0} inputs, ${cov:-cov: ?}, exit $rc ($log)"
  [ "$rc" -eq 0 ]
}

for part in ${FUZZ_PARTS:-properties atheris}; do
  case "$part" in
    properties) properties || status=1 ;;
    atheris) atheris_target || status=1 ;;
    *) echo "unknown part $part" >&2; status=2 ;;
  esac
done
exit $status
