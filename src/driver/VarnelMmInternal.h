// SPDX-License-Identifier: BSD-3-Clause
// The driver's own declarations: module state, region access control, the secure-service
// operations and the request paths that the dispatcher calls.
#pragma once

#include <stdint.h>

#include "base/UefiTypes.h"
#include "config/VarnelMmConfig.h"
#include "driver/MmServices.h"
#include "driver/RequestTable.h"
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
// The record lies in memory the normal world shares and may rewrite at any instant. The handler
// reads each word a request uses exactly once, into a private copy, before anything else happens;
// every decision and every action of the request rests on that copy. The record itself is only
// written: the answers below.

// The shared record as the driver holds it. It offers no way to read a word but FetchWord, so a
// second read of a word (a check on the copy and a use of the record, say) cannot be written by
// accident; words are only stored, as answers. One pointer, passed in one register.
class SharedRecord {
 public:
  explicit SharedRecord(void *CommBuffer) : Words_(static_cast<volatile uint64_t *>(CommBuffer)) {}
  void Store(uint32_t Word, uint64_t Value) const { Words_[Word] = Value; }
  // The record's address, for the lines that print it.
  const volatile void *Address() const { return Words_; }

 private:
  friend uint64_t FetchWord(SharedRecord Record, uint32_t Word);
  volatile uint64_t *Words_;
};
static_assert(sizeof(SharedRecord) == sizeof(void *) && __is_trivially_copyable(SharedRecord));

// The one way the driver reads the shared record.
inline uint64_t FetchWord(SharedRecord Record, uint32_t Word) {
  return Record.Words_[Word];
}

// The request as the handler took it: word 0 is the function number it dispatched on, the other
// words are those the function reads (the rest are 0).
struct RequestCopy {
  uint64_t Word[kRecordWords];
};

// Replaces word 0 with the status word and hands back the UEFI status for the MM core. Every
// path stores its status word last, so no event of the request follows it.
inline EFI_STATUS Answer(SharedRecord Record, uint64_t StatusWord, EFI_STATUS Status) {
  Record.Store(kWordFunctionId, StatusWord);
  return Status;
}

// Logs one of the request table's lines. The table proves at compile time that each format takes
// the branch name, or the branch name, Offset and Length; a name-only format leaves the other two
// unread.
inline void LogRequestLine(uint64_t Level, const char *Format, const char *BranchName,
                           uint64_t Offset = 0, uint64_t Length = 0) {
  if (LevelCanPrint(Level) && LogPrintEnabled() && LogLevelEnabled(Level)) {
    LogPrint(Level, Format, BranchName, Offset, Length);
  }
}

// RequestPaths.cpp: serves a request from its copy (an authenticated one once it has passed).
EFI_STATUS ServeRequest(const RequestCopy &Request, SharedRecord Record);

// AuthenticatedRequest.cpp: for an authenticated function, stages the signed part of the copy in MM
// pool memory, has the secure firmware authenticate it and releases the buffer. Answers EFI_SUCCESS
// when the firmware accepted it, EFI_DEVICE_ERROR when it refused (the refusal line is logged)
// and EFI_OUT_OF_RESOURCES when no staging buffer could be had (nothing logged, nothing called).
EFI_STATUS AuthenticateRequest(const RequestCopy &Request);

}  // namespace varnel
