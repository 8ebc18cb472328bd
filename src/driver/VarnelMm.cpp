// SPDX-License-Identifier: BSD-3-Clause
// Driver state and start-up: clears the flags, keeps the services table, fits the boot table to
// the flash and registers the request handler.
#include "driver/VarnelMmInternal.h"

namespace varnel {

namespace {

bool gRunTimeLocked = false;
bool gSeedDeployed = false;
EFI_MM_SYSTEM_TABLE *gMmst = nullptr;

}  // namespace

bool RunTimeLocked() {
  return gRunTimeLocked;
}
void LockDownRunTime() {
  gRunTimeLocked = true;
}
bool SeedDeployed() {
  return gSeedDeployed;
}
void MarkSeedDeployed() {
  gSeedDeployed = true;
}
EFI_MM_SYSTEM_TABLE *MmServices() {
  return gMmst;
}

}  // namespace varnel

using namespace varnel;

extern "C" EFI_STATUS VarnelMmInit(EFI_HANDLE ImageHandle, EFI_MM_SYSTEM_TABLE *MmSystemTable) {
  (void)ImageHandle;
  VARNEL_LOG(kLevelInfo, "%a\n", "VarnelMmInit");
  gRunTimeLocked = false;
  gSeedDeployed = false;
  gMmst = MmSystemTable;

  // The entry runs once on a platform; starting from the built-in table makes every start alike.
  SpiNorAclRestore();
  SpiNorAclPatch();

  EFI_HANDLE DispatchHandle = nullptr;
  const EFI_STATUS Status =
      gMmst->MmiHandlerRegister(VarnelMmiHandler, &kVarnelMmGuid, &DispatchHandle);
  if (EfiError(Status)) {
    VARNEL_LOG(kLevelError, "Can't register VarnelMmiHandler\n");
    return Status;
  }
  return EFI_SUCCESS;
}
