#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# clang-format check of every tracked C++ file, clang-tidy over the shipped sources, the models,
# the host side of qemu/ and the host tools, and the SPDX license identifier at the top of every source and
# script file.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h')
echo "== clang-format"
clang-format --dry-run -Werror $files
echo "== clang-tidy"
# The shipped sources, the models of the driver's world, the host side of the QEMU target and the
# host tools (varnel-sim).
git ls-files 'src/*.cpp' 'models/*.cpp' 'qemu/host/*.cpp' 'tools/*.cpp' |
  grep -v '^src/arch/aarch64/' |
  xargs -r -P "$(nproc)" -n 4 clang-tidy -p build/host --quiet
echo "== SPDX identifiers"
./scripts/spdx.py check
echo "lint clean"
