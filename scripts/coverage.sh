#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Line and branch coverage of src/ from every host test and from the committed fuzz corpora.
# Builds the `coverage` preset (clang source-based coverage; fuzz targets linked with a plain
# corpus runner), runs ctest and the corpora with LLVM_PROFILE_FILE set, merges the profiles and
# prints llvm-cov's report for src/ (per file, then the src/driver total). The HTML report lands
# in build/coverage/html.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/coverage
profiles=$build/profiles

cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "${JOBS:-2}"
rm -rf "$profiles" && mkdir -p "$profiles"
export LLVM_PROFILE_FILE="$root/$profiles/%p-%m.profraw"

# Every host test (the QEMU runs exercise the AArch64 image, which carries no coverage counters).
ctest --test-dir "$build" -j "${JOBS:-2}" -E '^qemu_' --output-on-failure || {
  echo "coverage: some tests failed; the report below covers what ran" >&2
}
for target in fuzz_handler fuzz_format; do
  [ -x "$build/bin/$target" ] && "$build/bin/$target" "tests/fuzz/corpus/$target"
done

llvm-profdata merge -sparse "$profiles"/*.profraw -o "$build/coverage.profdata"
objects=()
for binary in "$build"/bin/*; do
  [ -f "$binary" ] && [ -x "$binary" ] || continue
  if [ ${#objects[@]} -eq 0 ]; then objects+=("$binary"); else objects+=(-object "$binary"); fi
done
# Paths in the coverage mapping are relative to the repository (-ffile-prefix-map).
common=(-instr-profile="$build/coverage.profdata" -compilation-dir="$root")
ignore='(^|/)(tests|models|scenarios|tools|bench|qemu|include|usr)/|src/arch/'
echo "== coverage of src/ (regions, functions, lines, branches)"
llvm-cov report "${objects[@]}" "${common[@]}" -ignore-filename-regex="$ignore" 2>/dev/null
echo "== src/driver only"
llvm-cov report "${objects[@]}" "${common[@]}" \
  -ignore-filename-regex="$ignore|src/(base|console|log|print|config)/" 2>/dev/null | tail -1
llvm-cov show "${objects[@]}" "${common[@]}" -ignore-filename-regex="$ignore" -format=html \
  -show-branches=count -show-expansions -output-dir="$build/html" 2>/dev/null
echo "HTML: $build/html/index.html"
