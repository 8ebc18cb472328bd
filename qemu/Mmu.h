// SPDX-License-Identifier: BSD-3-Clause
// Identity map with the MMU on: 4 KiB granule, 32-bit virtual addresses from TTBR0_EL1.
#pragma once

#include <stdint.h>

namespace supervisor {

enum class MemoryKind : uint8_t {
  kEl1Data,      // Normal write-back, EL1 read-write, never executable
  kEl1Code,      // Normal write-back, EL1 read-only and executable
  kEl1Device,    // Device-nGnRE, EL1 only
  kEl0Data,      // Normal write-back, read-write at EL0 and EL1, never executable
  kEl0Code,      // Normal write-back, read-only at EL0 and EL1, executable at EL0 only
  kEl0CodeData,  // Normal write-back, read-write at EL0 and EL1, executable at EL0 (driver image)
  kEl0Device,    // Device-nGnRE, read-write at EL0 and EL1, never executable
};

// Maps [Base, Base + Size) onto itself; later calls override earlier ones page by page. Base and
// Size are multiples of 4 KiB. Answers false when the table pool runs out.
bool MapRange(uint64_t Base, uint64_t Size, MemoryKind Kind);
// Loads MAIR, TCR and TTBR0 and switches the MMU and caches on.
void EnableMmu();
// Makes instructions written at [Base, Base + Size) visible to instruction fetch.
void SyncInstructions(uint64_t Base, uint64_t Size);

}  // namespace supervisor
