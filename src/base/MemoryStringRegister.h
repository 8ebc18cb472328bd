// SPDX-License-Identifier: BSD-3-Clause
// Memory, string and register routines: memory copy, ASCII string length, unaligned 16-bit read,
// checked 32-bit device-register access. They sit below everything else in src/ and report failed
// argument checks through base/Assertion.h only.
#pragma once

#include <stdint.h>

extern "C" {
void *MemoryCopy(void *DestinationBuffer, const void *SourceBuffer, uint64_t Length);
uint64_t AsciiStringLength(const char *String);
uint16_t UnalignedRead16(const void *Buffer);
uint32_t RegisterRead32(uint64_t Address);
uint32_t RegisterWrite32(uint64_t Address, uint32_t Value);
}
