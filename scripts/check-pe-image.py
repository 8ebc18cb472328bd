#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""Post-link check of the driver image: the MM core loads only a relocatable PE32+ image for
AArch64 with no imports and no thread-local storage, whose base relocations are all DIR64. An
image whose code holds no absolute address needs no relocations at all: it must then still say it
may be loaded anywhere (relocations not stripped, dynamic base).

Usage: check-pe-image.py IMAGE. Prints one line per problem and exits 1 if there is any."""
import struct
import sys

MACHINE_ARM64 = 0xAA64
OPTIONAL_MAGIC_PE32_PLUS = 0x20B
SUBSYSTEM_EFI_RUNTIME_DRIVER = 12
DIRECTORY_NAMES = {1: "an import", 9: "a TLS", 11: "a bound import", 12: "an import address table",
                   13: "a delay import"}
RELOC_ABSOLUTE = 0
RELOC_DIR64 = 10
FILE_RELOCS_STRIPPED = 0x0001
DLL_DYNAMIC_BASE = 0x0040


def check(data):
    problems = []
    if data[:2] != b"MZ" or len(data) < 0x40:
        return ["no MZ header"]
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return ["no PE signature"]
    machine, nsections, _, _, _, optsize, characteristics = struct.unpack_from("<HHIIIHH", data,
                                                                              pe + 4)
    if characteristics & FILE_RELOCS_STRIPPED:
        problems.append("relocations stripped: the image could load only at its preferred base")
    if machine != MACHINE_ARM64:
        problems.append(f"machine 0x{machine:04X}, want 0x{MACHINE_ARM64:04X}")
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    if magic != OPTIONAL_MAGIC_PE32_PLUS:
        return problems + [f"optional header magic 0x{magic:03X}, want PE32+ 0x20B"]
    subsystem, dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
    if not dll_characteristics & DLL_DYNAMIC_BASE:
        problems.append("no dynamic base")
    if subsystem != SUBSYSTEM_EFI_RUNTIME_DRIVER:
        problems.append(f"subsystem {subsystem}, want EFI runtime driver (12)")
    ndirs = struct.unpack_from("<I", data, opt + 108)[0]
    dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(min(ndirs, 16))]
    dirs += [(0, 0)] * (16 - len(dirs))
    for index in (1, 9, 11, 12, 13):
        if dirs[index][1] != 0:
            problems.append(f"has {DIRECTORY_NAMES[index]} directory")

    sections = []
    table = opt + optsize
    for i in range(nsections):
        name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        sections.append((name.rstrip(b"\0").decode(errors="replace"), vsize, vaddr, rawsize, rawptr))
    names = [s[0] for s in sections]
    for name in (".idata", ".tls"):
        if name in names:
            problems.append(f"has a {name} section")

    def file_offset(rva):
        for _, vsize, vaddr, rawsize, rawptr in sections:
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return rawptr + (rva - vaddr)
        return None

    reloc_rva, reloc_size = dirs[5]
    if reloc_size != 0:
        start = file_offset(reloc_rva)
        if start is None:
            return problems + ["base relocation directory outside every section"]
        pos, end = start, start + reloc_size
        while pos + 8 <= end:
            page, block = struct.unpack_from("<II", data, pos)
            if block < 8 or pos + block > end:
                problems.append(f"malformed relocation block at 0x{pos:X}")
                break
            for off in range(pos + 8, pos + block, 2):
                entry = struct.unpack_from("<H", data, off)[0]
                kind = entry >> 12
                if kind not in (RELOC_ABSOLUTE, RELOC_DIR64):
                    problems.append(f"relocation type {kind} at RVA 0x{page + (entry & 0xFFF):X}")
            pos += block
    return problems


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path = sys.argv[1]
    with open(path, "rb") as f:
        data = f.read()
    problems = check(data)
    for problem in problems:
        print(f"{path}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
