#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""Boots the QEMU supervisor and checks the run.

The supervisor reports on semihosting (QEMU's stderr) and leaves QEMU with a status through
SYS_EXIT. The UART carries only the driver's console bytes, bracketed per scenario step by
marker lines (SOH 'B' scenario.step LF ... SOH 'E' LF); for every step whose console output is
checked the supervisor sends "CONSOLE scenario.step <hex of the expected bytes>", in which byte
0x1A stands for one or more decimal digits. This script compares the two, so the exact console
bytes of the real image are checked although the supervisor cannot read the UART back.

Modes: scenarios (all scenarios, status 0), demo (the sample session, printed readably),
self-test, the four deliberate driver faults, which must end with the driver-fault status 3 and a
report naming the exception class, fault-pair (a pair load on the record, which the record counter
refuses with status 8), and race (two vCPUs: a request stream against a core rewriting the record;
status 0 when no divergence was found).
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time


def supervisor_constants():
    """The supervisor's addresses, run modes and exit statuses, read from its own headers."""
    here = os.path.dirname(os.path.abspath(__file__))
    constants = {}
    for header in ("LoaderDevices.h", "MemoryMap.h", "Semihosting.h"):
        with open(os.path.join(here, header), encoding="utf-8") as f:
            for name, value in re.findall(r"\b(k\w+) = (0x[0-9A-Fa-f]+|\d+)[,;]", f.read()):
                constants[name] = int(value, 0)
    return constants


SUPERVISOR = supervisor_constants()
MODE_ADDRESS = SUPERVISOR["kModeAddress"]
IMAGE_FILE_ADDRESS = SUPERVISOR["kImageFileAddress"]
MODES = {name: SUPERVISOR[constant] for name, constant in (
    ("scenarios", "kModeScenarios"), ("self-test", "kModeSelfTest"),
    ("fault-fp", "kModeFaultFloatingPoint"), ("fault-load", "kModeFaultLoad"),
    ("fault-undefined", "kModeFaultUndefined"), ("fault-unaligned", "kModeFaultUnaligned"),
    ("demo", "kModeDemo"), ("fault-pair", "kModeFaultPair"), ("race", "kModeRace"))}
EXIT_DRIVER_FAULT = SUPERVISOR["kExitDriverFault"]
# What each fault mode's report must name: exception class (and fault status code).
FAULT_SIGNATURES = {
    "fault-fp": r"EC 0x7 \(floating point",
    "fault-load": r"EC 0x24 \(data abort from a lower level\).* FAR "
                  + f"0x{SUPERVISOR['kNormalWorldAddress']:X}\\b",
    "fault-undefined": r"EC 0x0 \(unknown reason",
    "fault-unaligned": r"EC 0x24 .*ESR 0x92000021",  # DFSC 0x21: alignment fault
    "fault-pair": r"not a single-register load or store.*EC 0x24 .*ESR 0x9200000F",
}
# The record counter ends the run with a status of its own.
FAULT_STATUS = {"fault-pair": SUPERVISOR["kExitRecordAccess"]}
MARKER = re.compile(rb"\x01([BE])([0-9.]*)\n")


def run_qemu(qemu, build_dir, mode, timeout, race=None):
    serial = tempfile.NamedTemporaryFile(prefix="varnelmm-serial-", delete=False)
    serial.close()
    command = [qemu, "-M", "virt", "-cpu", "cortex-a57", "-m", "256M", "-nographic",
               "-monitor", "none", "-nic", "none", "-semihosting",
               "-kernel", os.path.join(build_dir, "bin", "supervisor.elf"),
               "-serial", "file:" + serial.name,
               "-device", f"loader,addr={MODE_ADDRESS:#x},data={MODES[mode]},data-len=4"]
    image = os.path.join(build_dir, "bin", "VarnelMm.efi")
    if mode in ("scenarios", "demo", "race"):
        command += ["-device", f"loader,file={image},addr={IMAGE_FILE_ADDRESS:#x},force-raw=on"]
    if mode == "race":
        # Two vCPUs on two host threads: the second one rewrites the record while the first
        # serves the driver's requests.
        command += ["-smp", "2", "-accel", "tcg,thread=multi"]
        for offset, value in ((SUPERVISOR["kRaceRequestsOffset"], race.requests),
                              (SUPERVISOR["kRaceSeedOffset"], race.seed),
                              (SUPERVISOR["kRaceFlagsOffset"], int(race.count_only))):
            command += ["-device", f"loader,addr={MODE_ADDRESS + offset:#x},data={value},data-len=4"]
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout)
        status = done.returncode
        report = done.stderr.decode(errors="replace")
    except subprocess.TimeoutExpired as expired:
        status = None
        report = (expired.stderr or b"").decode(errors="replace")
    with open(serial.name, "rb") as f:
        console = f.read()
    os.unlink(serial.name)
    return status, report, console


