// SPDX-License-Identifier: BSD-3-Clause
// The request handler: checks its arguments and the buffer, looks up the request's row and hands
// both to the request paths, which take the private copy of the request.
//
// Answers to a request the handler cannot serve, in the order they are checked; none of them
// writes the record:
//  - CommBuffer or CommBufferSize null: an assertion report for each null pointer, then
//    EFI_INVALID_PARAMETER.
//  - CommBuffer not 8-byte aligned: EFI_INVALID_PARAMETER, silently; no record byte is read. A
//    PI communicate buffer puts the record 24 bytes behind a naturally aligned header, so only a
//    broken or hostile caller gets here, and its record could not be read as whole words without
//    faulting on a strict mapping.
//  - a size below 8 bytes: the error line "VarnelMmiHandler Buffer too small, CommBufferSize 0x.."
//    and EFI_BAD_BUFFER_SIZE; word 0 is not read.
//  - a function number above 14: "VarnelMmiHandler Unsupported function ID", EFI_ACCESS_DENIED.
//  - a size below the bytes the function reads or writes: the same buffer-too-small line and
//    EFI_BAD_BUFFER_SIZE.
// The handler never reads or writes a byte at or beyond the size it is given, and reads each
// record word it uses exactly once.
#include "driver/DriverState.h"
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

// The refusals. They stay out of line, so the handler's own path needs no frame: it is a run of
// checks ending in one tail call. Each hands its answer back through Opaque, so the compiler
// cannot fold the fixed answer into the handler and turn the tail calls into calls with a frame.
EFI_STATUS Opaque(EFI_STATUS Status) {
  __asm__("" : "+r"(Status));
  return Status;
}

[[gnu::noinline, gnu::cold]] EFI_STATUS NullArgument(const void *CommBuffer,
                                                     const uint64_t *CommBufferSize) {
  VARNEL_ASSERT_TEXT(CommBuffer != nullptr, "CommBuffer");
  VARNEL_ASSERT_TEXT(CommBufferSize != nullptr, "CommBufferSize");
  return Opaque(EFI_INVALID_PARAMETER);
}

[[gnu::noinline, gnu::cold]] EFI_STATUS BufferTooSmall(uint64_t Size) {
  VARNEL_LOG(kLevelError, "%a Buffer too small, CommBufferSize 0x%llx\n", "VarnelMmiHandler", Size);
  return Opaque(EFI_BAD_BUFFER_SIZE);
}

[[gnu::noinline, gnu::cold]] EFI_STATUS Unsupported() {
  VARNEL_LOG(kLevelError, "%a Unsupported function ID\n", "VarnelMmiHandler");
  return Opaque(EFI_ACCESS_DENIED);
}

// Everything after the pointer checks. It is handed the record only as a SharedRecord, and the
// handler keeps no other use of CommBuffer, so no line of the request can read a record word
// except through FetchWord: a raw re-read has to be written against the type on purpose.
[[gnu::always_inline]] inline EFI_STATUS HandleRecord(SharedRecord Record, uint64_t Size) {
  VARNEL_LOG(kLevelInfo, "%a CPU%d\n", "VarnelMmiHandler", MmServices()->CurrentlyExecutingCpu);
  VARNEL_LOG(kLevelInfo, "CommBuffer - 0x%p, CommBufferSize - 0x%x\n", Record.Address(), Size);

  if (Size < sizeof(uint64_t)) {
    return BufferTooSmall(Size);
  }
  const uint64_t Function = FetchWord(Record, kWordFunctionId);
  if (Function > kHighestFunction) {
    return Unsupported();
  }
  // The row is looked up here once and travels with the request.
  const RequestRow &Row = kRequests[Function];
  if (Size < Row.BytesNeeded) {
    return BufferTooSmall(Size);
  }
  return ServeRequest(Row, Record, Function);
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
    return NullArgument(CommBuffer, CommBufferSize);
  }
  if ((reinterpret_cast<uintptr_t>(CommBuffer) & (sizeof(uint64_t) - 1)) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  return HandleRecord(SharedRecord(CommBuffer),
                      *static_cast<volatile const uint64_t *>(CommBufferSize));
}
