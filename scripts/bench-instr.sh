#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Instructions per request in the driver, measured with callgrind on bench/handler_bench's stubbed
# world (secure firmware, MM pool and console answer at once).
#
# For every path, handler_bench --instr runs the request COUNT times. Callgrind collects only
# while VarnelMmiHandler runs ("handler" column: the driver plus the stubs it calls). The
# "driver" column also switches collection off inside the platform seam (CallSecureService,
# Mmio*, BreakpointTrap) and the stub MM pool services, so it counts the driver's own
# instructions: frame, log filter, dispatch, table walk, staging, formatting and console loop.
# On the target the seam calls are an svc or a single load/store each, which this leaves out.
# (A toggle flips collection, so only the functions the driver calls directly are listed: the
# stubs behind the seam are inside CallSecureService and Mmio*.)
#
# Usage: scripts/bench-instr.sh [BUILD_TREE] [COUNT]
set -euo pipefail
tree=${1:-build/host-release}
count=${2:-1000}
bench="$tree/bin/handler_bench"
target_read=110

if [ ! -x "$bench" ]; then
  echo "bench-instr: $bench is missing; build the host-release preset first" >&2
  exit 1
fi
command -v valgrind >/dev/null || { echo "bench-instr: valgrind is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Valgrind 3.19 cannot read clang's DWARF 5; the symbol table is all that callgrind needs here.
objcopy --strip-debug "$bench" "$work/handler_bench"

# Instructions collected in one run, divided by the number of requests.
measure() {
  local path=$1
  shift
  valgrind --tool=callgrind --callgrind-out-file="$work/out" --collect-atstart=no \
    --toggle-collect=VarnelMmiHandler "$@" "$work/handler_bench" --instr "$path" "$count" \
    >"$work/stdout" 2>"$work/stderr" || { cat "$work/stderr" >&2; exit 1; }
  local total
  total=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$work/out")
  echo $(( (total + count / 2) / count ))
}

excluded=(--toggle-collect=CallSecureService --toggle-collect=MmioRead32
          --toggle-collect=MmioWrite32 --toggle-collect=MmioWrite8
          --toggle-collect=BreakpointTrap --toggle-collect=BenchStubAllocatePool
          --toggle-collect=BenchStubFreePool)

printf '%-20s %-12s %10s %10s\n' "path" "word 0" "handler" "driver"
printf '%-20s %-12s %10s %10s\n' "----" "------" "-------" "------"
read_cost=
for path in $("$bench" --list); do
  handler=$(measure "$path")
  word0=$(sed -n 's/.*word0=\(0x[0-9A-F]*\).*/\1/p' "$work/stdout")
  driver=$(measure "$path" "${excluded[@]}")
  printf '%-20s %-12s %10s %10s\n' "$path" "$word0" "$handler" "$driver"
  [ "$path" = Read ] && read_cost=$driver
done
echo
echo "Instructions per request, mean of $count requests (x86-64 host build, $(basename "$tree"))."
if [ -n "$read_cost" ]; then
  if [ "$read_cost" -le "$target_read" ]; then
    echo "Plain read in the driver: $read_cost instructions (target <= $target_read): met"
  else
    echo "Plain read in the driver: $read_cost instructions (target <= $target_read): NOT met"
  fi
fi