def split_console(console):
    """Console bytes per step, and any bytes that fell outside every step."""
    steps, stray, step, at = {}, b"", None, 0
    for match in MARKER.finditer(console):
        chunk = console[at:match.start()]
        if step is None:
            stray += chunk
        else:
            steps[step] = steps.get(step, b"") + chunk
        step = match.group(2).decode() if match.group(1) == b"B" else None
        at = match.end()
    stray += console[at:]
    return steps, stray


def matches(expected, actual):
    pattern = b"".join(b"[0-9]+" if part == b"\x1a" else re.escape(part)
                       for part in re.split(rb"(\x1a)", expected) if part)
    return re.fullmatch(pattern, actual, re.DOTALL) is not None


def check_console(report, console):
    steps, stray = split_console(console)
    problems = []
    if stray:
        problems.append(f"console bytes outside any step: {stray!r}")
    checked = 0
    for line in report.splitlines():
        if not line.startswith("CONSOLE "):
            continue
        _, step, hexbytes = (line.split(" ", 2) + [""])[:3]
        expected = bytes.fromhex(hexbytes)
        actual = steps.get(step, b"")
        checked += 1
        if not matches(expected, actual):
            problems.append(f"step {step}: console expected {expected!r} got {actual!r}")
    return checked, problems


def print_demo(report, console):
    steps, _ = split_console(console)
    print("VarnelMm on QEMU virt (Cortex-A57): the real VarnelMm.efi runs at EL0; its MM core and")
    print("secure firmware are models at EL1; its console is QEMU's PL011 (lines marked 'console |').")
    print()
    title, answer, at = None, [], None

    def flush():
        if title is None:
            return
        print(title)
        for text in answer:
            print("    " + text)
        for text in steps.get(at, b"").decode(errors="replace").splitlines():
            print("    console | " + text)
        print()

    for line in report.splitlines():
        if line.startswith("STEP "):
            flush()
            _, at, name = line.split(" ", 2)
            title, answer = f"[{int(at.split('.')[1]) + 1}] {name}", []
        elif line.startswith("REQUEST "):
            answer.append(line.split(" ", 2)[2])
        elif line.startswith("START "):
            answer.append(line[len("START "):])
        elif line.startswith(("FAIL", "FAULT")):
            answer.append(line)
        elif line.startswith("VarnelMm.efi loaded"):
            print(line + "\n")
        elif line.startswith(("PASSED", "FAILED")):
            flush()
            title = None
            print(line)
    flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--mode", choices=MODES, default="scenarios")
    parser.add_argument("--qemu", default="qemu-system-aarch64")
    parser.add_argument("--timeout", type=float, default=60)
    parser.add_argument("--requests", type=int, default=2000, help="race: requests to serve")
    parser.add_argument("--seed", type=int, default=1, help="race: the request stream's seed")
    parser.add_argument("--count-only", action="store_true",
                        help="race: the record counter counts but does not fail the run, so "
                             "the racing core's own checks are seen alone")
    args = parser.parse_args()

    started = time.monotonic()
    status, report, console = run_qemu(args.qemu, args.build_dir, args.mode, args.timeout, args)
    elapsed = time.monotonic() - started
    problems = []
    if status is None:
        problems.append(f"QEMU did not finish within {args.timeout:g} s")
    if args.mode.startswith("fault-"):
        want = FAULT_STATUS.get(args.mode, EXIT_DRIVER_FAULT)
        if status != want:
            problems.append(f"exit status {status}, want {want}")
        if not re.search(FAULT_SIGNATURES[args.mode], report):
            problems.append("no fault report naming the expected exception class")
    else:
        if status != 0:
            problems.append(f"exit status {status}")
        if args.mode in ("scenarios", "demo"):
            checked, console_problems = check_console(report, console)
            problems += console_problems
            if checked == 0:
                problems.append("no console expectations received")

    if args.mode == "demo":
        print_demo(report, console)
    else:
        print("\n".join(l for l in report.splitlines() if not l.startswith("CONSOLE ")))
    for problem in problems:
        print("FAIL " + problem)
    if not problems and args.mode == "scenarios":
        print(f"console bytes of {checked} steps match")
    if args.mode == "race":
        print(f"race run took {elapsed:.1f} s")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
