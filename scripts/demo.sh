#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# `make demo`: a flash engineer's update session through varnel-sim against the real VarnelMm.efi
# under QEMU (--target qemu). Builds the image for QEMU's virt board with its EL1 supervisor
# (preset qemu) and varnel-sim (preset host-release), then, on a fresh 64 MiB flash image in a
# scratch directory:
#   1. a script: info, regions, a backup of the whole flash, flash of a new firmware (verified);
#   2. a write outside every writable region, which the plan refuses with its reason before
#      anything is sent, and the same write sent anyway (--keep-going): the driver's own refusal
#      and its console line;
#   3. a script: seed deployment, a signed write read back, run-time lock-down, regions.
# Each step is printed with varnel-sim's output and the driver's console lines. The outcome is
# checked independently of the tool (exit statuses, the reports, the backup's bytes, the flash
# image's bytes with cmp); prints PASSED, or FAILED and exits 1.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}

./scripts/install-deps.sh
for preset in qemu host-release; do
  if [ ! -f "build/$preset/build.ninja" ]; then
    cmake --preset "$preset" >/dev/null
  fi
done
echo "Building VarnelMm.efi with its QEMU supervisor (preset qemu) and varnel-sim (host-release)..."
if ! build_log=$({ cmake --build --preset qemu -j "$jobs" &&
  cmake --build --preset host-release -j "$jobs" --target varnel-sim; } 2>&1); then
  echo "$build_log"
  exit 1
fi
sim=$root/build/host-release/bin/varnel-sim

work=$(mktemp -d "${TMPDIR:-/tmp}/varnelmm-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
# The new firmware (256 KiB) and the signed update (4 KiB): fixed patterns, so every run is alike.
python3 -c '
import sys
open("firmware.bin", "wb").write(bytes((i * 7 + (i >> 12)) & 0xFF for i in range(256 * 1024)))
open("signed.bin", "wb").write(bytes((i * 13 + 5) & 0xFF for i in range(4096)))
open("page.bin", "wb").write(bytes(4096))'
cat >update.txt <<'END'
info                          # what the driver reports about the flash
regions                       # the boot access table in force
read +0 64M -o backup.bin     # back up the whole flash
flash +0x20000 firmware.bin   # erase what needs it, program what differs, read back
END
cat >secure.txt <<'END'
seed 0x1234                                 # from now on only signed requests reach the flash
secure-write +0x2F0000 signed.bin --verify  # a signed write, read back
lockdown                                    # the smaller run-time table from now on
regions
END

failures=()
output=""
status=0
# Runs varnel-sim --target qemu ARGS..., shows the command line and its output (reports and the
# driver's console, indented), and keeps both for the checks.
run() {
  echo "\$ varnel-sim --target qemu $*"
  status=0
  output=$("$sim" --target qemu "$@" 2>&1) || status=$?
  sed 's/^/    /' <<<"$output"
  echo "    (exit status $status)"
  echo
}
expect_status() {
  [ "$status" -eq "$1" ] || failures+=("$2: exit status $status, expected $1")
}
expect_text() {
  grep -qF -- "$1" <<<"$output" || failures+=("$2: no '$1' in the output")
}
# Length bytes of the flash image at Offset equal File.
expect_flash() {
  cmp -s -i "$(($1)):0" -n "$(stat -c %s "$2")" varnel-flash.img "$2" ||
    failures+=("$3: the flash at $1 does not hold $2")
}

echo "VarnelMm on QEMU virt (Cortex-A57): the real VarnelMm.efi at EL0, its MM core and secure"
echo "firmware as models at EL1, driven by varnel-sim; the driver's own console lines (on QEMU's"
echo "PL011) are interleaved with the reports."
echo
echo "== 1. Update session: information, access table, backup, flash with verify"
sed 's/^/    /' update.txt
echo
run script update.txt
expect_status 0 "update session"
expect_text "FlashSize  0x0000000004000000" "info"
expect_text "boot table in force; lock-down off, seed not deployed" "regions"
expect_text "read: SpiNorRead(Offset=0x91A00000, Length=0x4000000" "backup"
expect_text "64 sectors: 0 erased, 64 programmed, 0 already equal" "flash"
expect_text "verified: 0x40000 bytes equal" "flash"
if [ "$(stat -c %s backup.bin 2>/dev/null)" != $((64 << 20)) ] ||
  [ -n "$(tr -d '\377' <backup.bin | head -c 1)" ]; then
  failures+=("backup: backup.bin is not the 64 MiB of an erased flash")
fi
expect_flash 0x20000 firmware.bin "flash"
before=$(sha256sum <varnel-flash.img)

echo "== 2. A write outside every writable region: the plan refuses it and nothing is sent;"
echo "   sent anyway (--keep-going), the driver refuses it itself"
run write +0x180000 page.bin
expect_status 1 "refused write"
expect_text "plan refused: argument 3: write: request 1 (SpiNorWrite Offset=0x91B80000" \
  "refused write"
expect_text "the range is not inside one writable region of the boot table" "refused write"
expect_text "nothing was sent" "refused write"
run --keep-going write +0x180000 page.bin
expect_status 1 "write sent anyway"
expect_text "write: SpiNorWrite(Offset=0x91B80000, Length=0x1000, Buffer=0x80000000): no write permission (0xAABBCC01), EFI_SUCCESS" \
  "write sent anyway"
expect_text "SpiNorWrite No write permission Offset 91B80000 - Len 1000" "driver's console"
[ "$(sha256sum <varnel-flash.img)" = "$before" ] ||
  failures+=("refused write: the flash image changed")

echo "== 3. Seed, a signed write, lock-down"
sed 's/^/    /' secure.txt
echo
run script secure.txt
expect_status 0 "signed session"
expect_text "seed: SpiNorSeedDeploy(Seed=0x1234): success (0xAABBCC00), EFI_SUCCESS" "seed"
expect_text "secure-write: SpiNorSecureWrite(Offset=0x91CF0000, Length=0x1000" "signed write"
expect_text "verified: 0x1000 bytes equal" "signed write"
expect_text "lockdown: SpiNorRunTimeLockDown(): success (0xAABBCC00), EFI_SUCCESS" "lock-down"
expect_text "run-time table in force; lock-down on, seed deployed" "lock-down"
expect_flash 0x2F0000 signed.bin "signed write"
expect_flash 0x20000 firmware.bin "signed session"

if [ ${#failures[@]} -ne 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}"
  exit 1
fi
echo "PASSED: info, regions, backup, flash with verify, a refused write, seed, a signed write and"
echo "lock-down on the real image; the flash image holds the new firmware and the signed update"
