// SPDX-License-Identifier: BSD-3-Clause
// Length of a NUL-terminated ASCII string; characters past the configured limit are reported
// one by one, but the full length is always returned.
#include "base/Assertion.h"
#include "base/MemoryStringRegister.h"
#include "config/VarnelMmConfig.h"

extern "C" {

uint64_t AsciiStringLength(const char *String) {
  const bool ChecksEnabled = AssertChecksEnabled();
  uint64_t Length = 0;
  for (; String[Length] != '\0'; ++Length) {
    if (ChecksEnabled && !(Length < config::kMaxAsciiStringLength)) {
      AssertReport(__FILE__, __LINE__, "Length < MaxAsciiStringLength");
    }
  }
  return Length;
}

}  // extern "C"
