// Information queries (functions 0, 4, 5, 6) and the driver's state changes: run-time lock-down
// (7), seed deployment (8) and the lock of the region-lock command (14).
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

struct InfoQueryKind {
  const char *BranchName;
  logcheck::CheckedFormat<const char *> FailFormat;
};

// Indexed by function number minus 4.
constexpr InfoQueryKind kInfoQueries[] = {
    {"SpiNorGetNVInfo", "%a Can't get Varnel NV Info\n"},
    {"SpiNorGetNV2Info", "%a Can't get Varnel NV2 Info\n"},
    {"SpiNorGetFailSafeInfo", "%a Can't get SPI NOR Failsafe Info\n"},
};
static_assert(sizeof(kInfoQueries) / sizeof(kInfoQueries[0]) ==
              kFunctionGetFailSafeInfo - kFunctionGetNvInfo + 1);

// Logs the branch's failure line at error level and answers failure.
EFI_STATUS Failed(CommRecord Record, logcheck::CheckedFormat<const char *> Format,
                  const char *BranchName) {
  VARNEL_LOG(kLevelError, Format, BranchName);
  return Answer(Record, kStatusFailure, EFI_DEVICE_ERROR);
}

}  // namespace

EFI_STATUS SpiNorGetInfo(CommRecord Record) {
  VARNEL_LOG(kLevelInfo, "%a %p\n", "SpiNorGetInfo", Record);
  uint64_t InfoLow = 0;
  uint64_t InfoHigh = 0;
  uint64_t FlashSize = 0;
  if (EfiError(SpiNorMmGetInfo(&InfoLow, &InfoHigh, &FlashSize))) {
    return Failed(Record, "%a Can't get Varnel Info\n", "SpiNorGetInfo");
  }
  Record[kWordOffset] = 0;
  Record[kWordLength] = InfoLow;
  Record[kWordBuffer] = InfoHigh;
  Record[kWordAuthInfoShort] = FlashSize;
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

EFI_STATUS SpiNorInfoQuery(CommRecord Record, uint64_t Function) {
  const InfoQueryKind &Kind = kInfoQueries[Function - kFunctionGetNvInfo];
  VARNEL_LOG(kLevelInfo, "%a\n", Kind.BranchName);
  uint64_t Value1 = 0;
  uint64_t Value2 = 0;
  // Functions 4, 5 and 6 use the sub-commands of the same numbers.
  static_assert(uint64_t{kFunctionGetNvInfo} == kSubGetNvInfo &&
                uint64_t{kFunctionGetNv2Info} == kSubGetNv2Info &&
                uint64_t{kFunctionGetFailSafeInfo} == kSubGetFailSafeInfo);
  if (EfiError(SpiNorMmInfoQuery(static_cast<SubCommand>(Function), &Value1, &Value2))) {
    return Failed(Record, Kind.FailFormat, Kind.BranchName);
  }
  Record[kWordOffset] = Value1;
  Record[kWordLength] = Value2;
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

EFI_STATUS SpiNorRunTimeLockDown(CommRecord Record) {
  VARNEL_LOG(kLevelInfo, "%a %p\n", "SpiNorRunTimeLockDown", Record);
  gRunTimeLockDown = 1;
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

EFI_STATUS SpiNorSeedDeploy(CommRecord Record) {
  if (EfiError(SpiNorMmSeedDeploy(Record[kWordOffset]))) {
    return Failed(Record, "%a Can't Deploy Secure SPI Seed\n", "SpiNorSeedDeploy");
  }
  Record[kWordFunctionId] = kStatusSuccess;
  gSeedDeployed = 1;
  return EFI_SUCCESS;
}

EFI_STATUS SpiNorLockRegionLock(CommRecord Record) {
  if (gSeedDeployed != 0) {
    return Answer(Record, kStatusFailure, EFI_DEVICE_ERROR);
  }
  if (EfiError(SpiNorMmLockRegionLock())) {
    return Failed(Record, "%a Fail to Lock region lock command\n", "SpiNorLockRegionLock");
  }
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

}  // namespace varnel
