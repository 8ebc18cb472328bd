#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs every libFuzzer target for SECONDS (argument, or FUZZ_SECONDS; default 60) each, one after
# the other on one core, starting from the committed corpora and dictionaries. New inputs land in
# build/fuzz-corpus/<target>; crashes in build/fuzz-artifacts/. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${FUZZ_SECONDS:-60}}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${JOBS:-2}"
status=0
for target in fuzz_handler fuzz_format; do
  binary=build/fuzz/bin/$target
  [ -x "$binary" ] || continue
  echo "== $target for ${seconds}s"
  mkdir -p "build/fuzz-corpus/$target" build/fuzz-artifacts
  log="build/fuzz-artifacts/$target.log"
  set +e
  "$binary" -max_total_time="$seconds" -dict="tests/fuzz/$target.dict" -timeout=10 \
    -artifact_prefix="build/fuzz-artifacts/$target-" -print_final_stats=1 \
    "build/fuzz-corpus/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1
  result=$?
  set -e
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|Done|SUMMARY)' "$log" || true
  if [ "$result" -ne 0 ]; then
    tail -40 "$log"
    echo "!! $target found a failing input (build/fuzz-artifacts/, log $log)"
    status=1
  fi
done
exit $status
