#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""Checks that every proof and mitigation the threat model names still exists.

  check-threat-model.py --source-dir DIR [--ctest CTEST --build-dir DIR] [GTEST_BINARY...]

docs/threat-model.md holds one table whose header is | ID | Threat | Mitigation | Proof |. In the
Proof column every name stands in backticks of its own, in one of these forms:

  `Suite.Name`             a GoogleTest test. Looked up in the --gtest_list_tests output of the
                           test binaries given, so it exists only if it is compiled into a binary
                           that ctest runs. A parameterised test is named without its
                           instantiation prefix and parameter suffix (`FaultSweep.Answers...`),
                           or in full (`EveryFunction/FaultSweep.Answers.../SpiNorRead_none`).
  `fuzz_name`              a libFuzzer target: registered with varnel_add_fuzzer in
                           tests/fuzz/CMakeLists.txt, from a source that defines
                           LLVMFuzzerTestOneInput. make test replays its corpus (fuzz preset).
  `ctest:name`             any other CTest test of the build (ctest -N).
  `corpus:target/file`     an input committed to a fuzz target's corpus (tests/fuzz/corpus/), such
                           as the finding-* entry of a fixed fault, replayed on every make test.
  `scenario:name`          an end-to-end scenario of the scenario table (ScenarioTable.cpp), which
                           scenarios_host runs on the host and qemu_scenarios on the real image.

In the Mitigation column, `path:Identifier` names code: the file must exist and the identifier
must occur in it as a whole word. Other backticked text there is prose and not checked.

Every row must name at least one proof, and only proofs that can fail: tests/plants/ holds fault
patches, each naming the row it defeats, and scripts/plants.py (make plants) plants each alone,
runs its row's proofs and writes tests/plants/results.txt. A proof stays in a row only if that
file shows it failing for one of the row's plants; every row needs a plant, and every plant must
be in the file (a plant added or renamed since the last run of make plants is an error).

