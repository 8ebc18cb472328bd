// SPDX-License-Identifier: BSD-3-Clause
// Image entry point: refuses a services table that is too old, brings up the console, then starts
// the driver.
#include "config/VarnelMmConfig.h"
#include "console/SerialConsole.h"
#include "driver/MmServices.h"
#include "driver/VarnelMmInternal.h"

extern "C" EFI_STATUS VarnelMmEntryPoint(EFI_HANDLE ImageHandle,
                                         EFI_MM_SYSTEM_TABLE *MmSystemTable) {
  // Nothing may be touched, not even the console, before the table is known to be new enough.
  if (MmSystemTable->Hdr.Revision < config::kRequiredServicesRevision) {
    return EFI_INCOMPATIBLE_VERSION;
  }
  const EFI_STATUS Status = SerialConsoleInit();
  ASSERT_RETURN_ERROR(Status);
  return VarnelMmInit(ImageHandle, MmSystemTable);
}
