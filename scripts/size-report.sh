#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Size and stack report of the AArch64 build (make size).
#
#   scripts/size-report.sh BUILD_TREE      (default build/aarch64)
#
# 1. Per module of src/ (base, print, log, console, driver, arch): bytes of text, rodata, data and
#    bss summed over the module's objects (before the linker drops unused sections), the totals,
#    and the four diagnostics modules together against their 5 KiB text+rodata target.
# 2. The SHA-256 of VarnelMm.efi and its sections (.text, .rdata, .data, .reloc) against the
#    10 KiB text+rodata target of the whole image.
# 3. The worst-case stack depth of VarnelMmEntryPoint and VarnelMmiHandler against 1 KiB: frame
#    sizes from the compiler's -fstack-usage files (from the prologues in the disassembly where a
#    function has none), a call graph from the image's disassembly (bl = call, b to another
#    function's start = tail call) with names from the link map, and the longest path. Each
#    function appears once on a path, except the engine's one-level rendering through itself
#    (FormatValueText -> FormatBufferV), whose inner formats never render value text again. The
#    first figure assumes every check holds (no
#    AssertReport); the second lets checks fail and one report be raised inside another (any
#    function re-entered once more). Indirect calls (blr) leave the image for the MM core
#    and are listed, not followed.
# A missing image skips parts 2 and 3 with a note.
set -euo pipefail
tree=${1:-build/aarch64}
if [ ! -d "$tree" ]; then
  echo "size-report: no build tree at $tree (configure and build the aarch64 preset first)" >&2
  exit 1
fi
exec python3 - "$tree" <<'PY'
import collections
import glob
import hashlib
import os
import re
import subprocess
import sys

tree = sys.argv[1]
MODULES = ["base", "print", "log", "console", "driver", "arch"]
DIAGNOSTICS = ["base", "print", "log", "console"]
DIAGNOSTICS_TARGET = 5 * 1024
IMAGE_TARGET = 10 * 1024
STACK_TARGET = 1024
# The engine renders %g, %t and %r through itself, one level deep: the only re-entry on a path
# where every check holds.
NESTING_EDGES = {("FormatValueText", "FormatBufferV")}
# The nested render's formats hold only 'x', 'X' and 'd' directives, so it never reaches the
# GUID/time/status text renderer again.
NESTED_UNREACHABLE = "RenderValueText"
# Raised only by a failed check.
REPORT = "AssertReport"
ALLOW_REPORTS = [False]
ROOTS = ["VarnelMmEntryPoint", "VarnelMmiHandler"]


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def section_class(name):
    if name.startswith(".text"):
        return "text"
    if name.startswith((".rdata", ".rodata", ".xdata", ".pdata")):
        return "rodata"
    if name.startswith(".data"):
        return "data"
    if name.startswith(".bss"):
        return "bss"
    return None


def object_sizes(path):
    sizes = collections.Counter()
    for line in run("llvm-objdump", "-h", path).splitlines():
        fields = line.split()
        if len(fields) >= 3 and fields[0].isdigit():
            kind = section_class(fields[1])
            if kind:
                sizes[kind] += int(fields[2], 16)
    return sizes


def module_objects(module):
    if module == "arch":
        pattern = os.path.join(tree, "src", "arch", "*", "CMakeFiles", "*", "**", "*.obj")
    else:
        pattern = os.path.join(tree, "src", "CMakeFiles", "varnelmm_core.dir", module, "*.obj")
    return sorted(glob.glob(pattern, recursive=True))


def row(name, sizes, note=""):
    return (f"{name:<14}{sizes['text']:>8}{sizes['rodata']:>8}{sizes['data']:>8}{sizes['bss']:>8}"
            f"{sizes['text'] + sizes['rodata']:>10}  {note}").rstrip()


def verdict(value, target):
    return f"{value} of {target} bytes: {'within' if value <= target else 'OVER'} target"