The exit status is 1 when a row breaks a rule.
"""
import argparse
import os
import re
import subprocess
import sys

DOC = "docs/threat-model.md"
PLANTS = "tests/plants"
RESULTS = "tests/plants/results.txt"
HEADER = ["ID", "Threat", "Mitigation", "Proof"]

GTEST = re.compile(r"^(?:\w+/)?\w+\.\w+(?:/\w+)?$")
FUZZ = re.compile(r"^fuzz_\w+$")
CTEST = re.compile(r"^ctest:([\w.-]+)$")
SCENARIO = re.compile(r"^scenario:([\w-]+)$")
CORPUS = re.compile(r"^corpus:(\w+/[\w.-]+)$")
CODE = re.compile(r"^([\w./-]+\.\w+):(\w+)$")


def cells(line):
    """The cells of one Markdown table row ('\\|' stands for a literal bar)."""
    line = line.strip()
    if not (line.startswith("|") and line.endswith("|")):
        return None
    parts = re.split(r"(?<!\\)\|", line[1:-1])
    return [p.strip().replace("\\|", "|") for p in parts]


def threat_rows(text):
    """(line number, cells) of every row of the threat table."""
    lines = text.split("\n")
    for index, line in enumerate(lines):
        if cells(line) == HEADER:
            rows = []
            for number in range(index + 2, len(lines)):
                row = cells(lines[number])
                if row is None:
                    break
                rows.append((number + 1, row))
            return rows
    return None


def gtest_names(binaries):
    """Full and generic names of every test the binaries hold."""
    names = set()
    for binary in binaries:
        out = subprocess.run([binary, "--gtest_list_tests"], check=True, capture_output=True,
                             text=True).stdout
        suite = None
        for line in out.split("\n"):
            if not line.strip():
                continue
            if not line.startswith(" "):
                suite = line.strip()[:-1] if line.strip().endswith(".") else None
                continue
            if suite is None:
                continue
            test = line.split("#")[0].strip()
            names.add(f"{suite}.{test}")
            names.add(f"{suite.split('/')[-1]}.{test.split('/')[0]}")
    return names


def fuzz_targets(source_dir):
    fuzz_dir = os.path.join(source_dir, "tests", "fuzz")
    with open(os.path.join(fuzz_dir, "CMakeLists.txt")) as f:
        text = f.read()
    targets = set()
    for name, sources in re.findall(r"^varnel_add_fuzzer\((\w+)\b.*?SOURCES\s+([^)]*?)(?:LIBS|\))",
                                    text, re.S | re.M):
        for source in sources.split():
            path = os.path.join(fuzz_dir, source)
            if os.path.isfile(path) and "LLVMFuzzerTestOneInput" in open(path).read():
                targets.add(name)
    return targets


def ctest_names(ctest, build_dir):
    out = subprocess.run([ctest, "--test-dir", build_dir, "-N"], check=True, capture_output=True,
                         text=True).stdout
    return set(re.findall(r"^\s*Test\s+#\d+: (\S+)$", out, re.M))


def scenario_names(source_dir):
    """Names of the scenario table: the one list that the host and the QEMU runners both walk."""
    names = set()
    for top, dirs, files in os.walk(source_dir):
        dirs[:] = [d for d in dirs if d not in ("build", ".git")]
        if "ScenarioTable.cpp" in files:
            with open(os.path.join(top, "ScenarioTable.cpp")) as f:
                names |= set(re.findall(r'\bMake\("([\w-]+)"', f.read()))
    return names


def plant_results(source_dir):
    """(row of each plant file, {row: proofs some plant of the row made fail}, rows of the file)."""
    rows_of_plants = {}
    for name in sorted(os.listdir(os.path.join(source_dir, PLANTS))):
        if name.endswith(".patch"):
            with open(os.path.join(source_dir, PLANTS, name)) as f:
                row = re.search(r"^Row:\s*(\S+)", f.read(), re.M)
            rows_of_plants[name[:-len(".patch")]] = row.group(1) if row else None
    failing, recorded = {}, {}
    path = os.path.join(source_dir, RESULTS)
    if os.path.isfile(path):
        with open(path) as f:
            for line in f:
                if line.startswith("#") or not line.strip():
                    continue
                plant, row, proof, verdict = line.rstrip("\n").split("\t")
                recorded[plant] = row
                if verdict == "failed":
                    failing.setdefault(row, set()).add(proof)
    return rows_of_plants, failing, recorded


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--ctest")
    parser.add_argument("--build-dir")
    parser.add_argument("binaries", nargs="*")
    args = parser.parse_args()

    with open(os.path.join(args.source_dir, DOC)) as f:
        rows = threat_rows(f.read())
    if not rows:
        print(f"{DOC}: no table with the header | {' | '.join(HEADER)} |")
        return 1

    tests = gtest_names(args.binaries)
    fuzzers = fuzz_targets(args.source_dir)
    ctests = ctest_names(args.ctest, args.build_dir) if args.ctest else None
    scenarios = scenario_names(args.source_dir)

    errors = []
    rows_of_plants, failing, recorded = plant_results(args.source_dir)
    for plant, row in rows_of_plants.items():
        if row is None:
            errors.append(f"{PLANTS}/{plant}.patch: no Row: line")
        elif recorded.get(plant) != row:
            errors.append(f"{PLANTS}/{plant}.patch: not in {RESULTS} as a plant of {row}; "
                          "run make plants")
    named = {"test": set(), "fuzz target": set(), "CTest": set(), "scenario": set(),
             "corpus entry": set()}
    ids = set()
    for number, row in rows:
        where = f"{DOC}:{number}"
        if len(row) != len(HEADER):
            errors.append(f"{where}: {len(row)} cells, expected {len(HEADER)}")
            continue
        ident, _, mitigation, proof = row
        if ident in ids:
            errors.append(f"{where}: {ident} appears twice")
        ids.add(ident)
        for name in re.findall(r"`([^`]+)`", mitigation):
            code = CODE.match(name)
            if not code:
                continue
            path = os.path.join(args.source_dir, code.group(1))
            if not os.path.isfile(path):
                errors.append(f"{where}: {ident} names {code.group(1)}, which does not exist")
            elif not re.search(rf"\b{code.group(2)}\b", open(path).read()):
                errors.append(f"{where}: {ident} names {code.group(2)}, which is not in "
                              f"{code.group(1)}")
        names = re.findall(r"`([^`]+)`", proof)
        if not names:
            errors.append(f"{where}: {ident} names no proof")
        if ident not in rows_of_plants.values():
            errors.append(f"{where}: {ident} has no plant in {PLANTS}")
        for name in names:
            if name not in failing.get(ident, set()):
                errors.append(f"{where}: {ident} names {name}, which no plant of {ident} makes "
                              f"fail ({RESULTS})")
        for name in names:
            if m := CTEST.match(name):
                kind, found = "CTest", ctests is None or m.group(1) in ctests
            elif m := SCENARIO.match(name):
                kind, found = "scenario", m.group(1) in scenarios
            elif m := CORPUS.match(name):
                kind = "corpus entry"
                found = os.path.isfile(os.path.join(args.source_dir, "tests", "fuzz", "corpus",
                                                    m.group(1)))
            elif FUZZ.match(name):
                kind, found = "fuzz target", name in fuzzers
            elif GTEST.match(name):
                kind, found = "test", name in tests
            else:
                errors.append(f"{where}: {ident}: `{name}` is not a proof name "
                              "(Suite.Name, fuzz_name, ctest:name, corpus:target/file or "
                              "scenario:name)")
                continue
            named[kind].add(name)
            if not found:
                errors.append(f"{where}: {ident} names the {kind} {name}, which no longer exists")

    for error in errors:
        print(error)
    summary = ", ".join(f"{len(n)} {k}{'s' if len(n) != 1 else ''}" for k, n in named.items())
    if errors:
        print(f"threat model: {len(errors)} problem(s) in {len(rows)} threats")
        return 1
    print(f"threat model: {len(rows)} threats, every named proof exists and fails for a plant of "
          f"its row ({summary}; {len(rows_of_plants)} plants)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
