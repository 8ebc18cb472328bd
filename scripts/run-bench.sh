#!/usr/bin/env bash
# Runs every benchmark executable of a build tree (Release build, no sanitizers).
set -euo pipefail
tree=${1:-build/host-release}
status=0
for bench in "$tree"/bin/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" --benchmark_min_time=0.2 || status=1
done
exit $status
