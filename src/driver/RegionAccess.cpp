// SPDX-License-Identifier: BSD-3-Clause
// Region access control: which parts of the flash window may be written, erased or locked.
#include "driver/RegionAccess.h"

#include "driver/SecureService.h"
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

// A row with First equal to Last, or with no permission bits, ends a table.
bool EndsTable(const config::RegionAccessEntry &Row) {
  return Row.First == Row.Last || Row.Permission == 0;
}

// The boot table as it stands, from the same list as the built-in one; row 1 is fitted to the
// flash size once at start.
#define VARNEL_BOOT_ROW(First, Last, Permission) {First, Last, Permission},
constinit config::RegionAccessEntry gBootRegionTable[kBootRegionRows] = {
    VARNELMM_BOOT_REGION_LIST(VARNEL_BOOT_ROW){0, 0, 0},
};
#undef VARNEL_BOOT_ROW

}  // namespace

const config::RegionAccessEntry &BootRegionRow(uint64_t Row) {
  return gBootRegionTable[Row];
}

bool SpiNorIsWriteAllowed(uint64_t Offset, uint32_t Length, bool RunTimeLocked) {
  // An offset below the window base wraps to a value near 2^64 that no row contains.
  const uint64_t Start = Offset - config::kFlashWindowBase;
  const uint64_t End = Start + Length;
  const config::RegionAccessEntry *Table =
      RunTimeLocked ? config::kRunTimeRegionTable : gBootRegionTable;

  for (uint8_t Row = 0;; ++Row) {
    const config::RegionAccessEntry &Entry = Table[Row];
    if (EndsTable(Entry)) {
      return false;
    }
    const uint64_t First = Entry.First;
    const uint64_t Last = Entry.Last;
    // One past the last byte, in 32 bits: a row ending at 0xFFFFFFFF admits no range.
    const uint64_t Limit = static_cast<uint32_t>(Entry.Last + 1);
    if (First <= Start && Start <= Last && First <= End && End <= Limit) {
      return (Entry.Permission & kPermissionChange) != 0;
    }
  }
}

void SpiNorAclRestore() {
  for (uint64_t Row = 0; Row < kBootRegionRows; ++Row) {
    gBootRegionTable[Row] = config::kBootRegionTable[Row];
  }
}

void SpiNorAclPatch() {
  uint64_t InfoLow = 0;
  uint64_t InfoHigh = 0;
  uint64_t FlashSize = 0;
  if (EfiError(SpiNorMmGetInfo(&InfoLow, &InfoHigh, &FlashSize))) {
    // The same line as a failed flash-information request, under this routine's name.
    LogRequestLine(kLevelError, RowText(kRequests[kFunctionGetInfo].FailFormat), "SpiNorAclPatch");
    return;
  }
  if (FlashSize == 0) {
    return;
  }
  for (uint8_t Row = 0;; ++Row) {
    config::RegionAccessEntry &Entry = gBootRegionTable[Row];
    if (EndsTable(Entry)) {
      return;
    }
    if (Entry.First == config::kBootPatchedRowFirst) {
      Entry.Last = static_cast<uint32_t>(FlashSize) - 1;
      return;
    }
  }
}

}  // namespace varnel
