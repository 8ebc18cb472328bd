// SPDX-License-Identifier: BSD-3-Clause
// UEFI status values and the GUID and time layouts shared by the driver and its diagnostics.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "VarnelMm/Protocol.h"

using EFI_STATUS = uint64_t;

constexpr EFI_STATUS kEfiErrorBit = VARNELMM_EFI_ERROR_BIT;
// EFI_SUCCESS, EFI_DEVICE_ERROR, ...: the statuses of the protocol header, by their own names.
#define VARNEL_EFI_STATUS(Name) constexpr EFI_STATUS Name = VARNELMM_##Name;
VARNELMM_EFI_STATUS_LIST(VARNEL_EFI_STATUS)
#undef VARNEL_EFI_STATUS

// An error is a status that is negative as a signed 64-bit value.
constexpr bool EfiError(EFI_STATUS Status) {
  return (Status & kEfiErrorBit) != 0;
}

struct EFI_GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);
static_assert(offsetof(EFI_GUID, Data2) == 4 && offsetof(EFI_GUID, Data3) == 6);
static_assert(offsetof(EFI_GUID, Data4) == 8);

struct EFI_TIME {
  uint16_t Year;
  uint8_t Month;
  uint8_t Day;
  uint8_t Hour;
  uint8_t Minute;
  uint8_t Second;
  uint8_t Pad1;
  uint32_t Nanosecond;
  int16_t TimeZone;
  uint8_t Daylight;
  uint8_t Pad2;
};
static_assert(sizeof(EFI_TIME) == 16);
static_assert(offsetof(EFI_TIME, Month) == 2 && offsetof(EFI_TIME, Day) == 3);
static_assert(offsetof(EFI_TIME, Hour) == 4 && offsetof(EFI_TIME, Minute) == 5);
