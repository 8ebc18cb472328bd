#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs, on a Debian 12 machine, every package the build, the tests, the benchmarks, the QEMU
# runs and the Debian package (cpack, dpkg-shlibdeps, lintian, man --warnings) need. Packages
# already present are left alone; nothing else is downloaded.
set -euo pipefail

packages=(
  cmake ninja-build make python3 git
  clang lld llvm libclang-rt-14-dev clang-format clang-tidy
  googletest libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  valgrind qemu-system-arm time procps
  dpkg-dev lintian man-db groff-base
  g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
