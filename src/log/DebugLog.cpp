// SPDX-License-Identifier: BSD-3-Clause
// Debug log: level filter, rendering into a per-call buffer, output to the serial console, and
// assertion reports that end in a breakpoint.
#include "log/DebugLog.h"

#include <stdarg.h>

#include "arch/Arch.h"
#include "base/MemoryStringRegister.h"
#include "config/VarnelMmConfig.h"
#include "console/SerialConsole.h"
#include "print/Format.h"

namespace {

// Sends the text rendered into Buffer: the bytes before its first NUL, nothing added. The caller
// puts a NUL in the first byte before rendering, so a render the engine refused sends nothing.
void SendRendered(const char *Buffer) {
  const uint64_t Length = AsciiStringLength(Buffer);
  SerialConsoleWrite(reinterpret_cast<const uint8_t *>(Buffer), Length);
}

}  // namespace

extern "C" {

void LogPrint(uint64_t Level, const char *Format, ...) {
  // Only the low 32 bits carry a level.
  if ((static_cast<uint32_t>(Level) & config::kLogOutputMask) == 0) {
    return;
  }
  char Buffer[config::kLogBufferSize];
  Buffer[0] = '\0';
  va_list Arguments;
  va_start(Arguments, Format);
  FormatBufferV(Buffer, sizeof(Buffer), Format, Arguments);
  va_end(Arguments);
  SendRendered(Buffer);
}

void AssertReport(const char *FileName, uint64_t LineNumber, const char *Description) {
  char Buffer[config::kLogBufferSize];
  Buffer[0] = '\0';
  FormatBuffer(Buffer, sizeof(Buffer), "ASSERT [%a] %a(%d): %a\n", config::kModuleName, FileName,
               LineNumber, Description);
  SendRendered(Buffer);
  BreakpointTrap();
}

}  // extern "C"
