// The driver's own declarations: module state, region access control, the secure-service
// operations and the request paths that the dispatcher calls.
#pragma once

#include <stdint.h>

#include "base/UefiTypes.h"
#include "config/VarnelMmConfig.h"
#include "driver/MmServices.h"
#include "driver/VarnelMmProtocol.h"
#include "log/DebugLog.h"

namespace varnel {

// ---- Module state (VarnelMm.cpp) ----------------------------------------------------------------

// Runtime lock-down flag: 0 selects the boot table, any other value the run-time table.
extern uint8_t gRunTimeLockDown;
// Seed-deployed flag: while set, plain read, write, erase, region lock and the lock of the
// region-lock command are refused.
extern uint8_t gSeedDeployed;
// The MM services table handed to the entry point.
extern EFI_MM_SYSTEM_TABLE *gMmst;

// ---- Region access control (RegionAccess.cpp) -------------------------------------------------

constexpr uint64_t kBootRegionRows =
    sizeof(config::kBootRegionTable) / sizeof(config::kBootRegionTable[0]);
// The boot table; row 1 is fitted to the flash size once at start.
extern config::RegionAccessEntry gBootRegionTable[kBootRegionRows];

// True when the whole range [Offset, Offset + Length) of the flash window may be changed.
bool SpiNorIsWriteAllowed(uint64_t Offset, uint32_t Length, bool RunTimeLocked);
// Puts the boot table back to its built-in values.
void SpiNorAclRestore();
// Fits the boot table's region that starts at 0x1700000 to the flash size the firmware reports.
void SpiNorAclPatch();

// ---- Secure-service operations (SecureService.cpp) --------------------------------------------
// Each returns EFI_SUCCESS when x0 comes back non-negative, else EFI_DEVICE_ERROR; out-values are
// written only on success. The secure flag picks the authenticated sub-command of a pair.

EFI_STATUS SpiNorMmGetInfo(uint64_t *InfoLow, uint64_t *InfoHigh, uint64_t *FlashSize);
EFI_STATUS SpiNorMmRead(uint64_t Offset, uint64_t Length, uint64_t Buffer, bool Secure);
EFI_STATUS SpiNorMmWrite(uint64_t Offset, uint64_t Length, uint64_t Buffer, bool Secure);
EFI_STATUS SpiNorMmErase(uint64_t Offset, uint64_t Length, bool Secure);
EFI_STATUS SpiNorMmRegionLock(uint64_t Offset, uint64_t Length, bool Secure);
EFI_STATUS SpiNorMmReqAuthenticate(uint64_t Address, uint64_t Length, uint64_t AuthInfo);
EFI_STATUS SpiNorMmGetNVInfo(uint64_t *Value1, uint64_t *Value2);
EFI_STATUS SpiNorMmGetNV2Info(uint64_t *Value1, uint64_t *Value2);
EFI_STATUS SpiNorMmGetFailSafeInfo(uint64_t *Value1, uint64_t *Value2);
// Sub-command 1, 2, 3, 9, 10, 11, 12 or 13: the four flash operations above by sub-command;
// Buffer is 0 for erase and region lock.
EFI_STATUS SpiNorMmFlashOperation(SubCommand Sub, uint64_t Offset, uint64_t Length,
                                  uint64_t Buffer);
// Sub-command 4, 5 or 6: the three information queries above, which hand back x1 and x2.
EFI_STATUS SpiNorMmInfoQuery(SubCommand Sub, uint64_t *Value1, uint64_t *Value2);
EFI_STATUS SpiNorMmSeedDeploy(uint64_t Seed);
EFI_STATUS SpiNorMmLockRegionLock();
// The firmware's form of a driver address; 0 when the translation call fails.
uint64_t SpiNorTranslateAddress(uint64_t Address);

// ---- Request paths ------------------------------------------------------------------------------
// Each answers one function in place in the communication record and returns the UEFI status for
// the MM core. Record words are read once each, through volatile accesses, because the normal
// world shares the record.

using CommRecord = volatile uint64_t *;

// Replaces word 0 with the status word and hands back the UEFI status for the MM core.
inline EFI_STATUS Answer(CommRecord Record, uint64_t StatusWord, EFI_STATUS Status) {
  Record[kWordFunctionId] = StatusWord;
  return Status;
}

// The four flash operations; a plain and an authenticated function exist for each.
enum class FlashOperation : uint8_t { Read, Write, Erase, RegionLock };

// Read and write move data through the normal world's Buffer; erase and region lock have none.
constexpr bool MovesData(FlashOperation Operation) {
  return Operation == FlashOperation::Read || Operation == FlashOperation::Write;
}

// ControlRequest.cpp: functions 0, 4, 5, 6, 7, 8 and 14.
EFI_STATUS SpiNorGetInfo(CommRecord Record);
EFI_STATUS SpiNorInfoQuery(CommRecord Record, uint64_t Function);
EFI_STATUS SpiNorRunTimeLockDown(CommRecord Record);
EFI_STATUS SpiNorSeedDeploy(CommRecord Record);
EFI_STATUS SpiNorLockRegionLock(CommRecord Record);

// FlashRequest.cpp: functions 1, 2, 3 and 12, and the tail shared with the authenticated path:
// permission check for everything but reads, then the operation (the plain or the secure
// sub-command). Buffer must be 0 for erase and region lock.
EFI_STATUS SpiNorFlashRequest(CommRecord Record, FlashOperation Operation);
EFI_STATUS SpiNorFlashPerform(CommRecord Record, FlashOperation Operation, const char *BranchName,
                              bool Secure, uint64_t Offset, uint64_t Length, uint64_t Buffer);

// AuthenticatedRequest.cpp: functions 9, 10, 11 and 13.
EFI_STATUS SpiNorSecureRequest(CommRecord Record, FlashOperation Operation);

}  // namespace varnel
