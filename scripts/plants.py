#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""Plants each fault of tests/plants/ alone and runs the proofs its threat row names.

  plants.py [--fast] [--only NAME...] [--results FILE] [--source DIR] [--jobs N]

Every tests/plants/*.patch is a fault a developer could plausibly make, kept as test data and
never built into the product. Its header (the text before the diff) says which threat row of
docs/threat-model.md it defeats and which mitigation clause it breaks:

  Row: T7
  Clause: ServeFlash judges authenticated requests against the table the flag selects
  Fault: a secure region lock is judged by the boot table after lock-down
  Fast: yes              (optional: make test runs this plant too)

For each plant the runner brings a scratch copy of the tree (build/plants/tree, with its build
directories kept between runs) back to the current sources, applies the patch with git apply,
builds what the row's proofs need and runs every proof the row names. It prints
plant -> row -> the named proofs that failed, and for each row whether a deterministic proof
(anything but a fuzz target) failed for at least one of its plants. The exit status is 1 when a
plant no longer applies cleanly (or no longer compiles), when a plant makes none of its row's
proofs fail, or when a row has no deterministic proof that fails; then the plant must be
refreshed against the code, or the row's proofs mended. A scenario counts as failed when its run
on the host fails, or, in a full run, its run under QEMU (the QEMU preset is built only when the
host run passed). Fuzz targets run as make test runs them (fuzz_*_smoke: the committed corpus
and a bounded number of new executions), so they may catch a plant in one run and not the next.
The scratch builds are left as the last plant built them; the sources are restored.

--fast runs only the plants marked Fast and skips fuzz targets and the QEMU run, for make test.
A full run writes tests/plants/results.txt, which scripts/check-threat-model.py reads: a row may
name a proof only if one of the row's plants makes it fail. --only NAME... runs those plants and
updates their lines of that file. --source DIR plants into another checkout (say, an older
commit) with the same scratch builds, reading that checkout's threat model; give --results.
"""
import argparse
import glob
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLANTS = os.path.join(ROOT, "tests", "plants")
SCRATCH = os.path.join(ROOT, "build", "plants")
TREE = os.path.join(SCRATCH, "tree")
RESULTS = os.path.join(PLANTS, "results.txt")
SOURCE = ROOT  # the tree the plants go into (--source: another checkout, same scratch builds)

spec = importlib.util.spec_from_file_location(
    "check_threat_model", os.path.join(ROOT, "scripts", "check-threat-model.py"))
checker = importlib.util.module_from_spec(spec)
spec.loader.exec_module(checker)


def log(text):
    print(text, flush=True)


def run(command, cwd=TREE, timeout=None, env=None):
    """Runs a command; answers (exit status, combined output). A timeout counts as a failure."""
    try:
        done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, errors="replace",
                              timeout=timeout, env=env)
        return done.returncode, done.stdout + done.stderr
    except subprocess.TimeoutExpired as expired:
        output = (expired.stdout or b"") + (expired.stderr or b"")
        return 124, output.decode(errors="replace") if isinstance(output, bytes) else output


def read_plant(path):
    with open(path) as f:
        text = f.read()
    head = text.split("\ndiff --git", 1)[0]
    fields = dict(re.findall(r"^(\w+):\s*(.*?)\s*$", head, re.M))
    files = re.findall(r"^\+\+\+ b/(\S+)", text, re.M)
    for key in ("Row", "Clause", "Fault"):
        if key not in fields:
            raise SystemExit(f"{path}: header has no {key}: line")
    return {"name": os.path.basename(path)[:-len(".patch")], "path": path, "row": fields["Row"],
            "clause": fields["Clause"], "fault": fields["Fault"],
            "fast": fields.get("Fast", "no").lower() == "yes", "files": files}


def row_proofs():
    """Proof names of every threat row, in the order the document gives them."""
    with open(os.path.join(SOURCE, checker.DOC)) as f:
        rows = checker.threat_rows(f.read())
    return {row[0]: re.findall(r"`([^`]+)`", row[3]) for _, row in rows}


def kind_of(proof):
    if checker.CTEST.match(proof):
        return "ctest"
    if checker.SCENARIO.match(proof):
        return "scenario"
    if checker.CORPUS.match(proof):
        return "corpus"
    if checker.FUZZ.match(proof):
        return "fuzz"
    return "gtest"


# ---- The scratch tree ---------------------------------------------------------------------------

def source_files():
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=SOURCE,
                         check=True, capture_output=True).stdout
    return [f for f in out.decode().split("\0") if f and os.path.isfile(os.path.join(SOURCE, f))]


def restore(files):
    """Makes the scratch copies of files equal to the sources, rewriting only those that differ
    (so the build sees a new time stamp on exactly the files that changed)."""
    for name in files:
        source, copy = os.path.join(SOURCE, name), os.path.join(TREE, name)
        with open(source, "rb") as f:
            data = f.read()
        if os.path.isfile(copy):
            with open(copy, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        with open(copy, "wb") as f:
            f.write(data)
        shutil.copymode(source, copy)


def sync_tree():
    os.makedirs(TREE, exist_ok=True)
    files = source_files()
    restore(files)
    keep = set(files)
    for top, dirs, names in os.walk(TREE):
        rel_top = os.path.relpath(top, TREE)
        if rel_top == ".":
            dirs[:] = [d for d in dirs if d not in ("build", ".git")]
        for name in names:
            rel = os.path.normpath(os.path.join(rel_top, name))
            if rel not in keep:
                os.remove(os.path.join(top, name))
    if not os.path.isdir(os.path.join(TREE, ".git")):
        # Its own repository, so that git apply takes the patch's paths from the tree's top.
        run(["git", "init", "-q"])


def build_env():
    env = dict(os.environ)
    # A base directory would make ccache rewrite the source paths the assertion reports show.
    env.pop("CCACHE_BASEDIR", None)
    if shutil.which("ccache"):
        env.setdefault("CMAKE_C_COMPILER_LAUNCHER", "ccache")
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    return env


class Builds:
    """The scratch tree's build directories, configured once and kept between runs."""

    def __init__(self, jobs, qemu):
        self.jobs = jobs
        self.qemu = qemu
        self.env = build_env()
        self.gtest_binary = {}
        self.ctest_commands = {}

    def configure(self, preset):
        if not os.path.isfile(os.path.join(TREE, "build", preset, "build.ninja")):
            status, output = run(["cmake", "--preset", preset], env=self.env)
            if status != 0:
                raise SystemExit(f"configuring {preset} in {TREE} failed:\n{output}")

    def build(self, preset, targets=None):
        self.configure(preset)
        command = ["cmake", "--build", os.path.join("build", preset), "-j", str(self.jobs)]
        if targets:
            command += ["--target", *sorted(targets)]
        return run(command, env=self.env)

    def index(self, proofs=None):
        """Which host binary holds each GoogleTest test, and each CTest test's command. With
        proofs, only the binaries those need are built, found from the test sources."""
        self.configure("host")
        targets = None
        if proofs is not None:
            targets = {"scenarios_host"} | {t for t in map(source_target, proofs) if t}
        status, output = self.build("host", targets)
        if status != 0:
            raise SystemExit(f"the unplanted tree does not build:\n{output[-4000:]}")
        # Listed after the build: CTest names a test's command only once its program exists.
        _, listing = run(["ctest", "--test-dir", "build/host", "--show-only=json-v1"])
        for test in json.loads(listing)["tests"]:
            self.ctest_commands[test["name"]] = test.get("command", [])
        for name, command in self.ctest_commands.items():
            if len(command) > 1 and command[1] == "--gtest_brief=1" and os.path.isfile(command[0]):
                if targets is None or os.path.basename(command[0]) in targets:
                    for test in checker.gtest_names([command[0]]):
                        self.gtest_binary[test] = command[0]

    def host_target(self, proof):
        kind = kind_of(proof)
        if kind == "gtest":
            return os.path.basename(self.gtest_binary.get(proof, ""))
        if kind == "scenario":
            return "scenarios_host"
        if kind == "corpus":
            return "fuzz_handler_findings"
        if kind == "ctest":
            name = checker.CTEST.match(proof).group(1)
            command = self.ctest_commands.get(name, [])
            if command and command[0].startswith(os.path.join(TREE, "build", "host")):
                return os.path.basename(command[0])
        return None


def source_target(proof):
    """The test binary that holds a GoogleTest proof, found from the sources without a build."""
    if kind_of(proof) != "gtest":
        return None
    suite, name = proof.split(".", 1)
    suite, name = suite.split("/")[-1], name.split("/")[0]
    pattern = re.compile(rf"\bTEST(?:_F|_P)?\(\s*{re.escape(suite)},\s*{re.escape(name)}\s*\)")
    for top, dirs, files in os.walk(os.path.join(TREE, "tests")):
        for file in files:
            if file.endswith(".cpp") and pattern.search(open(os.path.join(top, file)).read()):
                lists = open(os.path.join(top, "CMakeLists.txt")).read()
                found = re.search(rf"varnel_add_test\((\w+)[^)]*\b{re.escape(file)}\b", lists)
                return found.group(1) if found else None
    return None


# ---- Running the proofs -------------------------------------------------------------------------

def gtest_filter(proof):
    suite, name = proof.split(".", 1)
    return f"{suite}.{name}:*/{suite}.{name}:{suite}.{name}/*:*/{suite}.{name}/*"


def scenario_failed(output, status, name):
    if re.search(rf"^FAIL {re.escape(name)} ", output, re.M):
        return True
    # A run that died before its summary proves nothing passed.
    return status != 0 and not re.search(r"^FAIL ", output, re.M)


def run_proofs(builds, proofs, fast):
    """The named proofs that fail on the tree as it is, and the ones that could not be run."""
    failed, skipped, cache = [], [], {}
    for proof in proofs:
        kind = kind_of(proof)
        if kind == "gtest":
            binary = builds.gtest_binary.get(proof)
            if binary is None:
                skipped.append(proof)
                continue
            status, _ = run([binary, f"--gtest_filter={gtest_filter(proof)}", "--gtest_brief=1"],
                            timeout=600)
            broke = status != 0
        elif kind == "ctest" or kind == "corpus":
            name = "fuzz_handler_findings" if kind == "corpus" else checker.CTEST.match(proof)[1]
            status, _ = run(["ctest", "--test-dir", "build/host", "-R", f"^{name}$"], timeout=600)
            broke = status != 0
        elif kind == "scenario":
            name = checker.SCENARIO.match(proof)[1]
            if "host" not in cache:
                cache["host"] = run(builds.ctest_commands["scenarios_host"], timeout=600)
            broke = scenario_failed(cache["host"][1], cache["host"][0], name)
            if not fast and builds.qemu and not broke:
                if "qemu" not in cache:
                    status, output = builds.build("qemu")
                    cache["qemu"] = (status, output) if status != 0 else run(
                        ["ctest", "--test-dir", "build/qemu", "-R", "^qemu_scenarios$", "-V"],
                        timeout=900)
                broke = scenario_failed(cache["qemu"][1], cache["qemu"][0], name)
        else:  # a fuzz target: replayed from its corpus and run briefly, as make test does
            if fast:
                skipped.append(proof)
                continue
            status, output = builds.build("fuzz", [proof])
            if status == 0:
                status, _ = run(["ctest", "--test-dir", "build/fuzz", "-R", f"^{proof}_smoke$"],
                                timeout=600)
            broke = status != 0
        if broke:
            failed.append(proof)
    return failed, skipped


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--fast", action="store_true")
    parser.add_argument("--only", nargs="*", default=[])
    parser.add_argument("--results", default=None)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--source", help="plant into this checkout instead (its own threat model)")
    args = parser.parse_args()
    global SOURCE
    if args.source:
        SOURCE = os.path.abspath(args.source)

    plants = [read_plant(p) for p in sorted(glob.glob(os.path.join(PLANTS, "*.patch")))]
    if args.only:
        plants = [p for p in plants if p["name"] in args.only]
    if args.fast:
        plants = [p for p in plants if p["fast"]]
    proofs_of = row_proofs()
    started = time.monotonic()

    sync_tree()
    builds = Builds(args.jobs, qemu=not args.fast and shutil.which("qemu-system-aarch64"))
    builds.index([p for plant in plants for p in proofs_of.get(plant["row"], [])]
                 if args.fast else None)

    problems, results = [], []
    for plant in plants:
        row = plant["row"]
        proofs = proofs_of.get(row)
        if proofs is None:
            problems.append(f"{plant['name']}: row {row} is not in the threat model")
            continue
        restore(source_files())
        status, output = run(["git", "apply", "--check", plant["path"]])
        if status != 0:
            problems.append(f"{plant['name']}: no longer applies cleanly:\n{output.strip()}")
            continue
        run(["git", "apply", plant["path"]])
        targets = {t for t in (builds.host_target(p) for p in proofs) if t}
        status, output = builds.build("host", targets)
        if status != 0:
            # A plant that does not compile proves nothing; it must be rewritten.
            problems.append(f"{plant['name']}: does not build:\n{output[-2000:]}")
            restore(plant["files"])
            continue
        failed, skipped = run_proofs(builds, proofs, args.fast)
        restore(plant["files"])
        results.append((plant, proofs, failed, skipped))
        log(f"{plant['name']} -> {row} -> failed: {', '.join(failed) or 'none'}"
            + (f" (not run: {', '.join(skipped)})" if skipped else ""))

    restore(source_files())
    log("")
    rows = sorted({p["row"] for p, _, _, _ in results}, key=lambda r: int(r[1:]))
    for row in rows:
        caught = [f for p, _, failed, _ in results if p["row"] == row for f in failed
                  if kind_of(f) != "fuzz"]
        verdict = "a deterministic proof fails" if caught else "NO deterministic proof fails"
        log(f"{row}: {verdict}")
        if not caught:
            problems.append(f"{row}: no plant makes a deterministic named proof fail")
    for plant, _, failed, _ in results:
        if not failed:
            problems.append(f"{plant['name']}: no named proof of {plant['row']} fails")

    seconds = time.monotonic() - started
    log(f"\n{len(results)} plant(s) in {seconds:.0f} s")
    full = not args.fast and not args.source
    results_path = args.results or (RESULTS if full else None)
    if results_path:
        # A run of some plants (--only) updates their lines and keeps those of the others.
        kept = []
        if args.only and os.path.isfile(results_path):
            ran = {p["name"] for p in plants}
            present = {os.path.basename(p)[:-len(".patch")]
                       for p in glob.glob(os.path.join(PLANTS, "*.patch"))}
            with open(results_path) as f:
                for line in f:
                    name = line.split("\t")[0]
                    if not line.startswith("#") and name not in ran and name in present:
                        kept.append(line)
        with open(results_path, "w") as f:
            f.write("# SPDX-License-Identifier: BSD-3-Clause\n"
                    "# Written by scripts/plants.py (make plants); read by "
                    "scripts/check-threat-model.py.\n"
                    "# plant\trow\tproof\tverdict (failed, passed or not-run)\n")
            f.writelines(kept)
            for plant, proofs, failed, skipped in results:
                for proof in proofs:
                    verdict = ("failed" if proof in failed else
                               "not-run" if proof in skipped else "passed")
                    f.write(f"{plant['name']}\t{plant['row']}\t{proof}\t{verdict}\n")
    for problem in problems:
        log(f"problem: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
