#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""Builds the driver image a second time, from a copy of the sources under another path into a
build tree under another path, later than the first build, and requires the same bytes.

  check-reproducible.py --source-dir S --image BUILT.efi --work-dir W -- CMAKE_ARGS...

CMAKE_ARGS are the settings of the tree that built BUILT.efi (toolchain, build type, console
base). The copy is built without a compiler launcher, so a cache cannot hand back objects of the
first build. On a difference the first differing offset is named, with the PE header field it
falls in where it is one that a link commonly makes differ (the time stamp, the checksum).
"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys

# What the image's build reads from the source tree.
IMAGE_INPUTS = ["CMakeLists.txt", "cmake", "include", "src", "scripts", "qemu/CMakeLists.txt"]


def sha256(path):
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


def header_field(data, offset):
    """Names the PE header field at offset, for the fields a link commonly makes differ."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    fields = {pe + 8: "COFF TimeDateStamp", pe + 24 + 64: "optional header CheckSum"}
    for start, name in fields.items():
        if start <= offset < start + 4:
            return name
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("cmake_args", nargs="*")
    args = parser.parse_args()

    shutil.rmtree(args.work_dir, ignore_errors=True)
    # Another depth and other names than the first build's source and build trees.
    source = os.path.join(args.work_dir, "elsewhere", "checkout")
    build = os.path.join(args.work_dir, "another-build-tree")
    for item in IMAGE_INPUTS:
        origin = os.path.join(args.source_dir, item)
        target = os.path.join(source, item)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if os.path.isdir(origin):
            shutil.copytree(origin, target)
        else:
            shutil.copy2(origin, target)
    env = dict(os.environ)
    for name in ("CMAKE_C_COMPILER_LAUNCHER", "CMAKE_CXX_COMPILER_LAUNCHER"):
        env.pop(name, None)
    env["CCACHE_DISABLE"] = "1"
    # Settings naming a file of the sources (the toolchain file) name the copy's.
    settings = [arg.replace(os.path.abspath(args.source_dir), source) for arg in args.cmake_args]
    subprocess.run(["cmake", "-S", source, "-B", build, "-G", "Ninja",
                    "-DCMAKE_C_COMPILER_LAUNCHER=", "-DCMAKE_CXX_COMPILER_LAUNCHER=",
                    "-DVARNELMM_QEMU=OFF", *settings],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "VarnelMm"], check=True, env=env,
                   stdout=subprocess.DEVNULL)

    rebuilt = os.path.join(build, "bin", "VarnelMm.efi")
    first = open(args.image, "rb").read()
    second = open(rebuilt, "rb").read()
    print(f"{sha256(args.image)}  {args.image}")
    print(f"{sha256(rebuilt)}  {rebuilt}")
    if first == second:
        print(f"reproducible: {len(first)} identical bytes")
        shutil.rmtree(args.work_dir, ignore_errors=True)
        return 0
    if len(first) != len(second):
        print(f"NOT reproducible: {len(first)} bytes against {len(second)}")
    offset = next((i for i, (a, b) in enumerate(zip(first, second)) if a != b),
                  min(len(first), len(second)))
    field = header_field(first, offset)
    print(f"NOT reproducible: first difference at offset 0x{offset:x}" +
          (f" ({field})" if field else ""))
    return 1


if __name__ == "__main__":
    sys.exit(main())
