#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""SPDX license identifiers of the tracked files.

  scripts/spdx.py check   lists every tracked file that should carry the identifier line and does
                          not, and every tracked file no rule below covers; exit status 1 if any
  scripts/spdx.py add     puts the identifier line at the top of every file that lacks it; running
                          it again changes nothing

Every source and script file carries, as its first line (or right after a "#!" line), the
identifier written in the file's own comment syntax:

  // SPDX-License-Identifier: BSD-3-Clause        C and C++ sources and headers
  /* SPDX-License-Identifier: BSD-3-Clause */     assembly (.S) and linker scripts (.ld)
  # SPDX-License-Identifier: BSD-3-Clause         CMake, shell, Python, Makefile, fuzz
                                                  dictionaries, varnel-sim scripts, .gitignore,
                                                  clang-format and clang-tidy settings, bash
                                                  completions, extensionless scripts, fault
                                                  patches (in the text git apply skips) and
                                                  their results
  .\" SPDX-License-Identifier: BSD-3-Clause        manual pages (roff, section 1)

A template (NAME.in) follows the rule of the file it becomes (NAME).

Files without one, on purpose (LICENSE at the root covers them):
  *.md          documents; a comment would be markup noise or show up in the rendered page
  *.json        JSON has no comment syntax (CMakePresets.json)
  corpus files  fuzz inputs are the bytes a target reads: a header line would change them
  LICENSE       the license text itself

A tracked file that no rule covers fails the check, so a new kind of file gets a rule (a comment
syntax or an exemption with its reason) instead of slipping through.
"""
import fnmatch
import os
import subprocess
import sys

IDENTIFIER = "SPDX-License-Identifier: BSD-3-Clause"

# Exempt files: (pattern, reason). Patterns match the path from the repository root.
EXEMPT = [
    ("*.md", "document"),
    ("*.json", "JSON has no comments"),
    ("tests/fuzz/corpus/*", "fuzz input"),
    ("LICENSE", "the license text"),
]

LINE = "// " + IDENTIFIER
BLOCK = "/* " + IDENTIFIER + " */"
HASH = "# " + IDENTIFIER
ROFF = '.\\" ' + IDENTIFIER

# Comment form by file name, then by extension.
BY_NAME = {
    "CMakeLists.txt": HASH,
    "Makefile": HASH,
    ".gitignore": HASH,
    ".clang-format": HASH,
    ".clang-tidy": HASH,
    "results.txt": HASH,  # tests/plants/results.txt, written by scripts/plants.py
}
BY_EXTENSION = {
    ".c": LINE,
    ".cc": LINE,
    ".cpp": LINE,
    ".h": LINE,
    ".hpp": LINE,
    ".S": BLOCK,
    ".s": BLOCK,
    ".ld": BLOCK,
    ".cmake": HASH,
    ".sh": HASH,
    ".py": HASH,
    ".dict": HASH,
    ".script": HASH,  # varnel-sim command scripts
    ".bash-completion": HASH,
    ".1": ROFF,
    ".patch": HASH,  # plants: the header before the diff
}


def tracked_files(root):
    out = subprocess.run(["git", "ls-files", "-z"], cwd=root, check=True,
                         capture_output=True).stdout
    return [p for p in out.decode().split("\0") if p]


def exempt(path):
    return any(fnmatch.fnmatchcase(path, pattern) for pattern, _ in EXEMPT)


def header_line(root, path):
    """The identifier line this file should carry, or None when no rule covers it."""
    name = os.path.basename(path)
    if name.endswith(".in"):
        name = name[:-3]
    if name in BY_NAME:
        return BY_NAME[name]
    extension = os.path.splitext(name)[1]
    if extension in BY_EXTENSION:
        return BY_EXTENSION[extension]
    if not extension:
        with open(os.path.join(root, path), "rb") as f:
            if f.read(2) == b"#!":
                return HASH
    return None


def split_top(text):
    """The shebang line (or "") and the rest of the file."""
    if text.startswith("#!"):
        end = text.find("\n")
        if end < 0:
            return text + "\n", ""
        return text[:end + 1], text[end + 1:]
    return "", text


def state(text, wanted):
    """'ok', 'missing', or the identifier line found where the wanted one should stand."""
    _, rest = split_top(text)
    first = rest.split("\n", 1)[0].rstrip("\r")
    if first == wanted:
        return "ok"
    if "SPDX-License-Identifier:" in first:
        return first
    return "missing"


def main(argv):
    if len(argv) != 2 or argv[1] not in ("check", "add"):
        print(__doc__.strip().split("\n\n")[0], file=sys.stderr)
        return 2
    mode = argv[1]
    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True,
                          capture_output=True, text=True).stdout.strip()
    unclassified, missing, other, added = [], [], [], []
    for path in tracked_files(root):
        if exempt(path):
            continue
        full = os.path.join(root, path)
        if not os.path.isfile(full):
            continue  # deleted in the work tree, not yet in the index
        wanted = header_line(root, path)
        if wanted is None:
            unclassified.append(path)
            continue
        with open(full, encoding="utf-8", newline="") as f:
            text = f.read()
        found = state(text, wanted)
        if found == "ok":
            continue
        if found != "missing":
            other.append((path, found))
            continue
        if mode == "check":
            missing.append(path)
            continue
        shebang, rest = split_top(text)
        with open(full, "w", encoding="utf-8", newline="") as f:
            f.write(shebang + wanted + "\n" + rest)
        added.append(path)

    for path in unclassified:
        print(f"{path}: no rule says how this kind of file carries its SPDX line "
              "(add one to scripts/spdx.py)")
    for path, found in other:
        print(f"{path}: first line is '{found}', expected the BSD-3-Clause identifier")
    for path in missing:
        print(f"{path}: no '{IDENTIFIER}' line at the top")
    if mode == "add":
        print(f"spdx: identifier line added to {len(added)} file(s)")
    if missing:
        print(f"spdx: {len(missing)} file(s) without the identifier; "
              "scripts/spdx.py add puts it in")
    if unclassified or other or missing:
        return 1
    if mode == "check":
        print("spdx: every source and script file carries the identifier")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
