// SPDX-License-Identifier: BSD-3-Clause
// The normal world's memory as every simulated machine lays it out: one window that requests'
// data buffers live in. The host platform, the QEMU supervisor's memory map and serve channel,
// the QEMU host side, varnel-sim (its planner and its transfer chunks) and the scenarios'
// normal-world addresses take its size and address from here. Freestanding: the supervisor
// includes it as well as the host tools.
#pragma once

#include <stdint.h>

namespace models {

constexpr uint64_t kNormalWorldWindowBytes = 1ULL << 20;
// The window's address as the driver and the secure firmware see it, on both targets, unless a
// caller places it elsewhere (the QEMU supervisor backs it with memory at its own physical
// address, see qemu/MemoryMap.h).
constexpr uint64_t kNormalWorldWindowBase = 0x80000000;

}  // namespace models
