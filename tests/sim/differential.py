#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""Differential test of varnel-sim's two targets.

Runs differential.script with --json --keep-going once on the host target and once on the QEMU
target (the real VarnelMm.efi), each on its own copy of one starting flash image, and compares
byte for byte: the JSON lines, the console bytes, the files written by the script, the exit
status and the flash image afterwards. Then checks that the script reached every answer class.

Usage: differential.py VARNEL_SIM QEMU_BIN_DIR
Exit 0 when the targets agree, 1 when they differ, 77 (skipped) when the qemu preset is not built.
"""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "differential.script")
FLASH_SIZE = 32 << 20
SKIPPED = 77
# Status of every answer class the script must reach, and how often at least.
ANSWER_CLASSES = {
    "success": ("status", "success"),
    "no write permission": ("status", "no write permission"),
    "authentication refused": ("status", "authentication refused"),
    "failure": ("status", "failure"),
    "buffer too small": ("efi_status_name", "EFI_BAD_BUFFER_SIZE"),
    "unsupported function": ("efi_status_name", "EFI_ACCESS_DENIED"),
}


def make_files(directory):
    rng = random.Random(20261208)
    # Starting flash: blank, with some programmed bytes so reads and erases have something to show.
    flash = bytearray(b"\xff" * FLASH_SIZE)
    for offset in (0, 0x1000, 0x5000, 0x1FF000, 0x1700000):
        flash[offset:offset + 0x800] = bytes(rng.randrange(256) for _ in range(0x800))
    with open(os.path.join(directory, "start.img"), "wb") as f:
        f.write(flash)
    for name, size in (("small.bin", 32), ("chunked.bin", 0x101000), ("straddle.bin", 0x120000),
                       ("update.bin", 0x3800)):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(bytes(rng.randrange(256) for _ in range(size)))


def run(varnel_sim, directory, target_args):
    shutil.copy(os.path.join(directory, "start.img"), os.path.join(directory, "flash.img"))
    command = [varnel_sim, *target_args, "--flash", "flash.img", "--console", "console.txt",
               "--json", "--keep-going", "script", SCRIPT]
    done = subprocess.run(command, cwd=directory, capture_output=True, timeout=300)
    outputs = {"exit status": str(done.returncode).encode(), "JSON lines": done.stdout}
    for name in ("flash.img", "console.txt", "back.bin"):
        with open(os.path.join(directory, name), "rb") as f:
            outputs[name] = f.read()
    return outputs, done.stderr.decode(errors="replace")


def first_difference(left, right):
    for index, (a, b) in enumerate(zip(left, right)):
        if a != b:
            return index
    return min(len(left), len(right))


def main():
    varnel_sim, bin_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    image = os.path.join(bin_dir, "VarnelMm.efi")
    if not (os.path.exists(image) and os.path.exists(os.path.join(bin_dir, "supervisor.elf"))):
        print(f"skipped: no {image} (cmake --build --preset qemu)")
        return SKIPPED
    with tempfile.TemporaryDirectory(prefix="varnel-differential-") as directory:
        make_files(directory)
        host, host_errors = run(varnel_sim, directory, ["--target", "host"])
        qemu, qemu_errors = run(varnel_sim, directory, ["--target", "qemu", "--image", image])

    failures = 0
    for name in host:
        if host[name] == qemu[name]:
            continue
        failures += 1
        at = first_difference(host[name], qemu[name])
        print(f"FAIL {name} differs at byte {at} (sizes {len(host[name])} and {len(qemu[name])})")
        if name in ("JSON lines", "console.txt", "exit status"):
            print("  host: " + host[name][max(0, at - 80):at + 160].decode(errors="replace"))
            print("  qemu: " + qemu[name][max(0, at - 80):at + 160].decode(errors="replace"))
    if failures:
        print("host stderr:\n" + host_errors + "\nqemu stderr:\n" + qemu_errors)

    reports = [json.loads(line) for line in host["JSON lines"].splitlines()]
    commands = {report["command"] for report in reports}
    seen = {name for name, (key, value) in ANSWER_CLASSES.items()
            if any(report.get(key) == value for report in reports)}
    # The seed gate: plain functions refused once a seed is deployed.
    seeded = next((i for i, r in enumerate(reports) if r["command"] == "seed" and r["ok"]), None)
    if seeded is not None and any(r["command"] in ("read", "write", "erase", "lock") and
                                  r.get("status") == "failure" for r in reports[seeded:]):
        seen.add("seed gate")
    else:
        failures += 1
        print("FAIL the script reached no plain request refused by the seed gate")
    chunked = [r for r in reports if r.get("requests", 0) > 1]
    refused_later = [r for r in chunked if not r["ok"]]
    for name in ANSWER_CLASSES:
        if name not in seen:
            failures += 1
            print(f"FAIL the script reached no answer of class '{name}'")
    if not chunked or not refused_later:
        failures += 1
        print("FAIL the script has no chunked transfer, or none refused after its first chunk")
    print(f"{len(reports)} commands ({len(commands)} different), answer classes: "
          f"{', '.join(sorted(seen))}; {len(chunked)} chunked transfers, "
          f"{len(refused_later)} refused after the first chunk; exit status "
          f"{host['exit status'].decode()}, flash {FLASH_SIZE >> 20} MiB")
    print("targets agree byte for byte" if failures == 0 else f"{failures} differences")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
