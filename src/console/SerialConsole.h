// SPDX-License-Identifier: BSD-3-Clause
// Polled, write-only PL011 console.
#pragma once

#include <stdint.h>

extern "C" {
uint64_t SerialConsoleInit(void);
void SerialConsoleWrite(const uint8_t *Buffer, uint64_t Count);
}
