// Plain read, write, erase and region lock (functions 1, 2, 3 and 12), and the permission check
// and operation they share with the authenticated functions.
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

struct FlashRequestKind {
  const char *PlainBranchName;
  logcheck::CheckedFormat<const char *, uint64_t, uint64_t> FailFormat;
  uint8_t Plain;   // sub-command with the secure flag clear
  uint8_t Secure;  // and with it set
};

// Indexed by FlashOperation.
constexpr FlashRequestKind kFlashRequests[] = {
    {"SpiNorRead", "%a Fail to Read Offset %llx Len %llx\n", kSubRead, kSubSecureRead},
    {"SpiNorWrite", "%a Fail to Write Offset %llx Len %llx\n", kSubWrite, kSubSecureWrite},
    {"SpiNorErase", "%a Fail to Erase Offset %llx Len %llx\n", kSubErase, kSubSecureErase},
    {"SpiNorRegionLock", "%a Fail to Lock region at Offset %llx Len %llx\n", kSubRegionLock,
     kSubSecureRegionLock},
};
static_assert(sizeof(kFlashRequests) / sizeof(kFlashRequests[0]) ==
              static_cast<uint64_t>(FlashOperation::RegionLock) + 1);

constexpr uint64_t kLargestJudgedLength = 0xFFFFFFFF;

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
  const FlashRequestKind &Kind = kFlashRequests[static_cast<uint8_t>(Operation)];
  if (EfiError(SpiNorMmFlashOperation(static_cast<SubCommand>(Secure ? Kind.Secure : Kind.Plain),
                                      Offset, Length, Buffer))) {
    VARNEL_LOG(kLevelError, Kind.FailFormat, BranchName, Offset, Length);
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
  const uint64_t Buffer = MovesData(Operation) ? Record[kWordBuffer] : 0;
  return SpiNorFlashPerform(Record, Operation,
                            kFlashRequests[static_cast<uint8_t>(Operation)].PlainBranchName, false,
                            Offset, Length, Buffer);
}

}  // namespace varnel
