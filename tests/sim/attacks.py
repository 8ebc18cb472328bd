#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""varnel-sim under attack: each command class against each hostile condition, on a target.

Usage: attacks.py VARNEL_SIM QEMU_BIN_DIR TARGET    (TARGET: host or qemu; qemu without a qemu
build exits 77, skipped)

Every row runs in a fresh directory holding a 4 MiB flash image full of data and a few inputs,
as its own session. It asserts the exit status, the SHA-256 of every file before and after (only
the files the row names may change, and a check says how), that no temporary file is left, and
that no process of the session (QEMU included) outlives varnel-sim.
"""
import hashlib
import os
import re
import struct
import signal
import subprocess
import sys
import tempfile
import time

FLASH = 4 << 20
SIM, QEMU_BIN, TARGET = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3]


def digest(path):
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


def snapshot(work):
    return {name: digest(os.path.join(work, name)) for name in sorted(os.listdir(work))
            if os.path.isfile(os.path.join(work, name)) and not os.path.islink(
                os.path.join(work, name)) and name not in ("out.txt", "err.txt")}


PATTERN = bytes((i * 7 + i // 4096) & 0xFF for i in range(1 << 16))
ORIGINAL = PATTERN * (FLASH // len(PATTERN))


def prepare(work):
    with open(os.path.join(work, "flash.img"), "wb") as handle:
        handle.write(ORIGINAL)
    for name, size, fill in (("in.bin", 0x3000, b"\x5A"), ("a3m.bin", 3 << 20, b"\xA5"),
                             ("big.bin", FLASH + 1, b"\x00")):
        with open(os.path.join(work, name), "wb") as handle:
            handle.write(fill * size)
    os.mkdir(os.path.join(work, "dir"))
    with open(os.path.join(work, "s.txt"), "w") as handle:
        handle.write("info\n")
    # Seven levels of twenty inclusions: 20^7 scripts if inclusions were free.
    for level in range(7):
        with open(os.path.join(work, f"n{level}"), "w") as handle:
            handle.write((f"script n{level + 1}\n" if level < 6 else "info\n") * 20)
    with open(os.path.join(work, "long.script"), "w") as handle:
        handle.write("read +0 1M -o /dev/null\n" * 20000 + "read +0 4M -o out.bin\n")


def spinning_image(work):
    """The qemu preset's image with the seed request's function replaced by a branch to itself."""
    with open(os.path.join(QEMU_BIN, "..", "VarnelMm.map")) as handle:
        rva = int(re.search(r"\?SpiNorMmSeedDeploy@\S+\s+([0-9a-f]+)", handle.read()).group(1), 16)
    with open(os.path.join(QEMU_BIN, "VarnelMm.efi"), "rb") as handle:
        image = bytearray(handle.read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count, optional = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from(
        "<H", image, pe + 20)[0]
    for index in range(count):
        size, address, _, raw = struct.unpack_from("<IIII", image, pe + 24 + optional + 40 * index
                                                   + 8)
        if address <= rva < address + size:
            struct.pack_into("<I", image, raw + rva - address, 0x14000000)  # b .
    with open(os.path.join(work, "spin.efi"), "wb") as handle:
        handle.write(image)


def sector(work, offset):
    with open(os.path.join(work, "flash.img"), "rb") as handle:
        handle.seek(offset)
        return handle.read(0x1000)


def flash_is(offset, data):
    return lambda work: sector(work, offset)[:len(data)] == data


# (class, condition, shell command after "$S --flash flash.img", exit status, files that may
# change, check of the result or None, signal to send after a delay or None; a row whose image is
# spin.efi runs on the qemu target only)
ROWS = [
    ("flash", "refusal the plan must foresee (crosses into a read-only gap)",
     "flash +0x11F000 a3m.bin", 1, set(), None, None),
    ("flash", "sent anyway (--keep-going): a refusal mid-update", "--keep-going flash "
     "+0x11F000 a3m.bin", 1, {"flash.img"},
     lambda work: sector(work, 0x17F000) == b"\xA5" * 0x1000 and all(
         sector(work, offset) == ORIGINAL[offset:offset + 0x1000]
         for offset in range(0x180000, 0x41F000, 0x1000)), None),
    ("flash", "after a seed: authenticated update", "seed 5 -- flash +0x1000 in.bin", 0,
     {"flash.img"}, flash_is(0x1000, b"\x5A" * 0x1000), None),
    ("write", "plain write after a seed (gate the plan must foresee)",
     "seed 5 -- erase +0x1000 4K", 1, set(), None, None),
    ("erase", "refusal after lock-down (run-time table)", "lockdown -- erase +0x120000 4K", 1,
     set(), None, None),
    ("erase", "stdout closed", "erase +0x2F0000 4K >&-", 0, {"flash.img"},
     flash_is(0x2F0000, b"\xFF" * 0x1000), None),
    ("erase", "stderr closed", "erase +0x2F0000 4K 2>&-", 0, {"flash.img"},
     lambda work: sector(work, 0)[:16] != b"SpiNorErase(Offs"[:16], None),
    ("erase", "all standard descriptors closed", "erase +0x2F0000 4K <&- >&- 2>&-", 0,
     {"flash.img"}, flash_is(0x2F0000, b"\xFF" * 0x1000), None),
    ("write", "stdin closed", "write +0x1000 - <&-", 2, set(), None, None),
    ("write", "stdin a directory", "write +0x1000 - < dir", 2, set(), None, None),
    ("write", "stdin larger than the flash", "write +0 - < big.bin", 2, set(), None, None),
    ("write", "input larger than the flash", "erase +0 4K -- write +0 big.bin", 2, set(), None,
     None),
    ("write", "console is the input", "--console in.bin write +0x1000 in.bin", 2, set(), None,
     None),
    ("script", "console is the script", "--console s.txt script s.txt", 2, set(), None, None),
    ("read", "output is an image the run creates",
     "info -- --flash new.img flash +0x1000 in.bin -- read +0x1000 16 -o new.img", 2, set(), None,
     None),
    ("read", "output is the image the run creates (own chain)",
     "erase +0 4K -- read +0 16 -o flash.img", 2, set(), None, None),
    ("read", "output is a link to the image", "erase +0 4K -- read +0 16 -o link.img", 2, set(),
     None, None),
    ("info", "console is a new image", "--flash new.img --console new.img erase +0 4K", 2, set(),
     None, None),
    ("read", "output name too long after an erase",
     "erase +0 4K -- read +0 16 -o " + "x" * 300, 2, set(), None, None),
    ("read", "output in /proc after an erase", "erase +0 4K -- read +0 16 -o /proc/version", 3,
     set(), None, None),
    ("verify", "input is an output of the run", "read +0 16 -o o.bin -- verify +0 o.bin", 2,
     set(), None, None),
    ("script", "inclusion bomb (7 levels of 20)", "script n0", 2, set(), None, None),
    ("read", "read-only run without an image", "--flash none.img read +0 16", 0, set(), None,
     None),
    ("read", "SIGTERM mid-run", "script long.script", 128 + signal.SIGTERM, set(), None,
     signal.SIGTERM),
    ("read", "SIGKILL mid-run", "script long.script", -signal.SIGKILL, set(), None,
     signal.SIGKILL),
    # qemu only: the image stops answering the second request of the chain.
    ("seed", "SIGTERM while the image hangs", "--image spin.efi --timeout 60 erase +0x2F0000 4K "
     "-- seed 1", 128 + signal.SIGTERM, set(), None, signal.SIGTERM),
    ("seed", "SIGKILL while the image hangs", "--image spin.efi --timeout 60 erase +0x2F0000 4K "
     "-- seed 1", -signal.SIGKILL, set(), None, signal.SIGKILL),
]


def run_row(row):
    klass, condition, command, expected, changes, check, stop = row
    with tempfile.TemporaryDirectory(prefix="varnel-attack-") as work:
        prepare(work)
        if "spin.efi" in command:
            spinning_image(work)
        os.symlink("flash.img", os.path.join(work, "link.img"))
        before = snapshot(work)
        target = f" --target {TARGET}"
        line = f'exec "{SIM}"{target} --flash flash.img {command} >out.txt 2>err.txt'
        if ">&-" in command or "2>&-" in command:
            line = f'exec "{SIM}"{target} --flash flash.img {command}'
        if command.startswith("info -- "):  # the row names its own image
            line = line.replace("--flash flash.img info -- ", "")
        process = subprocess.Popen(["bash", "-c", line], cwd=work, start_new_session=True,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        if stop is not None:
            time.sleep(1.0 if TARGET == "host" else 3.0)
            os.kill(process.pid, stop)
            stopped = time.monotonic()
        status = process.wait(timeout=600)
        problems = []
        # While the image hangs nothing else holds the run up: the stop must end it at once.
        if "spin.efi" in command and time.monotonic() - stopped > 5:
            problems.append(f"{time.monotonic() - stopped:.1f} s from the signal to the exit")
        # A process killed with its parent is reaped by init when it gets to it: only the living
        # count, and they get a few seconds to die.
        for _ in range(50):
            left = " ".join(line.split(None, 2)[0] + " " + line.split(None, 2)[2] for line in
                            subprocess.run(["ps", "-o", "pid=,stat=,comm=", "-s", str(process.pid)],
                                           capture_output=True, text=True).stdout.splitlines()
                            if not line.split()[1].startswith("Z"))
            if not left:
                break
            time.sleep(0.1)
        after = snapshot(work)
        if status != expected:
            problems.append(f"exit {status}, expected {expected}")
        changed = {name for name in set(before) | set(after)
                   if before.get(name) != after.get(name)}
        if changed - changes:
            problems.append(f"changed: {sorted(changed - changes)}")
        temporaries = [name for name in os.listdir(work) if name.startswith(".varnel")]
        if temporaries:
            problems.append(f"temporaries left: {temporaries}")
        if left:
            problems.append(f"processes left: {left}")
            for pid in left.split()[::2]:
                os.kill(int(pid), signal.SIGKILL)
        if check is not None and not check(work):
            problems.append("the result check failed")
        result = "ok" if not problems else "FAIL: " + "; ".join(problems)
        print(f"{TARGET:5} {klass:7} {condition:60} exit {status:4}  {result}")
        return not problems


def main():
    if TARGET == "qemu" and not os.path.exists(os.path.join(QEMU_BIN, "supervisor.elf")):
        print(f"no {QEMU_BIN}: qemu rows skipped")
        sys.exit(77)
    failed = [row for row in ROWS if (TARGET == "qemu" or "spin.efi" not in row[2]) and
              not run_row(row)]
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
