// SPDX-License-Identifier: BSD-3-Clause
// A debug log for tests that records every message, whatever its level, instead of filtering it
// and sending it to the console. Linked in place of the core's debug log, so the info-level lines
// that the console never shows can be checked byte for byte.
#include "tests/driver/RecordingLog.h"

#include <stdarg.h>

#include "print/Format.h"

namespace drivertest {

std::vector<LoggedLine> &RecordedLines() {
  static std::vector<LoggedLine> Lines;
  return Lines;
}

}  // namespace drivertest

extern "C" {

void LogPrint(uint64_t Level, const char *Format, ...) {
  char Buffer[256] = {};
  va_list Arguments;
  va_start(Arguments, Format);
  FormatBufferV(Buffer, sizeof(Buffer), Format, Arguments);
  va_end(Arguments);
  drivertest::RecordedLines().push_back({Level, Buffer});
}

void AssertReport(const char *FileName, uint64_t LineNumber, const char *Description) {
  (void)LineNumber;
  drivertest::RecordedLines().push_back(
      {0, std::string("ASSERT ") + FileName + ": " + Description});
}

}  // extern "C"
