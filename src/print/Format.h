// SPDX-License-Identifier: BSD-3-Clause
// The format engine: printf-like rendering into a caller's buffer, never storing outside it.
// Every variadic argument is one 64-bit slot (an integer or a pointer).
#pragma once

#include <stdarg.h>
#include <stdint.h>

extern "C" {
uint64_t FormatBufferV(char *Buffer, uint64_t BufferSize, const char *Format, va_list Arguments);
uint64_t FormatBuffer(char *Buffer, uint64_t BufferSize, const char *Format, ...);
// Renders into the 38-byte value buffer of the calling engine (used for %g, %t and %r).
void FormatValueText(char *Destination, const char *Format, ...);
char *FillOutput(char *Position, char *Limit, int64_t Count, char Character);
uint64_t AsciiStrnLenS(const char *String, uint64_t Limit);
}

constexpr uint64_t kFormatValueBufferSize = 38;
