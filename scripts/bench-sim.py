#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""Run cost of varnel-sim on a large flash image: wall time and peak memory of typical runs.

Usage: bench-sim.py [--sim PATH] [--size 64M] [--runs N] [--target host|qemu|both]

With --target both every case runs on the host target and on the real image under QEMU (the
qemu preset's build), one table each; "info" is the start-up to the first answer. Each case runs
N times on a fresh copy of one image in a temporary directory; the table shows the fastest and
the median wall time and the largest peak resident set of varnel-sim and QEMU (GNU time's,
from wait4, which takes the largest of the process and the children it waited for). A binary
without the `flash` command (an older build) is measured with `erase` + `write` instead.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def parse_size(text):
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1].upper(), 1)
    return int(text[:-1] if scale != 1 else text, 0) * scale


def run(argv, cwd):
    # GNU time reports the peak resident set of the program alone; a child forked from Python
    # would carry Python's own peak into its count.
    start = time.perf_counter()
    process = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, cwd=cwd,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    err = process.stderr.decode(errors="replace").strip().splitlines()
    if process.returncode != 0:
        sys.exit(f"bench-sim: {' '.join(argv)} exited {process.returncode}: {' '.join(err)}")
    return elapsed, int(err[-1])  # KiB


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", default="build/host-release/bin/varnel-sim")
    parser.add_argument("--size", default="64M")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--target", choices=("host", "qemu", "both"), default="host")
    args = parser.parse_args()
    sim = os.path.abspath(args.sim)
    size = parse_size(args.size)
    has_flash = subprocess.run([sim, "flash", "--help"], capture_output=True).returncode == 0

    with tempfile.TemporaryDirectory(prefix="varnel-bench-") as work:
        with open(os.path.join(work, "page.bin"), "wb") as page:
            page.write(bytes(range(256)) * 16)
        with open(os.path.join(work, "update.bin"), "wb") as update:
            update.write(os.urandom(1 << 20))
        base = [sim, "--flash", "master.img", "--flash-size", str(size)]
        run(base + ["erase", "+0", "4K"], work)  # a run that only reads creates no image
        # info on a small and a large image: the start-up cost should not grow with the flash.
        for name, bytes_ in (("small.img", 1 << 20), ("large.img", 1 << 30)):
            run([sim, "--flash", name, "--flash-size", str(bytes_), "erase", "+0", "4K"], work)
        flash_1m = (["flash", "+0x1800000", "update.bin"] if has_flash else
                    ["erase", "+0x1800000", "1M", "--", "write", "+0x1800000", "update.bin"])
        cases = [
            ("info", ["info"]),
            ("info, 1 MiB image", ["--flash", "small.img", "info"]),
            ("info, 1 GiB image", ["--flash", "large.img", "info"]),
            ("erase + write 4 KiB", ["erase", "+0x2000", "4K", "--", "write", "+0x2000",
                                     "page.bin"]),
            ("flash 1 MiB" if has_flash else "erase + write 1 MiB", flash_1m),
            (f"read {args.size} -o file", ["read", "+0", str(size), "-o", "dump.bin"]),
            (f"read {args.size}, hex dump", ["read", "+0", str(size)]),
            (f"read {args.size}, JSON", ["--json", "read", "+0", str(size)]),
        ]
        targets = ("host", "qemu") if args.target == "both" else (args.target,)
        for target in targets:
            print(f"varnel-sim --target {target} run cost on a {args.size} image ({sim}), "
                  f"{args.runs} runs each")
            print(f"{'case':<24} {'fastest':>10} {'median':>10} {'peak RSS':>10}")
            for name, command in cases:
                times, peaks = [], []
                for _ in range(args.runs):
                    shutil.copyfile(os.path.join(work, "master.img"),
                                    os.path.join(work, "flash.img"))
                    # The later --flash of a case naming its own image wins. The qemu target
                    # maps the image into QEMU, so its start-up does not grow with the flash.
                    elapsed, peak = run([sim, "--target", target, "--flash", "flash.img"] +
                                        command, work)
                    times.append(elapsed)
                    peaks.append(peak)
                print(f"{name:<24} {min(times) * 1000:>8.1f}ms "
                      f"{statistics.median(times) * 1000:>8.1f}ms {max(peaks) / 1024:>8.1f}MiB")


if __name__ == "__main__":
    main()
