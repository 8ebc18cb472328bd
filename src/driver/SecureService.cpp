// SPDX-License-Identifier: BSD-3-Clause
// Secure-service operations: one supervisor call each to the secure firmware's flash service, or
// to its address translation. Every flash-service call logs an entry line and a register line at
// info level; failures are reported by the callers in their own words.
#include "driver/SecureService.h"
#include "arch/Arch.h"

#include "base/PackedText.h"
#include "log/DebugLog.h"

namespace varnel {

namespace {

// Shape of the entry line: the name alone, name with offset and length, or with the buffer too.
enum class EntryLine : uint8_t { Name, Range, Transfer };
// Shape of the register line: x0 and x1 in 64 bits, or three, four or five 32-bit values.
enum class RegisterLine : uint8_t { Pair, Three, Four, Five };

// The operations' names, packed: one copy of each name and no pointer table to relocate.
#define VARNEL_SERVICE_NAME_LIST(X)          \
  X(GetInfo, "SpiNorMmGetInfo")              \
  X(Read, "SpiNorMmRead")                    \
  X(Write, "SpiNorMmWrite")                  \
  X(Erase, "SpiNorMmErase")                  \
  X(NvInfo, "SpiNorMmGetNVInfo")             \
  X(Nv2Info, "SpiNorMmGetNV2Info")           \
  X(FailSafeInfo, "SpiNorMmGetFailSafeInfo") \
  X(Authenticate, "SpiNorMmReqAuthenticate") \
  X(SeedDeploy, "SpiNorMmSeedDeploy")        \
  X(RegionLock, "SpiNorMmRegionLock")        \
  X(LockRegionLock, "SpiNorMmLockRegionLock")
constexpr char kNames[] = VARNEL_SERVICE_NAME_LIST(VARNEL_PACKED_TEXT);
// Offsets in kNames; names past 255 bytes would not compile.
enum NameOffset : uint8_t { VARNEL_SERVICE_NAME_LIST(VARNEL_PACKED_OFFSET) };
static_assert(packedtext::Same(kNames + kLockRegionLock, "SpiNorMmLockRegionLock"));

struct ServiceOperation {
  uint8_t Name;  // offset in kNames
  EntryLine Entry;
  RegisterLine Registers;
};
static_assert(sizeof(ServiceOperation) == 3);

// X(Sub, Name, Entry, Registers): the operation behind each sub-command, in sub-command order.
#define VARNEL_OPERATION_LIST(X)                \
  X(GetInfo, GetInfo, Name, Four)               \
  X(Read, Read, Transfer, Pair)                 \
  X(Write, Write, Transfer, Pair)               \
  X(Erase, Erase, Range, Pair)                  \
  X(GetNvInfo, NvInfo, Name, Five)              \
  X(GetNv2Info, Nv2Info, Name, Three)           \
  X(GetFailSafeInfo, FailSafeInfo, Name, Three) \
  X(Authenticate, Authenticate, Name, Four)     \
  X(SeedDeploy, SeedDeploy, Name, Four)         \
  X(SecureRead, Read, Transfer, Pair)           \
  X(SecureWrite, Write, Transfer, Pair)         \
  X(SecureErase, Erase, Range, Pair)            \
  X(RegionLock, RegionLock, Range, Pair)        \
  X(SecureRegionLock, RegionLock, Range, Pair)  \
  X(LockRegionLock, LockRegionLock, Name, Pair)

// Indexed by sub-command.
#define VARNEL_OPERATION_ROW(Sub, Name, Entry, Registers) \
  {k##Name, EntryLine::Entry, RegisterLine::Registers},
constexpr ServiceOperation kOperations[] = {VARNEL_OPERATION_LIST(VARNEL_OPERATION_ROW)};
#undef VARNEL_OPERATION_ROW

// Row n serves sub-command n, and every sub-command has its row.
#define VARNEL_OPERATION_SUB(Sub, Name, Entry, Registers) kSub##Sub,
constexpr SubCommand kOperationSubs[] = {VARNEL_OPERATION_LIST(VARNEL_OPERATION_SUB)};
#undef VARNEL_OPERATION_SUB
constexpr bool RowsInSubCommandOrder() {
  for (uint64_t Row = 0; Row < sizeof(kOperationSubs) / sizeof(kOperationSubs[0]); ++Row) {
    if (kOperationSubs[Row] != Row) {
      return false;
    }
  }
  return true;
}
static_assert(RowsInSubCommandOrder());
static_assert(sizeof(kOperations) / sizeof(kOperations[0]) == VarnelMmHighestSubCommand + 1);

// Issues one flash-service sub-command with x2..x4 (words the call does not use stay zero) and
// logs its entry and register lines. On success x1..x3 are copied to Results when it is given.
[[gnu::noinline]] EFI_STATUS FlashService(SubCommand Sub, uint64_t X2, uint64_t X3, uint64_t X4,
                                          uint64_t *Results) {
  const ServiceOperation &Operation = kOperations[Sub];
  const char *Name = kNames + Operation.Name;
  switch (Operation.Entry) {
    case EntryLine::Name:
      VARNEL_LOG(kLevelInfo, "%a\n", Name);
      break;
    case EntryLine::Range:
      VARNEL_LOG(kLevelInfo, "%a %08llx %08llx\n", Name, X2, X3);
      break;
    case EntryLine::Transfer:
      VARNEL_LOG(kLevelInfo, "%a %08llx %08llx %llx\n", Name, X2, X3, X4);
      break;
  }

  ServiceArgumentBlock Block = {{kFlashServiceId, Sub, X2, X3, X4, 0, 0, 0}};
  CallSecureService(&Block);

  // x4 does not come back: the five-value line shows word 4 as it was before the call.
  const uint64_t *X = Block.Word;
  switch (Operation.Registers) {
    case RegisterLine::Pair:
      VARNEL_LOG(kLevelInfo, "x0 %llx x1 %llx\n", X[0], X[1]);
      break;
    case RegisterLine::Three:
      VARNEL_LOG(kLevelInfo, "x0 %x x1 %x x2 %x\n", X[0], X[1], X[2]);
      break;
    case RegisterLine::Four:
      VARNEL_LOG(kLevelInfo, "x0 %x x1 %x x2 %x x3 %x\n", X[0], X[1], X[2], X[3]);
      break;
    case RegisterLine::Five:
      VARNEL_LOG(kLevelInfo, "x0 %x x1 %x x2 %x x3 %x x4 %x\n", X[0], X[1], X[2], X[3], X[4]);
      break;
  }

  // x0 negative as a signed 64-bit value is the one failure signal; out-values stay untouched.
  if (EfiError(X[0])) {
    return EFI_DEVICE_ERROR;
  }
  if (Results != nullptr) {
    Results[0] = X[1];
    Results[1] = X[2];
    Results[2] = X[3];
  }
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS SpiNorMmFlashOperation(SubCommand Sub, uint64_t Offset, uint64_t Length,
                                  uint64_t Buffer) {
  return FlashService(Sub, Offset, Length, Buffer, nullptr);
}

EFI_STATUS SpiNorMmInfoQuery(SubCommand Sub, uint64_t *Value1, uint64_t *Value2) {
  uint64_t Results[3];
  const EFI_STATUS Status = FlashService(Sub, 0, 0, 0, Results);
  if (!EfiError(Status)) {
    *Value1 = Results[0];
    *Value2 = Results[1];
  }
  return Status;
}

EFI_STATUS SpiNorMmGetInfo(uint64_t *InfoLow, uint64_t *InfoHigh, uint64_t *FlashSize) {
  uint64_t Results[3];
  const EFI_STATUS Status = FlashService(kSubGetInfo, 0, 0, 0, Results);
  if (!EfiError(Status)) {
    // x2 carries two 32-bit values; x3 is the flash size in bytes.
    *InfoLow = Results[1] & 0xFFFFFFFF;
    *InfoHigh = Results[1] >> 32;
    *FlashSize = Results[2];
  }
  return Status;
}

EFI_STATUS SpiNorMmRead(uint64_t Offset, uint64_t Length, uint64_t Buffer, bool Secure) {
  return SpiNorMmFlashOperation(Secure ? kSubSecureRead : kSubRead, Offset, Length, Buffer);
}

EFI_STATUS SpiNorMmWrite(uint64_t Offset, uint64_t Length, uint64_t Buffer, bool Secure) {
  return SpiNorMmFlashOperation(Secure ? kSubSecureWrite : kSubWrite, Offset, Length, Buffer);
}

EFI_STATUS SpiNorMmErase(uint64_t Offset, uint64_t Length, bool Secure) {
  return SpiNorMmFlashOperation(Secure ? kSubSecureErase : kSubErase, Offset, Length, 0);
}

EFI_STATUS SpiNorMmRegionLock(uint64_t Offset, uint64_t Length, bool Secure) {
  return SpiNorMmFlashOperation(Secure ? kSubSecureRegionLock : kSubRegionLock, Offset, Length, 0);
}

EFI_STATUS SpiNorMmReqAuthenticate(uint64_t Address, uint64_t Length, uint64_t AuthInfo) {
  return FlashService(kSubAuthenticate, Address, Length, AuthInfo, nullptr);
}

EFI_STATUS SpiNorMmGetNVInfo(uint64_t *Value1, uint64_t *Value2) {
  return SpiNorMmInfoQuery(kSubGetNvInfo, Value1, Value2);
}

EFI_STATUS SpiNorMmGetNV2Info(uint64_t *Value1, uint64_t *Value2) {
  return SpiNorMmInfoQuery(kSubGetNv2Info, Value1, Value2);
}

EFI_STATUS SpiNorMmGetFailSafeInfo(uint64_t *Value1, uint64_t *Value2) {
  return SpiNorMmInfoQuery(kSubGetFailSafeInfo, Value1, Value2);
}

EFI_STATUS SpiNorMmSeedDeploy(uint64_t Seed) {
  return FlashService(kSubSeedDeploy, Seed, 0, 0, nullptr);
}

EFI_STATUS SpiNorMmLockRegionLock() {
  return FlashService(kSubLockRegionLock, 0, 0, 0, nullptr);
}

uint64_t SpiNorTranslateAddress(uint64_t Address) {
  ServiceArgumentBlock Block = {{kTranslateAddressId, 0, Address, 0, 0, 0, 0, 0}};
  CallSecureService(&Block);
  return EfiError(Block.Word[0]) ? 0 : Block.Word[1];
}

}  // namespace varnel
