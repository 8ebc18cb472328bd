#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""Builds the Debian package of a host build tree with `cpack -G DEB` and checks it as a Debian
user would receive it.

  check-deb.py --build-dir TREE --source-dir SRC --work-dir DIR

- It holds exactly the expected files under /usr, executables 0755 and the rest 0644, owned by
  root;
- the packaged varnel-sim runs and its --version is the package's version; the manual page and
  the completion are the repository's (the page compressed without a time stamp);
- the control data names the package, a dependency on the C library and the maintainer;
- lintian reports no error (its whole output is shown).
"""
import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys

EXPECTED = {
    "usr/bin/varnel-sim": 0o755,
    "usr/include/VarnelMm/Protocol.h": 0o644,
    "usr/share/man/man1/varnel-sim.1.gz": 0o644,
    "usr/share/bash-completion/completions/varnel-sim": 0o644,
    "usr/share/cmake/VarnelMm/VarnelMmConfig.cmake": 0o644,
    "usr/share/cmake/VarnelMm/VarnelMmConfigVersion.cmake": 0o644,
    "usr/share/cmake/VarnelMm/VarnelMmTargets.cmake": 0o644,
    "usr/share/doc/varnelmm/copyright": 0o644,
    "usr/share/doc/varnelmm/changelog.gz": 0o644,
}

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs).stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--work-dir", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work_dir, ignore_errors=True)
    os.makedirs(args.work_dir)

    run("cpack", "-G", "DEB", "--config", os.path.join(args.build_dir, "CPackConfig.cmake"),
        "-B", args.work_dir)
    packages = [name for name in os.listdir(args.work_dir) if name.endswith(".deb")]
    if len(packages) != 1:
        print(f"FAILED: cpack made {packages}")
        return 1
    package = os.path.join(args.work_dir, packages[0])
    print(f"package {packages[0]}")

    # Contents: path, mode and owner of every regular file.
    found = {}
    for line in run("dpkg-deb", "--contents", package).splitlines():
        print("  " + line)
        fields = line.split()
        mode, owner, path = fields[0], fields[1], fields[-1].removeprefix("./")
        check(owner == "root/root", f"{path} owned by {owner}")
        if mode.startswith("-"):
            permissions = sum(1 << (8 - index) for index, bit in enumerate(mode[1:10])
                              if bit != "-")
            found[path] = permissions
    missing = sorted(set(EXPECTED) - set(found))
    extra = sorted(set(found) - set(EXPECTED))
    check(not missing and not extra, f"files missing {missing}, unexpected {extra}")
    for path, wanted in EXPECTED.items():
        if path in found:
            check(found[path] == wanted, f"{path}: mode {found[path]:o}, not {wanted:o}")

    control = run("dpkg-deb", "--field", package)
    fields = dict(re.findall(r"^(\S+): (.*)$", control, re.MULTILINE))
    check(fields.get("Package") == "varnelmm", f"package name {fields.get('Package')}")
    check(re.search(r"\blibc6 \(>=", fields.get("Depends", "")) is not None,
          f"no dependency on libc6: {fields.get('Depends')}")
    check("<" in fields.get("Maintainer", ""), f"maintainer {fields.get('Maintainer')}")

    # What a user gets when the package is unpacked.
    root = os.path.join(args.work_dir, "root")
    run("dpkg-deb", "--extract", package, root)
    sim = os.path.join(root, "usr/bin/varnel-sim")
    version = run(sim, "--version").strip()
    check(version == f"varnel-sim {fields.get('Version')}",
          f"varnel-sim --version '{version}' against package version {fields.get('Version')}")
    page = os.path.join(root, "usr/share/man/man1/varnel-sim.1.gz")
    with open(page, "rb") as handle:
        compressed = handle.read()
    check(compressed[4:8] == b"\0\0\0\0", "the manual page's gzip header holds a time stamp")
    check(gzip.decompress(compressed) ==
          open(os.path.join(args.source_dir, "tools/varnel-sim/varnel-sim.1"), "rb").read(),
          "packaged manual page differs from tools/varnel-sim/varnel-sim.1")
    check(open(os.path.join(root, "usr/share/bash-completion/completions/varnel-sim"), "rb").read()
          == open(os.path.join(args.source_dir, "tools/varnel-sim/varnel-sim.bash-completion"),
                  "rb").read(),
          "packaged completion differs from tools/varnel-sim/varnel-sim.bash-completion")
    sections = run("llvm-readelf", "--section-headers", "--wide", sim)
    check(".debug_info" not in sections and ".symtab" not in sections, "varnel-sim not stripped")

    lintian = subprocess.run(["lintian", "--no-cfg", "--display-info", package],
                             capture_output=True, text=True)
    report = [line for line in (lintian.stdout + lintian.stderr).splitlines()
              if not line.startswith("running with root privileges")]
    print("lintian:" + "".join("\n  " + line for line in report) if report else "lintian: clean")
    errors = [line for line in report if line.startswith("E:")]
    check(not errors, f"lintian errors: {errors}")
    check(lintian.returncode == 0 or errors, f"lintian failed: status {lintian.returncode}")

    for failure in failures:
        print(f"FAILED: {failure}")
    print(f"{len(found)} files: {len(failures)} failed checks")
    if not failures:
        shutil.rmtree(args.work_dir, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
