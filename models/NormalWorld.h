// SPDX-License-Identifier: BSD-3-Clause
// The normal world's memory as every simulated machine lays it out: one window that requests'
// data buffers live in. The host platform, the QEMU supervisor's memory map, its serve channel,
// varnel-sim's transfer chunks and the scenarios' normal-world addresses all take its size from
// here. Freestanding: the supervisor includes it as well as the host tools.
#pragma once

#include <stdint.h>

namespace models {

constexpr uint64_t kNormalWorldWindowBytes = 1ULL << 20;
// Where the host platform puts the window unless told otherwise (the QEMU supervisor's memory
// map has its own address).
constexpr uint64_t kHostNormalWorldBase = 0x80000000;

}  // namespace models
