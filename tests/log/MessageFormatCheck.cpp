// SPDX-License-Identifier: BSD-3-Clause
// Messages whose format and arguments disagree must not compile. Each case is built on its own
// (-DMESSAGE_CASE=N) by ctest, which expects case 0 to compile and every other case to fail.
#include "log/DebugLog.h"

void Messages(uint64_t Number, void *Pointer, const EFI_GUID *Guid, const char16_t *Wide) {
  (void)Number, (void)Pointer, (void)Guid, (void)Wide;
#if MESSAGE_CASE == 0
  // Every form the driver uses, and the engine's other conversions.
  VARNEL_LOG(kLevelError, "%a Fail to Read Offset %llx Len %llx\n", "SpiNorRead", Number, Number);
  VARNEL_LOG(kLevelInfo, "CommBuffer - 0x%p, CommBufferSize - 0x%x\n", Pointer, Number);
  VARNEL_LOG(kLevelError, "\nASSERT_EFI_ERROR (Status = %r)\n", Number);
  VARNEL_LOG(kLevelError, "%g %s %*.*d %c %% %k\n", Guid, Wide, 8, 4, Number, Number);
  VARNEL_LOG(kLevelError, "Can't register VarnelMmiHandler\n");
  VARNEL_LOG(kLevelError, "%a\n", nullptr);
#elif MESSAGE_CASE == 1
  VARNEL_LOG(kLevelError, "%a Fail to Read Offset %llx Len %llx\n", "SpiNorRead", Number);
#elif MESSAGE_CASE == 2
  VARNEL_LOG(kLevelError, "Can't register VarnelMmiHandler\n", Number);
#elif MESSAGE_CASE == 3
  VARNEL_LOG(kLevelError, "%a Unsupported function ID\n", Number);
#elif MESSAGE_CASE == 4
  VARNEL_LOG(kLevelError, "x0 %x x1 %x\n", Number, "text");
#elif MESSAGE_CASE == 5
  VARNEL_LOG(kLevelError, "%p\n", "text");
#elif MESSAGE_CASE == 6
  VARNEL_LOG(kLevelError, "%g\n", Pointer);
#elif MESSAGE_CASE == 7
  VARNEL_LOG(kLevelError, "%s\n", "narrow text");
#elif MESSAGE_CASE == 8
  VARNEL_LOG(kLevelInfo, "%*d\n", Number);
#elif MESSAGE_CASE == 9
  // A format is never text made at run time, such as bytes copied from the record.
  char Copied[8] = {'%', 'a', '\n', 0};
  Copied[1] = static_cast<char>(Number);
  VARNEL_LOG(kLevelError, Copied, "SpiNorRead");
#elif MESSAGE_CASE == 10
  const char *Text = "%a\n";
  VARNEL_LOG(kLevelError, Text, "SpiNorRead");
#endif
}
