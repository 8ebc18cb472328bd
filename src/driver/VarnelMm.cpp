// SPDX-License-Identifier: BSD-3-Clause
// Start-up: clears the flags, keeps the services table, fits the boot table to the flash and
// registers the request handler.
#include "driver/DriverState.h"
#include "driver/RegionAccess.h"
#include "driver/VarnelMmInternal.h"

using namespace varnel;

extern "C" EFI_STATUS VarnelMmInit(EFI_HANDLE ImageHandle, EFI_MM_SYSTEM_TABLE *MmSystemTable) {
  (void)ImageHandle;
  VARNEL_LOG(kLevelInfo, "%a\n", "VarnelMmInit");
  StartDriverState(MmSystemTable);

  // The entry runs once on a platform; starting from the built-in table makes every start alike.
  SpiNorAclRestore();
  SpiNorAclPatch();

  EFI_HANDLE DispatchHandle = nullptr;
  const EFI_STATUS Status =
      MmSystemTable->MmiHandlerRegister(VarnelMmiHandler, &kVarnelMmGuid, &DispatchHandle);
  if (EfiError(Status)) {
    VARNEL_LOG(kLevelError, "Can't register VarnelMmiHandler\n");
    return Status;
  }
  return EFI_SUCCESS;
}
