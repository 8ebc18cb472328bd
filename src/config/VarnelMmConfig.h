// SPDX-License-Identifier: BSD-3-Clause
// The driver's build-time settings: the debug log, string limits, the flash window, the services
// revision it needs and the region access tables. The console's own settings live with the
// console (console/ConsoleSettings.h).
#pragma once

#include <stdint.h>

#include "VarnelMm/Protocol.h"

namespace config {

// Debug log: a message goes out when its level shares a bit with this mask.
constexpr uint32_t kLogOutputMask = 0x80000007;
// Levels whose message sites are compiled at all. Sites the output mask would drop are left out
// of the image; a test build may compile every site (0xFFFFFFFF) to check their texts.
#ifndef VARNELMM_LOG_SITE_MASK
#define VARNELMM_LOG_SITE_MASK 0x80000007
#endif
constexpr uint32_t kLogSiteMask = VARNELMM_LOG_SITE_MASK;
constexpr uint64_t kLogBufferSize = 256;
constexpr const char kModuleName[] = "VarnelMm";

// Longest ASCII string (characters before the NUL) the base routines and the engine accept.
constexpr uint64_t kMaxAsciiStringLength = 1000000;

// Flash window in the normal world's address map; table offsets are relative to it.
constexpr uint64_t kFlashWindowBase = VARNELMM_FLASH_WINDOW_BASE;

// Oldest MM services table the driver accepts.
constexpr uint32_t kRequiredServicesRevision = 0x10032;

// Region access tables: {First, Last (inclusive), Permission}; bit 1 of Permission allows
// changes. A row whose First equals Last, or whose Permission is 0, ends a table. Boot row 1
// ends at the real flash size minus 1 once the driver has asked the secure firmware.
struct RegionAccessEntry {
  uint32_t First;
  uint32_t Last;
  uint32_t Permission;
};
static_assert(sizeof(RegionAccessEntry) == 12);
static_assert(__builtin_offsetof(RegionAccessEntry, Last) == 4);
static_assert(__builtin_offsetof(RegionAccessEntry, Permission) == 8);

// The rows come from the protocol header, which tools that plan requests read as well.
#define VARNELMM_CONFIG_REGION_ROW(First, Last, Permission) {First, Last, Permission},
constexpr RegionAccessEntry kBootRegionTable[] = {
    VARNELMM_BOOT_REGION_LIST(VARNELMM_CONFIG_REGION_ROW){0, 0, 0},
};
constexpr uint32_t kBootPatchedRowFirst = VARNELMM_BOOT_PATCHED_ROW_FIRST;

constexpr RegionAccessEntry kRunTimeRegionTable[] = {
    VARNELMM_RUN_TIME_REGION_LIST(VARNELMM_CONFIG_REGION_ROW){0, 0, 0},
};
#undef VARNELMM_CONFIG_REGION_ROW

}  // namespace config
