#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""The post-link image check accepts the built image and rejects each kind of bad image.

Usage: test-image-check.py CHECK_SCRIPT IMAGE"""
import os
import struct
import subprocess
import sys
import tempfile


def headers(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    return pe, optional, optional + optional_size


def first_section(data):
    """RVA and file offset of the first section."""
    _, _, sections = headers(data)
    _, _, vaddr, _, rawptr = struct.unpack_from("<8sIIII", data, sections)
    return vaddr, rawptr


def mutate(data, name):
    pe, optional, sections = headers(data)
    if name == "x86-64 machine":
        struct.pack_into("<H", data, pe + 4, 0x8664)
    elif name == "PE32 magic":
        struct.pack_into("<H", data, optional, 0x10B)
    elif name == "boot-service subsystem":
        struct.pack_into("<H", data, optional + 68, 11)
    elif name == "import directory":
        struct.pack_into("<II", data, optional + 112 + 8 * 1, 0x1000, 40)
    elif name == "TLS directory":
        struct.pack_into("<II", data, optional + 112 + 8 * 9, 0x1000, 40)
    elif name == "relocation type 3 (HIGHLOW)":
        # A one-entry relocation block laid over the start of the first section.
        rva, offset = first_section(data)
        struct.pack_into("<IIH", data, offset, rva, 10, (3 << 12) | 0x10)
        struct.pack_into("<II", data, optional + 112 + 8 * 5, rva, 10)
    elif name == "relocations stripped":
        value = struct.unpack_from("<H", data, pe + 22)[0]
        struct.pack_into("<H", data, pe + 22, value | 0x0001)
    elif name == "no dynamic base":
        value = struct.unpack_from("<H", data, optional + 70)[0]
        struct.pack_into("<H", data, optional + 70, value & ~0x0040)
    return data


def main():
    check, image = sys.argv[1], sys.argv[2]
    with open(image, "rb") as f:
        original = f.read()
    failures = 0
    if subprocess.run([sys.executable, check, image]).returncode != 0:
        print("FAIL the built image is rejected")
        failures += 1
    names = ["x86-64 machine", "PE32 magic", "boot-service subsystem", "import directory",
             "TLS directory", "relocation type 3 (HIGHLOW)", "relocations stripped",
             "no dynamic base"]
    with tempfile.TemporaryDirectory() as directory:
        for name in names:
            path = os.path.join(directory, "bad.efi")
            with open(path, "wb") as f:
                f.write(mutate(bytearray(original), name))
            result = subprocess.run([sys.executable, check, path], capture_output=True, text=True)
            verdict = "rejected" if result.returncode != 0 else "ACCEPTED"
            print(f"{name}: {verdict} {result.stderr.strip()}")
            failures += result.returncode == 0
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
