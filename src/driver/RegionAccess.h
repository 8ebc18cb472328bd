// SPDX-License-Identifier: BSD-3-Clause
// Region access control (RegionAccess.cpp): which parts of the flash window may be written,
// erased or locked, by the boot table until run-time lock-down and the run-time table after it.
#pragma once

#include <stdint.h>

#include "config/VarnelMmConfig.h"

namespace varnel {

constexpr uint64_t kBootRegionRows =
    sizeof(config::kBootRegionTable) / sizeof(config::kBootRegionTable[0]);

// True when the whole range [Offset, Offset + Length) of the flash window may be changed.
bool SpiNorIsWriteAllowed(uint64_t Offset, uint32_t Length, bool RunTimeLocked);
// Puts the boot table back to its built-in values.
void SpiNorAclRestore();
// Fits the boot table's region that starts at 0x1700000 to the flash size the firmware reports.
void SpiNorAclPatch();
// A row of the boot table as it stands (row 1 is fitted to the flash size at start). Read-only:
// only start-up changes the table, through the two routines above.
const config::RegionAccessEntry &BootRegionRow(uint64_t Row);

}  // namespace varnel
