// Readable names for what a caller of the driver sees: the functions (by their branch names), the
// status words and the UEFI statuses the driver and the models answer. Freestanding, so the
// scenario runner under QEMU, the host tests and varnel-sim print the same words.
#pragma once

#include <stdint.h>

#include "driver/VarnelMmProtocol.h"

namespace models {

inline constexpr const char *kFunctionNames[] = {
    "SpiNorGetInfo",         "SpiNorRead",
    "SpiNorWrite",           "SpiNorErase",
    "SpiNorGetNVInfo",       "SpiNorGetNV2Info",
    "SpiNorGetFailSafeInfo", "SpiNorRunTimeLockDown",
    "SpiNorSeedDeploy",      "SpiNorSecureRead",
    "SpiNorSecureWrite",     "SpiNorSecureErase",
    "SpiNorRegionLock",      "SpiNorSecureRegionLock",
    "SpiNorLockRegionLock",
};
static_assert(sizeof(kFunctionNames) / sizeof(kFunctionNames[0]) == varnel::kHighestFunction + 1);

// The branch name of a function number; null above 14.
constexpr const char *FunctionName(uint64_t Function) {
  return Function <= varnel::kHighestFunction ? kFunctionNames[Function] : nullptr;
}

// "success", "no write permission", "authentication refused" or "failure"; null for any other
// word.
constexpr const char *StatusWordName(uint64_t Word) {
  switch (Word) {
    case varnel::kStatusSuccess:
      return "success";
    case varnel::kStatusNoPermission:
      return "no write permission";
    case varnel::kStatusAuthenticationRefused:
      return "authentication refused";
    case varnel::kStatusFailure:
      return "failure";
    default:
      return nullptr;
  }
}

// The symbolic name of a UEFI status the driver or the models answer; null for any other.
constexpr const char *EfiStatusName(EFI_STATUS Status) {
  switch (Status) {
    case EFI_SUCCESS:
      return "EFI_SUCCESS";
    case EFI_INVALID_PARAMETER:
      return "EFI_INVALID_PARAMETER";
    case EFI_BAD_BUFFER_SIZE:
      return "EFI_BAD_BUFFER_SIZE";
    case kEfiErrorBit | 6:
      return "EFI_NOT_READY";
    case EFI_DEVICE_ERROR:
      return "EFI_DEVICE_ERROR";
    case EFI_OUT_OF_RESOURCES:
      return "EFI_OUT_OF_RESOURCES";
    case kEfiErrorBit | 14:
      return "EFI_NOT_FOUND";
    case EFI_ACCESS_DENIED:
      return "EFI_ACCESS_DENIED";
    case EFI_INCOMPATIBLE_VERSION:
      return "EFI_INCOMPATIBLE_VERSION";
    default:
      return nullptr;
  }
}

}  // namespace models
