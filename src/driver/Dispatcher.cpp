// The request handler: checks its arguments and the buffer, takes the private copy of the request
// and hands it to the path its row names.
//
// Answers to a request the handler cannot serve, in the order they are checked; none of them
// writes the record:
//  - CommBuffer or CommBufferSize null: an assertion report for each null pointer, then
//    EFI_INVALID_PARAMETER.
//  - CommBuffer not 8-byte aligned: "VarnelMmiHandler CommBuffer not aligned 0x..", then
//    EFI_INVALID_PARAMETER; no record byte is read. A PI communicate buffer puts the record
//    24 bytes behind a naturally aligned header, so only a broken or hostile caller gets here,
//    and its record could not be read as whole words without faulting on a strict mapping.
//  - a size below 8 bytes: the error line "VarnelMmiHandler Buffer too small, CommBufferSize 0x.."
//    and EFI_BAD_BUFFER_SIZE; word 0 is not read.
//  - a function number above 14: "VarnelMmiHandler Unsupported function ID", EFI_ACCESS_DENIED.
//  - a size below the bytes the function reads or writes: the same buffer-too-small line and
//    EFI_BAD_BUFFER_SIZE.
// The handler never reads or writes a byte at or beyond the size it is given, and reads each
// record word it uses exactly once.
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

// Each function's record size, derived from its row.
struct RecordSizes {
  uint8_t Bytes[kHighestFunction + 1];
};
constexpr RecordSizes kBytesNeeded = [] {
  RecordSizes Sizes = {};
  for (uint64_t Function = 0; Function <= kHighestFunction; ++Function) {
    Sizes.Bytes[Function] = static_cast<uint8_t>(BytesNeeded(kRequests[Function]));
  }
  return Sizes;
}();

EFI_STATUS BufferTooSmall(uint64_t Size) {
  VARNEL_LOG(kLevelError, "%a Buffer too small, CommBufferSize 0x%llx\n", "VarnelMmiHandler", Size);
  return EFI_BAD_BUFFER_SIZE;
}

// Takes the copy and serves it. Kept out of the handler so that the copy's frame is entered only
// for requests that passed every check.
[[gnu::noinline]] EFI_STATUS CopyAndServe(SharedRecord Record, uint64_t Function) {
  RequestCopy Request = {{Function, 0, 0, 0, 0, 0}};
  const uint32_t ReadWords = RowOf(Function).ReadWords;
  for (uint32_t Word = 1; Word < kRecordWords; ++Word) {
    if ((ReadWords & (1u << Word)) != 0) {
      Request.Word[Word] = FetchWord(Record, Word);
    }
  }
  // An authenticated request passes the secure firmware before anything else of it runs. Only
  // the copy and the record are kept across the call: each callee finds the row from the copy.
  if (RowOf(Function).SignedBytes != 0) {
    const EFI_STATUS Verdict = AuthenticateRequest(Request);
    if (Verdict != EFI_SUCCESS) {
      return Answer(Record,
                    Verdict == EFI_OUT_OF_RESOURCES ? kStatusFailure : kStatusAuthenticationRefused,
                    Verdict);
    }
  }
  return ServeRequest(Request, Record);
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
  if ((reinterpret_cast<uintptr_t>(CommBuffer) & (sizeof(uint64_t) - 1)) != 0) {
    VARNEL_LOG(kLevelError, "%a CommBuffer not aligned 0x%p\n", "VarnelMmiHandler", CommBuffer);
    return EFI_INVALID_PARAMETER;
  }

  const uint64_t Size = *static_cast<volatile const uint64_t *>(CommBufferSize);
  VARNEL_LOG(kLevelInfo, "%a CPU%d\n", "VarnelMmiHandler", gMmst->CurrentlyExecutingCpu);
  VARNEL_LOG(kLevelInfo, "CommBuffer - 0x%p, CommBufferSize - 0x%x\n", CommBuffer, Size);

  if (Size < sizeof(uint64_t)) {
    return BufferTooSmall(Size);
  }
  const SharedRecord Record = static_cast<SharedRecord>(CommBuffer);
  const uint64_t Function = FetchWord(Record, kWordFunctionId);
  if (Function > kHighestFunction) {
    VARNEL_LOG(kLevelError, "%a Unsupported function ID\n", "VarnelMmiHandler");
    return EFI_ACCESS_DENIED;
  }
  if (Size < kBytesNeeded.Bytes[Function]) {
    return BufferTooSmall(Size);
  }
  return CopyAndServe(Record, Function);
}
