#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs every benchmark executable of a build tree (Release build, no sanitizers), then the run
# cost of varnel-sim on a 64 MiB image (scripts/bench-sim.py).
set -euo pipefail
tree=${1:-build/host-release}
status=0
for bench in "$tree"/bin/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" --benchmark_min_time=0.2 || status=1
done
if [ -x "$tree/bin/varnel-sim" ]; then
  echo "== varnel-sim"
  # On both targets when the qemu preset's image and supervisor are built.
  target=host
  [ -f "$tree/../qemu/bin/supervisor.elf" ] && target=both
  python3 "$(dirname "$0")/bench-sim.py" --sim "$tree/bin/varnel-sim" --target "$target" || status=1
fi
exit $status
