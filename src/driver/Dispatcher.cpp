// The request handler: checks its arguments and the buffer size, logs the request and dispatches
// on the function number in word 0.
//
// Answers to a request the handler cannot serve, in the order they are checked; none of them
// writes the record:
//  - CommBuffer or CommBufferSize null: an assertion report for each null pointer, then
//    EFI_INVALID_PARAMETER.
//  - a size below 8 bytes: the error line "VarnelMmiHandler Buffer too small, CommBufferSize 0x.."
//    and EFI_BAD_BUFFER_SIZE; word 0 is not read.
//  - a function number above 14: "VarnelMmiHandler Unsupported function ID", EFI_ACCESS_DENIED.
//  - a size below the bytes the function reads or writes (kRecordBytesNeeded): the same
//    buffer-too-small line and EFI_BAD_BUFFER_SIZE.
// The handler never reads or writes a byte at or beyond the size it is given.
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

// Bytes of the record that each function reads or writes: through the highest word it touches.
constexpr uint8_t kRecordBytesNeeded[] = {
    40,  // 0: writes words 0-4
    32,  // 1: reads Offset, Length, Buffer
    32,  // 2
    24,  // 3: reads Offset, Length
    24,  // 4: writes words 0-2
    24,  // 5
    24,  // 6
    8,   // 7: word 0 only
    16,  // 8: reads the seed in word 1
    48,  // 9: AuthInfo in word 5
    48,  // 10
    40,  // 11: AuthInfo in word 4
    24,  // 12
    40,  // 13
    8,   // 14
};
static_assert(sizeof(kRecordBytesNeeded) == kHighestFunction + 1);
static_assert(sizeof(uint64_t) * (kWordAuthInfoLong + 1) == kRecordBytes);

// Kept out of line: each branch is then a plain tail call, with no frame to unwind.
[[gnu::noinline]] EFI_STATUS Dispatch(CommRecord Record, uint64_t Function) {
  switch (Function) {
    case kFunctionGetInfo:
      return SpiNorGetInfo(Record);
    case kFunctionRead:
      return SpiNorFlashRequest(Record, FlashOperation::Read);
    case kFunctionWrite:
      return SpiNorFlashRequest(Record, FlashOperation::Write);
    case kFunctionErase:
      return SpiNorFlashRequest(Record, FlashOperation::Erase);
    case kFunctionGetNvInfo:
    case kFunctionGetNv2Info:
    case kFunctionGetFailSafeInfo:
      return SpiNorInfoQuery(Record, Function);
    case kFunctionRunTimeLockDown:
      return SpiNorRunTimeLockDown(Record);
    case kFunctionSeedDeploy:
      return SpiNorSeedDeploy(Record);
    case kFunctionSecureRead:
      return SpiNorSecureRequest(Record, FlashOperation::Read);
    case kFunctionSecureWrite:
      return SpiNorSecureRequest(Record, FlashOperation::Write);
    case kFunctionSecureErase:
      return SpiNorSecureRequest(Record, FlashOperation::Erase);
    case kFunctionRegionLock:
      return SpiNorFlashRequest(Record, FlashOperation::RegionLock);
    case kFunctionSecureRegionLock:
      return SpiNorSecureRequest(Record, FlashOperation::RegionLock);
    case kFunctionLockRegionLock:
      return SpiNorLockRegionLock(Record);
    default:
      return EFI_ACCESS_DENIED;
  }
}

EFI_STATUS BufferTooSmall(uint64_t Size) {
  VARNEL_LOG(kLevelError, "%a Buffer too small, CommBufferSize 0x%llx\n", "VarnelMmiHandler", Size);
  return EFI_BAD_BUFFER_SIZE;
}

}  // namespace

}  // namespace varnel

using namespace varnel;

extern "C" EFI_STATUS VarnelMmiHandler(EFI_HANDLE DispatchHandle, const void *Context,
                                       void *CommBuffer, uint64_t *CommBufferSize) {
  (void)DispatchHandle;
  (void)Context;
  // Both checks report when their pointer is null; the handler then answers without touching
  // anything, since it cannot go on through a null pointer.
  if (CommBuffer == nullptr || CommBufferSize == nullptr) {
    VARNEL_ASSERT(CommBuffer != nullptr, "CommBuffer");
    VARNEL_ASSERT(CommBufferSize != nullptr, "CommBufferSize");
    return EFI_INVALID_PARAMETER;
  }

  const uint64_t Size = *static_cast<volatile const uint64_t *>(CommBufferSize);
  VARNEL_LOG(kLevelInfo, "%a CPU%d\n", "VarnelMmiHandler", gMmst->CurrentlyExecutingCpu);
  VARNEL_LOG(kLevelInfo, "CommBuffer - 0x%p, CommBufferSize - 0x%x\n", CommBuffer, Size);

  // The handler never touches a byte at or beyond the size the MM core hands over.
  if (Size < sizeof(uint64_t)) {
    return BufferTooSmall(Size);
  }
  const CommRecord Record = static_cast<CommRecord>(CommBuffer);
  const uint64_t Function = Record[kWordFunctionId];
  if (Function > kHighestFunction) {
    VARNEL_LOG(kLevelError, "%a Unsupported function ID\n", "VarnelMmiHandler");
    return EFI_ACCESS_DENIED;
  }
  if (Size < kRecordBytesNeeded[Function]) {
    return BufferTooSmall(Size);
  }
  return Dispatch(Record, Function);
}
