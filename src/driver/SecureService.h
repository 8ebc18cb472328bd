// SPDX-License-Identifier: BSD-3-Clause
// Secure-service operations (SecureService.cpp). Each returns EFI_SUCCESS when x0 comes back
// non-negative, else EFI_DEVICE_ERROR; out-values are written only on success. The secure flag
// picks the authenticated sub-command of a pair.
#pragma once

#include <stdint.h>

#include "base/UefiTypes.h"
#include "driver/VarnelMmProtocol.h"

namespace varnel {

EFI_STATUS SpiNorMmGetInfo(uint64_t *InfoLow, uint64_t *InfoHigh, uint64_t *FlashSize);
EFI_STATUS SpiNorMmRead(uint64_t Offset, uint64_t Length, uint64_t Buffer, bool Secure);
EFI_STATUS SpiNorMmWrite(uint64_t Offset, uint64_t Length, uint64_t Buffer, bool Secure);
EFI_STATUS SpiNorMmErase(uint64_t Offset, uint64_t Length, bool Secure);
EFI_STATUS SpiNorMmRegionLock(uint64_t Offset, uint64_t Length, bool Secure);
EFI_STATUS SpiNorMmReqAuthenticate(uint64_t Address, uint64_t Length, uint64_t AuthInfo);
EFI_STATUS SpiNorMmGetNVInfo(uint64_t *Value1, uint64_t *Value2);
EFI_STATUS SpiNorMmGetNV2Info(uint64_t *Value1, uint64_t *Value2);
EFI_STATUS SpiNorMmGetFailSafeInfo(uint64_t *Value1, uint64_t *Value2);
// Sub-command 1, 2, 3, 9, 10, 11, 12 or 13: the four flash operations above by sub-command;
// Buffer is 0 for erase and region lock.
EFI_STATUS SpiNorMmFlashOperation(SubCommand Sub, uint64_t Offset, uint64_t Length,
                                  uint64_t Buffer);
// Sub-command 4, 5 or 6: the three information queries above, which hand back x1 and x2.
EFI_STATUS SpiNorMmInfoQuery(SubCommand Sub, uint64_t *Value1, uint64_t *Value2);
EFI_STATUS SpiNorMmSeedDeploy(uint64_t Seed);
EFI_STATUS SpiNorMmLockRegionLock();
// The firmware's form of a driver address; 0 when the translation call fails.
uint64_t SpiNorTranslateAddress(uint64_t Address);

}  // namespace varnel
