// SPDX-License-Identifier: BSD-3-Clause
// Authentication of a signed request (functions 9, 10, 11 and 13): the signed part is staged in
// MM pool memory, offered to the secure firmware and released before the request goes on.
#include "base/MemoryStringRegister.h"
#include "driver/DriverState.h"
#include "driver/SecureService.h"
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

// The pool release is expected to succeed; a failure is reported and the request goes on.
void ReleaseStaging(void *Staging) {
  const EFI_STATUS Status = MmServices()->MmFreePool(Staging);
  ASSERT_EFI_ERROR(Status);
}

}  // namespace

EFI_STATUS AuthenticateRequest(const RequestRow &Row, const RequestCopy &Request) {
  const uint64_t SignedBytes = Row.SignedBytes;
  void *Staging = nullptr;
  if (EfiError(MmServices()->MmAllocatePool(EfiRuntimeServicesData, SignedBytes, &Staging))) {
    return EFI_OUT_OF_RESOURCES;
  }
  // The firmware authenticates the request as the handler took it: word 0 is the function being
  // carried out, so a signature made for another function cannot pass, and the words that follow
  // are the ones the operation will use.
  MemoryCopy(Staging, Request.Word, SignedBytes);
  const uint64_t Address = SpiNorTranslateAddress(reinterpret_cast<uint64_t>(Staging));
  const uint64_t AuthInfo = Request.Word[SignedBytes / sizeof(uint64_t)];
  const EFI_STATUS Status = SpiNorMmReqAuthenticate(Address, SignedBytes, AuthInfo);
  if (EfiError(Status)) {
    LogRequestLine(kLevelError, RowText(Row.AuthRefusedFormat), RowText(Row.BranchName));
  }
  ReleaseStaging(Staging);
  return EfiError(Status) ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}

}  // namespace varnel
