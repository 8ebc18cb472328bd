// SPDX-License-Identifier: BSD-3-Clause
// The request paths: each serves one kind of row of the request table from the private copy of
// the request, and answers in the shared record.
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

constexpr uint64_t kLargestJudgedLength = 0xFFFFFFFF;

// Logs the row's failure line at error level and answers failure. Offset and Length are shown
// only by the flash requests' lines. Like every refusal it stays out of line, which keeps the
// paths' own frames small.
[[gnu::noinline, gnu::cold]] EFI_STATUS Failed(const RequestRow &Row, SharedRecord Record,
                                               uint64_t Offset = 0, uint64_t Length = 0) {
  LogRequestLine(kLevelError, RowText(Row.FailFormat), RowText(Row.BranchName), Offset, Length);
  return Answer(Record, kStatusFailure, EFI_DEVICE_ERROR);
}

[[gnu::noinline, gnu::cold]] EFI_STATUS NoPermission(const RequestRow &Row, SharedRecord Record,
                                                     uint64_t Offset, uint64_t Length) {
  VARNEL_LOG(kLevelWarning, "%a No write permission Offset %llx - Len %llx\n",
             RowText(Row.BranchName), Offset, Length);
  return Answer(Record, kStatusNoPermission, EFI_SUCCESS);
}

// Read, write, erase and region lock, plain or authenticated (an authenticated request gets here
// only once the firmware has accepted it). Every path stays out of line so that each keeps its
// own small frame and the dispatch below is a plain tail call.
[[gnu::noinline]] EFI_STATUS ServeFlash(const RequestRow &Row, const RequestCopy &Request,
                                        SharedRecord Record) {
  const uint64_t Offset = Request.Word[kWordOffset];
  const uint64_t Length = Request.Word[kWordLength];
  // The table judges 32-bit lengths; a longer one is refused, so the range judged is always the
  // range operated on.
  if (Row.PermissionChecked &&
      (Length > kLargestJudgedLength ||
       !SpiNorIsWriteAllowed(Offset, static_cast<uint32_t>(Length), RunTimeLocked()))) {
    return NoPermission(Row, Record, Offset, Length);
  }
  const uint64_t Buffer = Row.MovesData ? Request.Word[kWordBuffer] : 0;
  if (EfiError(SpiNorMmFlashOperation(static_cast<SubCommand>(Row.Sub), Offset, Length, Buffer))) {
    return Failed(Row, Record, Offset, Length);
  }
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

[[gnu::noinline]] EFI_STATUS ServeFlashInfo(const RequestRow &Row, SharedRecord Record) {
  VARNEL_LOG(kLevelInfo, "%a %p\n", RowText(Row.BranchName), Record.Address());
  uint64_t InfoLow = 0;
  uint64_t InfoHigh = 0;
  uint64_t FlashSize = 0;
  if (EfiError(SpiNorMmGetInfo(&InfoLow, &InfoHigh, &FlashSize))) {
    return Failed(Row, Record);
  }
  Record.Store(kWordOffset, 0);
  Record.Store(kWordLength, InfoLow);
  Record.Store(kWordBuffer, InfoHigh);
  Record.Store(kWordAuthInfoShort, FlashSize);
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

[[gnu::noinline]] EFI_STATUS ServeInfoQuery(const RequestRow &Row, SharedRecord Record) {
  VARNEL_LOG(kLevelInfo, "%a\n", RowText(Row.BranchName));
  uint64_t Value1 = 0;
  uint64_t Value2 = 0;
  if (EfiError(SpiNorMmInfoQuery(static_cast<SubCommand>(Row.Sub), &Value1, &Value2))) {
    return Failed(Row, Record);
  }
  Record.Store(kWordOffset, Value1);
  Record.Store(kWordLength, Value2);
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

[[gnu::noinline]] EFI_STATUS ServeLockDown(const RequestRow &Row, SharedRecord Record) {
  VARNEL_LOG(kLevelInfo, "%a %p\n", RowText(Row.BranchName), Record.Address());
  LockDownRunTime();
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

[[gnu::noinline]] EFI_STATUS ServeSeedDeploy(const RequestRow &Row, const RequestCopy &Request,
                                             SharedRecord Record) {
  if (EfiError(SpiNorMmSeedDeploy(Request.Word[kWordOffset]))) {
    return Failed(Row, Record);
  }
  MarkSeedDeployed();
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

[[gnu::noinline]] EFI_STATUS ServeLockRegionLock(const RequestRow &Row, SharedRecord Record) {
  if (EfiError(SpiNorMmLockRegionLock())) {
    return Failed(Row, Record);
  }
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

}  // namespace

EFI_STATUS ServeRequest(const RequestRow &Row, const RequestCopy &Request, SharedRecord Record) {
  // Once the seed is deployed only the authenticated functions reach the flash.
  if (Row.SeedGated && SeedDeployed()) {
    return Answer(Record, kStatusFailure, EFI_DEVICE_ERROR);
  }
  switch (Row.Path) {
    case RequestPath::kFlash:
      return ServeFlash(Row, Request, Record);
    case RequestPath::kFlashInfo:
      return ServeFlashInfo(Row, Record);
    case RequestPath::kInfoQuery:
      return ServeInfoQuery(Row, Record);
    case RequestPath::kLockDown:
      return ServeLockDown(Row, Record);
    case RequestPath::kSeedDeploy:
      return ServeSeedDeploy(Row, Request, Record);
    case RequestPath::kLockRegionLock:
      return ServeLockRegionLock(Row, Record);
  }
  return EFI_ACCESS_DENIED;  // not reached: every path is served above
}

}  // namespace varnel
