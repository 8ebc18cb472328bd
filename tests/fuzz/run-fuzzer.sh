#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs one libFuzzer target from its committed corpus for a bounded number of executions or
# seconds, whichever ends first. New inputs go to a scratch directory, never into the repository.
# Usage: run-fuzzer.sh BINARY CORPUS DICT WORKDIR RUNS SECONDS [extra libFuzzer options...]
set -euo pipefail
binary=$1 corpus=$2 dict=$3 work=$4 runs=$5 seconds=$6
shift 6
mkdir -p "$work/new" "$work/artifacts"
exec "$binary" -runs="$runs" -max_total_time="$seconds" -dict="$dict" -timeout=10 \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$@" "$work/new" "$corpus"
