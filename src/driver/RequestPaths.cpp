// SPDX-License-Identifier: BSD-3-Clause
// The request paths: the private copy of a request is taken here, and each path serves one kind
// of row of the request table from it and answers in the shared record. The driver's state lives
// here too, beside the two paths that change it.
#include "driver/DriverState.h"
#include "driver/RegionAccess.h"
#include "driver/SecureService.h"
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

bool gRunTimeLocked = false;  // the run-time access table is in force
bool gSeedDeployed = false;   // plain flash requests are refused
EFI_MM_SYSTEM_TABLE *gMmst = nullptr;

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
// only once the firmware has accepted it). The busiest path, so it is served in the dispatch's own
// frame; the other paths stay out of line, each with its own small frame. Offset and Length are
// taken from the copy at each use rather than held across the calls, which keeps that frame small.
[[gnu::always_inline]] inline EFI_STATUS ServeFlash(const RequestRow &Row,
                                                    const RequestCopy &Request,
                                                    SharedRecord Record) {
  const uint64_t *Word = Request.Word;
  // The tables judge 32-bit lengths: a longer one is refused.
  if (Row.PermissionChecked &&
      (Word[kWordLength] > kLargestJudgedLength ||
       !SpiNorIsWriteAllowed(Word[kWordOffset], static_cast<uint32_t>(Word[kWordLength]),
                             gRunTimeLocked))) {
    return NoPermission(Row, Record, Word[kWordOffset], Word[kWordLength]);
  }
  const uint64_t Buffer = Row.MovesData ? Word[kWordBuffer] : 0;
  if (EfiError(SpiNorMmFlashOperation(static_cast<SubCommand>(Row.Sub), Word[kWordOffset],
                                      Word[kWordLength], Buffer))) {
    return Failed(Row, Record, Word[kWordOffset], Word[kWordLength]);
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
  Record.Store(kResultInfoLow, InfoLow);
  Record.Store(kResultInfoHigh, InfoHigh);
  Record.Store(kResultFlashSize, FlashSize);
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

[[gnu::noinline]] EFI_STATUS ServeInfoQuery(const RequestRow &Row, SharedRecord Record) {
  VARNEL_LOG(kLevelInfo, "%a\n", RowText(Row.BranchName));
  uint64_t Value1 = 0;
  uint64_t Value2 = 0;
  if (EfiError(SpiNorMmInfoQuery(static_cast<SubCommand>(Row.Sub), &Value1, &Value2))) {
    return Failed(Row, Record);
  }
  Record.Store(kResultQueryFirst, Value1);
  Record.Store(kResultQuerySecond, Value2);
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

[[gnu::noinline]] EFI_STATUS ServeLockDown(const RequestRow &Row, SharedRecord Record) {
  VARNEL_LOG(kLevelInfo, "%a %p\n", RowText(Row.BranchName), Record.Address());
  gRunTimeLocked = true;
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

[[gnu::noinline]] EFI_STATUS ServeSeedDeploy(const RequestRow &Row, const RequestCopy &Request,
                                             SharedRecord Record) {
  if (EfiError(SpiNorMmSeedDeploy(Request.Word[kWordOffset]))) {
    return Failed(Row, Record);
  }
  gSeedDeployed = true;
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

[[gnu::noinline]] EFI_STATUS ServeLockRegionLock(const RequestRow &Row, SharedRecord Record) {
  if (EfiError(SpiNorMmLockRegionLock())) {
    return Failed(Row, Record);
  }
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

}  // namespace

bool RunTimeLocked() {
  return gRunTimeLocked;
}
bool SeedDeployed() {
  return gSeedDeployed;
}
EFI_MM_SYSTEM_TABLE *MmServices() {
  return gMmst;
}
void StartDriverState(EFI_MM_SYSTEM_TABLE *MmSystemTable) {
  gRunTimeLocked = false;
  gSeedDeployed = false;
  gMmst = MmSystemTable;
}

EFI_STATUS ServeRequest(const RequestRow &Row, SharedRecord Record, uint64_t Function) {
  // Only the words the row reads are written; the table proves no path reads another.
  RequestCopy Request;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  Request.Word[kWordFunctionId] = Function;
  // Every request reads a run of words from word 0 on: each is fetched once, from the last down.
  // At most five words: a plain loop is both the smallest and the fastest form.
#pragma clang loop unroll(disable)
  for (uint32_t Word = Row.LastWordRead; Word > kWordFunctionId; --Word) {
    Request.Word[Word] = FetchWord(Record, Word);
  }
  // An authenticated request passes the secure firmware before anything else of it runs.
  if (Row.SignedBytes != 0) {
    const EFI_STATUS Verdict = AuthenticateRequest(Row, Request);
    if (Verdict != EFI_SUCCESS) {
      return Answer(Record,
                    Verdict == EFI_OUT_OF_RESOURCES ? kStatusFailure : kStatusAuthenticationRefused,
                    Verdict);
    }
  }
  // Once the seed is deployed only the authenticated functions reach the flash.
  if (Row.SeedGated && gSeedDeployed) {
    return Answer(Record, kStatusFailure, EFI_DEVICE_ERROR);
  }
  if (Row.Path == RequestPath::kFlash) {
    return ServeFlash(Row, Request, Record);
  }
  switch (Row.Path) {
    case RequestPath::kFlash:  // served above
      break;
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
  return EFI_ACCESS_DENIED;  // not reached: every path is served
}

}  // namespace varnel
