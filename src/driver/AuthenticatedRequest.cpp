// Authenticated read, write, erase and region lock (functions 9, 10, 11 and 13): the signed part
// of the record is staged in MM pool memory, authenticated by the secure firmware, released, and
// only then is the operation judged and carried out with the secure sub-command.
#include "base/BaseLib.h"
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

struct SecureRequestKind {
  const char *BranchName;
  logcheck::CheckedFormat<const char *> RefusedFormat;
  uint8_t SignedBytes;   // the signed part starts at byte 0 of the record
  uint8_t AuthInfoWord;  // the word right behind the signed part
};

// Indexed by FlashOperation.
constexpr SecureRequestKind kSecureRequests[] = {
    {"SpiNorSecureRead", "%a Fail to authenticate Read request\n", kSignedPartLong,
     kWordAuthInfoLong},
    {"SpiNorSecureWrite", "%a Fail to authenticate write request\n", kSignedPartLong,
     kWordAuthInfoLong},
    {"SpiNorSecureErase", "%a Fail to authenticate erase request\n", kSignedPartShort,
     kWordAuthInfoShort},
    {"SpiNorSecureRegionLock", "%a Fail to authenticate region lock request\n", kSignedPartShort,
     kWordAuthInfoShort},
};
static_assert(sizeof(kSecureRequests) / sizeof(kSecureRequests[0]) ==
              static_cast<uint64_t>(FlashOperation::RegionLock) + 1);
static_assert(kSignedPartLong == kWordAuthInfoLong * sizeof(uint64_t));
static_assert(kSignedPartShort == kWordAuthInfoShort * sizeof(uint64_t));

// The pool release is expected to succeed; a failure is reported and the request goes on.
void ReleaseStaging(void *Staging) {
  const EFI_STATUS Status = gMmst->MmFreePool(Staging);
  ASSERT_EFI_ERROR(Status);
}

}  // namespace

EFI_STATUS SpiNorSecureRequest(CommRecord Record, FlashOperation Operation) {
  const SecureRequestKind &Kind = kSecureRequests[static_cast<uint8_t>(Operation)];
  const uint64_t SignedBytes = Kind.SignedBytes;
  const uint64_t AuthInfo = Record[Kind.AuthInfoWord];

  void *Staging = nullptr;
  if (EfiError(gMmst->MmAllocatePool(EfiRuntimeServicesData, SignedBytes, &Staging))) {
    return Answer(Record, kStatusFailure, EFI_OUT_OF_RESOURCES);
  }
  // The firmware authenticates this private copy, never the shared record.
  MemoryCopy(Staging, const_cast<const uint64_t *>(Record), SignedBytes);
  const uint64_t Address = SpiNorTranslateAddress(reinterpret_cast<uint64_t>(Staging));
  if (EfiError(SpiNorMmReqAuthenticate(Address, SignedBytes, AuthInfo))) {
    VARNEL_LOG(kLevelError, Kind.RefusedFormat, Kind.BranchName);
    Record[kWordFunctionId] = kStatusAuthenticationRefused;
    ReleaseStaging(Staging);
    return EFI_DEVICE_ERROR;
  }

  // The operation uses the values that were authenticated, whatever the normal world has written
  // into the record since.
  const uint64_t *Signed = static_cast<const uint64_t *>(Staging);
  const uint64_t Offset = Signed[kWordOffset];
  const uint64_t Length = Signed[kWordLength];
  const uint64_t Buffer = MovesData(Operation) ? Signed[kWordBuffer] : 0;
  ReleaseStaging(Staging);

  return SpiNorFlashPerform(Record, Operation, Kind.BranchName, true, Offset, Length, Buffer);
}

}  // namespace varnel
