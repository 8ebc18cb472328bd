// SPDX-License-Identifier: BSD-3-Clause
// Regression tests for faults the fuzz targets found. Each case names the input that found it;
// the same input is kept in the fuzz target's corpus.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "print/Format.h"

namespace {

// fuzz_format, corpus entry finding-hex-fill-uses-up-buffer: a zero-filled hexadecimal directive
// whose fill reaches the end mark left no room for digits, and the engine shifted the value by
// its whole width (undefined behaviour) before storing nothing.
TEST(FormatFindings, HexFillThatUsesUpTheBufferStoresOnlyTheFill) {
  struct Case {
    const char *Format;
    uint64_t Size;
    uint64_t Value;
    const char *Text;
  };
  const Case kCases[] = {
      {"%020lx", 5, ~0ULL, "0000"},   {"%020lX", 5, ~0ULL, "0000"},
      {"%017lx", 2, 1ULL << 63, "0"}, {"%09x", 9, 0xFFFFFFFF, "0FFFFFFF"},
      {"a%020lx", 4, ~0ULL, "a00"},   {"%020lx", 18, ~0ULL, "0000FFFFFFFFFFFFF"},
  };
  for (const Case &C : kCases) {
    char Buffer[32];
    std::memset(Buffer, 0x7E, sizeof(Buffer));
    const uint64_t Count = FormatBuffer(Buffer, C.Size, C.Format, C.Value);
    EXPECT_EQ(Count, std::strlen(C.Text)) << C.Format << " size " << C.Size;
    EXPECT_STREQ(Buffer, C.Text) << C.Format << " size " << C.Size;
    EXPECT_EQ(Buffer[C.Size], 0x7E) << C.Format << " stored past the buffer";
  }
}

}  // namespace
