#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# clang-format check of every tracked C++ file, clang-tidy over the shipped sources, and the SPDX
# license identifier at the top of every source and script file.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h')
echo "== clang-format"
clang-format --dry-run -Werror $files
echo "== clang-tidy"
git ls-files 'src/*.cpp' | grep -v '^src/arch/aarch64/' |
  xargs -r -P "$(nproc)" -n 4 clang-tidy -p build/host --quiet
echo "== SPDX identifiers"
./scripts/spdx.py check
echo "lint clean"
