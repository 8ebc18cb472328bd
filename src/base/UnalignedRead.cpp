// SPDX-License-Identifier: BSD-3-Clause
// Little-endian 16-bit read from any byte address, made of two single-byte loads.
#include "base/Assertion.h"
#include "base/MemoryStringRegister.h"

extern "C" {

uint16_t UnalignedRead16(const void *Buffer) {
  VARNEL_ASSERT_TEXT(Buffer != nullptr, "Buffer != ((void *) 0)");
  // Volatile byte loads keep the compiler from fusing them into one 16-bit access.
  const volatile uint8_t *Bytes = static_cast<const volatile uint8_t *>(Buffer);
  const uint16_t Low = Bytes[0];
  const uint16_t High = Bytes[1];
  return static_cast<uint16_t>(Low + 256U * High);
}

}  // extern "C"
