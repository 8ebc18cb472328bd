#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# `make demo`: builds the driver image for QEMU's virt board (console on its PL011 at 0x09000000)
# and the EL1 supervisor, boots QEMU, and serves a sample session to the real VarnelMm.efi:
# flash information, a read, a write the access table refuses, a write and read-back inside a
# permitted region, run-time lock-down, seed deployment, a plain write refused after it, and an
# authenticated write with a valid and with a bad MAC. Each request is printed with its answer,
# next to the lines the driver itself wrote to the console. Exits non-zero if any answer, record
# word, secure-service call or console byte differs from what the scenario expects.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
if [ ! -f build/qemu/build.ninja ]; then
  cmake --preset qemu >/dev/null
fi
echo "Building VarnelMm.efi and the QEMU supervisor (preset qemu)..."
if ! build_log=$(cmake --build --preset qemu -j "${JOBS:-2}" 2>&1); then
  echo "$build_log"
  exit 1
fi
echo
exec python3 qemu/run-qemu.py --build-dir build/qemu --mode demo --timeout 60