print(f"== Objects by module ({tree}, before unused sections are dropped)")
print(f"{'module':<14}{'text':>8}{'rodata':>8}{'data':>8}{'bss':>8}{'text+ro':>10}")
totals = collections.Counter()
diagnostics = collections.Counter()
for module in MODULES:
    sizes = collections.Counter()
    objects = module_objects(module)
    for path in objects:
        sizes.update(object_sizes(path))
    print(row(module, sizes, "" if objects else "(no objects)"))
    totals.update(sizes)
    if module in DIAGNOSTICS:
        diagnostics.update(sizes)
print(row("total", totals))
print(row("diagnostics", diagnostics, "(base+print+log+console)"))
print("diagnostics text+rodata: " +
      verdict(diagnostics["text"] + diagnostics["rodata"], DIAGNOSTICS_TARGET))

image = os.path.join(tree, "bin", "VarnelMm.efi")
mapfile = os.path.join(tree, "VarnelMm.map")
print()
if not os.path.exists(image):
    print(f"== Image: {image} not built yet (it links once the driver is complete);")
    print("   image sizes and stack depth skipped.")
    sys.exit(0)

print(f"== Image {image} ({os.path.getsize(image)} bytes on disk)")
# The link records no time, so this sum identifies the sources and settings the image came from
# (the image_reproducible test proves it); a signed or released image compares against it.
with open(image, "rb") as handle:
    print(f"SHA-256 {hashlib.sha256(handle.read()).hexdigest()}")
sections = collections.OrderedDict()
current = None
for line in run("llvm-readobj", "--sections", image).splitlines():
    line = line.strip()
    match = re.match(r"Name: (\S+)", line)
    if match:
        current = match.group(1)
        sections[current] = 0
    match = re.match(r"VirtualSize: (0x[0-9A-Fa-f]+|\d+)", line)
    if match and current:
        sections[current] = int(match.group(1), 0)
for name, size in sections.items():
    print(f"{name:<14}{size:>8}")
image_code = sum(size for name, size in sections.items() if section_class(name) in ("text", "rodata"))
print("image text+rodata: " + verdict(image_code, IMAGE_TARGET))

# ---- Stack depth -------------------------------------------------------------------------------
print()
print("== Worst-case stack depth")
if not os.path.exists(mapfile):
    print(f"   no link map at {mapfile}; skipped.")
    sys.exit(0)

# Functions: text symbols of the map (public and static), by address; aliases share an address.
names_at = collections.defaultdict(list)
for line in open(mapfile, encoding="utf-8", errors="replace"):
    match = re.match(r"\s*0001:([0-9a-fA-F]+)\s+(\S+)\s+([0-9a-fA-F]{16})\s", line)
    if match:
        names_at[int(match.group(3), 16)].append(match.group(2))
starts = sorted(names_at)


def demangled_names():
    """Short readable names (namespace::function) for the MSVC-mangled symbols of the map."""
    mangled = sorted({name for names in names_at.values() for name in names if name.startswith("?")})
    readable = {}
    try:
        output = subprocess.run(["llvm-undname"], input="\n".join(mangled) + "\n", check=True,
                                capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return readable
    lines = [line for line in output.splitlines() if line.strip()]
    for name, text in zip(lines[0::2], lines[1::2]):
        text = text.replace("`anonymous namespace'", "{anonymous}").split("(", 1)[0]
        readable[name] = text.split(" ")[-1] or name
    return readable


def label(address):
    names = names_at.get(address, [f"0x{address:x}"])
    pretty = sorted(readable.get(name, name) for name in names)
    return pretty[0] + (f" (= {', '.join(pretty[1:])})" if len(pretty) > 1 else "")


readable = demangled_names()

# Disassembly of the image: per function, its frame from the prologue and its call edges.
instructions = collections.defaultdict(list)
function_of = {}
for line in run("llvm-objdump", "-d", "--no-show-raw-insn", image).splitlines():
    match = re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)", line)
    if not match:
        continue
    address = int(match.group(1), 16)
    index = None
    low, high = 0, len(starts)
    while low < high:
        middle = (low + high) // 2
        if starts[middle] <= address:
            low = middle + 1
        else:
            high = middle
    index = low - 1
    if index < 0:
        continue
    instructions[starts[index]].append((address, match.group(2), match.group(3)))

