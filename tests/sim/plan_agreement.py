#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""The plan and the driver agree: random chains, planned and then sent anyway.

Usage: plan_agreement.py VARNEL_SIM [CHAINS] [SEED] [QEMU_BIN_DIR]
(VARNEL_SIM_TARGET=qemu runs it on the qemu target; without a qemu build it exits 77, skipped)

Each chain of 1-4 commands (state changes and range requests near the access tables' row
boundaries, the flash's end and the sector grid) runs twice on a fresh image: as planned, and
with --keep-going, which sends everything. A plan that passes must be a run in which every request
succeeds; a plan refused at command k must be a run in which command k is the first that fails,
and the planned run must have left the image untouched. (verify is left out: a difference of
contents is no refusal.)
"""
import hashlib
import json
import os
import random
import re
import subprocess
import sys
import tempfile

SIM = os.path.abspath(sys.argv[1])
CHAINS = int(sys.argv[2]) if len(sys.argv) > 2 else 150
RNG = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 16)
FLASH = 0x400000
EDGES = [0, 0x1000, 0xFF000, 0x100000, 0x11F000, 0x120000, 0x12F000, 0x130000, 0x17F000,
         0x180000, 0x2F0000, 0x3EF000, 0x3F0000, FLASH - 0x1000, FLASH]


def place():
    return RNG.choice(EDGES) + RNG.choice([0, 0, 0x800, -0x1000 if RNG.random() < 0.3 else 0])


def command():
    offset, length = max(place(), 0), RNG.choice([0x10, 0x1000, 0x2000, 0x10000, 0x11000])
    kind = RNG.choice(["erase", "write", "read", "lock", "secure-erase", "secure-write",
                       "secure-read", "secure-lock", "flash", "lockdown", "seed",
                       "lock-region-lock"])
    if kind in ("lockdown", "lock-region-lock"):
        return [kind]
    if kind == "seed":
        return ["seed", str(RNG.choice([1, 2]))]
    if kind in ("write", "secure-write", "flash"):
        return [kind, f"+{offset:#x}", f"in{length:x}.bin"]
    return [kind, f"+{offset:#x}", f"{length:#x}"]


def digest(path):
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


def main():
    if os.environ.get("VARNEL_SIM_TARGET") == "qemu" and len(sys.argv) > 4 and not os.path.exists(
            os.path.join(sys.argv[4], "supervisor.elf")):
        print("no qemu build: skipped")
        sys.exit(77)
    disagreements = 0
    with tempfile.TemporaryDirectory(prefix="varnel-plan-") as work:
        for length in (0x10, 0x1000, 0x2000, 0x10000, 0x11000):
            with open(os.path.join(work, f"in{length:x}.bin"), "wb") as handle:
                handle.write(bytes(RNG.getrandbits(8) for _ in range(length)))
        image = os.path.join(work, "flash.img")
        for _ in range(CHAINS):
            chain = [command() for _ in range(RNG.randint(1, 4))]
            argv = []
            for index, item in enumerate(chain):
                argv += (["--"] if index else []) + item
            with open(image, "wb") as handle:
                handle.write(b"\x3C" * FLASH)
            before = digest(image)
            base = [SIM, "--flash", "flash.img", "--json"]
            planned = subprocess.run(base + argv, cwd=work, capture_output=True, text=True)
            refused = re.search(r"plan refused: argument (\d+)", planned.stderr)
            if refused and digest(image) != before:
                print("planned run changed the image:", " ".join(argv))
                disagreements += 1
            with open(image, "wb") as handle:
                handle.write(b"\x3C" * FLASH)
            sent = subprocess.run(base + ["--keep-going"] + argv, cwd=work, capture_output=True,
                                  text=True)
            oks = [json.loads(line)["ok"] for line in sent.stdout.splitlines() if line]
            first_failure = oks.index(False) if False in oks else None
            expected = None
            if refused:
                # The refused command's first word: commands start at argument 4 (after
                # --flash flash.img --json), each one word after the previous one's "--".
                start = 4
                for index, item in enumerate(chain):
                    if start == int(refused.group(1)):
                        expected = index
                    start += len(item) + 1
            if planned.returncode not in (0, 1) or first_failure != expected:
                print(f"plan {'refused at ' + str(expected) if refused else 'passed'} "
                      f"(exit {planned.returncode}), driver's first failure {first_failure}: "
                      f"{' '.join(argv)}\n  {planned.stderr.strip()[:300]}")
                disagreements += 1
    print(f"{CHAINS} chains, {disagreements} disagreements")
    sys.exit(1 if disagreements else 0)


if __name__ == "__main__":
    main()
