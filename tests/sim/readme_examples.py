#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""Runs the shell examples of the README's varnel-sim section, as written, in an empty directory.

Usage: readme_examples.py README VARNEL_SIM

Examples may show refused requests (exit status 1), but none may be a command-line error or a
failure of the tool (2, 3): that is what an example using a file it never creates looks like.
"""
import os
import re
import subprocess
import sys
import tempfile


def main():
    readme, sim = sys.argv[1], os.path.abspath(sys.argv[2])
    text = open(readme, encoding="utf-8").read()
    section = text[text.index("## varnel-sim"):]
    section = section[:section.index("\n## ", 1)]
    blocks = re.findall(r"```sh\n(.*?)```", section, re.S)
    if not blocks:
        sys.exit("no examples found")
    with tempfile.TemporaryDirectory(prefix="varnel-readme-") as work:
        wrapper = os.path.join(work, "sim")
        with open(wrapper, "w") as script:
            script.write(f'#!/bin/sh\n"{sim}" "$@"\nstatus=$?\n'
                         '[ $status -lt 2 ] || echo "exit $status: $*" >>"$(dirname "$0")/bad"\n'
                         'exit $status\n')
        os.chmod(wrapper, 0o755)
        for block in blocks:
            block = block.replace("S=build/host-release/bin/varnel-sim", f"S={wrapper}")
            subprocess.run(["bash", "-c", block], cwd=work, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
        bad = os.path.join(work, "bad")
        if os.path.exists(bad):
            sys.exit("README examples failed:\n" + open(bad).read())
    print(f"{len(blocks)} README example blocks ran")


if __name__ == "__main__":
    main()