disassembly_frame = {}
calls = collections.defaultdict(set)
tail_calls = collections.defaultdict(set)
indirect = collections.Counter()
for start, body in instructions.items():
    frame = 0
    for _, mnemonic, operands in body:
        match = re.match(r"sp, sp, #(\d+)(?:, lsl #(\d+))?", operands)
        if mnemonic == "sub" and match:
            frame += int(match.group(1)) << int(match.group(2) or 0)
        match = re.search(r"\[sp, #-(\d+)\]!", operands)
        if mnemonic in ("stp", "str") and match:
            frame += int(match.group(1))
        match = re.match(r"0x([0-9a-f]+)", operands)
        if mnemonic == "bl" and match:
            calls[start].add(int(match.group(1), 16))
        elif mnemonic == "b" and match:
            target = int(match.group(1), 16)
            if target in names_at and target != start:
                tail_calls[start].add(target)
        elif mnemonic == "blr":
            indirect[start] += 1
    disassembly_frame[start] = frame

# Frames from -fstack-usage, by symbol name.
usage = {}
for path in glob.glob(os.path.join(tree, "src", "**", "*.su"), recursive=True):
    for line in open(path, encoding="utf-8", errors="replace"):
        fields = line.rstrip("\n").split("\t")
        if len(fields) >= 2 and fields[1].isdigit():
            usage[fields[0].rsplit(":", 1)[-1]] = max(usage.get(fields[0].rsplit(":", 1)[-1], 0),
                                                     int(fields[1]))
frame_of = {}
mismatches = []
for start in starts:
    known = [usage[name] for name in names_at[start] if name in usage]
    derived = disassembly_frame.get(start, 0)
    frame_of[start] = max(known) if known else derived
    if known and max(known) != derived:
        mismatches.append((label(start), max(known), derived))


def deepest(function, path, reentries):
    """Deepest stack below and including function, given the functions already on the path.
    Without reentries no assertion report is raised. A function already on the path is entered
    again only over a nesting edge, or while reentries (nested reports) remain."""
    if REPORT in names_at[function] and reentries == 0 and ALLOW_REPORTS[0] is False:
        return None
    inside_nested_render = any(label(entry) == "FormatValueText" for entry in path)
    if inside_nested_render and label(function).endswith(NESTED_UNREACHABLE):
        return None
    if function in path:
        caller = path[-1] if path else None
        nesting = caller is not None and any(
            (a in names_at[caller] and b in names_at[function]) for a, b in NESTING_EDGES)
        if path.count(function) >= 2 or not (nesting or reentries > 0):
            return None
        if not nesting:
            reentries -= 1
    path = path + [function]
    own = frame_of.get(function, 0)
    best, best_path = own, [function]
    for callee in calls.get(function, ()):
        result = deepest(callee, path, reentries)
        if result and own + result[0] > best:
            best, best_path = own + result[0], [function] + result[1]
    for callee in tail_calls.get(function, ()):
        # A tail call replaces this frame with the callee's.
        result = deepest(callee, path[:-1], reentries)
        if result and result[0] > best:
            best, best_path = result[0], [function] + result[1]
    return best, best_path


source = "-fstack-usage" if usage else "prologues in the disassembly"
print(f"   frames from {source}; call graph from the image's bl/b targets")
for root in ROOTS:
    start = next((address for address, names in names_at.items() if root in names), None)
    if start is None:
        print(f"   {root}: not in the link map")
        continue
    for allow, title in ((False, "every check holds"),
                         (True, "failed checks report, one report nested in another")):
        ALLOW_REPORTS[0] = allow
        depth, path = deepest(start, [], 1 if allow else 0)
        print(f"   {root}, {title}: {verdict(depth, STACK_TARGET)}")
        for function in path:
            extra = f"  [{indirect[function]} indirect call(s) to the MM core not followed]" \
                if indirect[function] else ""
            print(f"      {frame_of.get(function, 0):>5}  {label(function)}{extra}")
for name, known, derived in mismatches:
    print(f"   note: {name}: -fstack-usage {known}, prologue {derived}")
PY
