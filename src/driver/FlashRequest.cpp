// Plain read, write, erase and region lock (functions 1, 2, 3 and 12), and the permission check
// and operation they share with the authenticated functions.
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

struct FlashRequestKind {
  const char *PlainBranchName;
  logcheck::CheckedFormat<const char *, uint64_t, uint64_t> FailFormat;
};

// Indexed by FlashOperation.
constexpr FlashRequestKind kFlashRequests[] = {
    {"SpiNorRead", "%a Fail to Read Offset %llx Len %llx\n"},
    {"SpiNorWrite", "%a Fail to Write Offset %llx Len %llx\n"},
    {"SpiNorErase", "%a Fail to Erase Offset %llx Len %llx\n"},
    {"SpiNorRegionLock", "%a Fail to Lock region at Offset %llx Len %llx\n"},
};
static_assert(sizeof(kFlashRequests) / sizeof(kFlashRequests[0]) ==
              static_cast<uint64_t>(FlashOperation::RegionLock) + 1);

constexpr uint64_t kLargestJudgedLength = 0xFFFFFFFF;

EFI_STATUS Operate(FlashOperation Operation, bool Secure, uint64_t Offset, uint64_t Length,
                   uint64_t Buffer) {
  switch (Operation) {
    case FlashOperation::Read:
      return SpiNorMmRead(Offset, Length, Buffer, Secure);
    case FlashOperation::Write:
      return SpiNorMmWrite(Offset, Length, Buffer, Secure);
    case FlashOperation::Erase:
      return SpiNorMmErase(Offset, Length, Secure);
    case FlashOperation::RegionLock:
      break;
  }
  return SpiNorMmRegionLock(Offset, Length, Secure);
}

}  // namespace

EFI_STATUS SpiNorFlashPerform(CommRecord Record, FlashOperation Operation, const char *BranchName,
                              bool Secure, uint64_t Offset, uint64_t Length, uint64_t Buffer) {
  // Everything but a read is judged against the access table. The table judges 32-bit lengths;
  // a longer one is refused, so the range judged is always the range operated on.
  if (Operation != FlashOperation::Read &&
      (Length > kLargestJudgedLength ||
       !SpiNorIsWriteAllowed(Offset, static_cast<uint32_t>(Length), gRunTimeLockDown != 0))) {
    VARNEL_LOG(kLevelWarning, "%a No write permission Offset %llx - Len %llx\n", BranchName, Offset,
               Length);
    return Answer(Record, kStatusNoPermission, EFI_SUCCESS);
  }
  if (EfiError(Operate(Operation, Secure, Offset, Length, Buffer))) {
    VARNEL_LOG(kLevelError, kFlashRequests[static_cast<uint8_t>(Operation)].FailFormat, BranchName,
               Offset, Length);
    return Answer(Record, kStatusFailure, EFI_DEVICE_ERROR);
  }
  return Answer(Record, kStatusSuccess, EFI_SUCCESS);
}

EFI_STATUS SpiNorFlashRequest(CommRecord Record, FlashOperation Operation) {
  // Once the seed is deployed only the authenticated functions reach the flash.
  if (gSeedDeployed != 0) {
    return Answer(Record, kStatusFailure, EFI_DEVICE_ERROR);
  }
  const uint64_t Offset = Record[kWordOffset];
  const uint64_t Length = Record[kWordLength];
  const bool Transfers = Operation == FlashOperation::Read || Operation == FlashOperation::Write;
  const uint64_t Buffer = Transfers ? Record[kWordBuffer] : 0;
  return SpiNorFlashPerform(Record, Operation,
                            kFlashRequests[static_cast<uint8_t>(Operation)].PlainBranchName, false,
                            Offset, Length, Buffer);
}

}  // namespace varnel
