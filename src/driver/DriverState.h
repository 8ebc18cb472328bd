// SPDX-License-Identifier: BSD-3-Clause
// The driver's state, owned by RequestPaths.cpp: the run-time lock-down and seed flags and the MM
// services table. Start-up clears the flags and keeps the table; only the lock-down and seed paths
// set a flag.
#pragma once

#include "driver/MmServices.h"

namespace varnel {

// Set by run-time lock-down: the run-time access table is in force instead of the boot table.
bool RunTimeLocked();
// Set by a deployed seed: plain read, write, erase, region lock and the lock of the region-lock
// command are refused from then on.
bool SeedDeployed();
// The MM services table handed to the entry point.
EFI_MM_SYSTEM_TABLE *MmServices();
// Start-up: clears both flags and keeps the services table.
void StartDriverState(EFI_MM_SYSTEM_TABLE *MmSystemTable);

}  // namespace varnel
