// SPDX-License-Identifier: BSD-3-Clause
// MemoryCopy: every alignment pair, length and overlap direction against memmove, and the range
// checks with their reports.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "base/MemoryStringRegister.h"
#include "tests/support/RecordingSeam.h"
#include "tests/support/ReportText.h"

namespace {

using testsupport::BreakpointTaken;
using testsupport::IsReportLine;
using testsupport::RecordingSeam;
using testsupport::SplitLines;

constexpr char kFile[] = "src/base/MemoryCopy.cpp";
constexpr char kDestinationCheck[] =
    "(Length - 1) <= (0xFFFFFFFFFFFFFFFFULL - (UINTN)DestinationBuffer)";
constexpr char kSourceCheck[] = "(Length - 1) <= (0xFFFFFFFFFFFFFFFFULL - (UINTN)SourceBuffer)";

void FillPattern(uint8_t *Bytes, size_t Count) {
  for (size_t Index = 0; Index < Count; ++Index) {
    Bytes[Index] = static_cast<uint8_t>(Index * 7 + 1);
  }
}

// Source and destination inside one buffer, so that every relative placement is covered: all 16 x
// 16 alignment pairs, destination below, above and on the source, overlapping and disjoint.
TEST(MemoryCopy, AllAlignmentsLengthsAndOverlaps_MatchMemmove) {
  RecordingSeam Seam;
  constexpr size_t kSize = 512;
  constexpr size_t kSourceBase = 192;
  alignas(16) uint8_t Actual[kSize];
  alignas(16) uint8_t Expected[kSize];
  uint64_t Failures = 0;
  for (size_t SourceOffset = 0; SourceOffset < 16; ++SourceOffset) {
    for (int Shift = -96; Shift <= 96; ++Shift) {
      for (size_t Length = 0; Length <= 64; ++Length) {
        FillPattern(Actual, kSize);
        FillPattern(Expected, kSize);
        const size_t Source = kSourceBase + SourceOffset;
        const size_t Destination = Source + Shift;
        memmove(Expected + Destination, Expected + Source, Length);
        void *Result = MemoryCopy(Actual + Destination, Actual + Source, Length);
        EXPECT_EQ(Result, Actual + Destination);
        if (memcmp(Actual, Expected, kSize) != 0 && ++Failures <= 5) {
          ADD_FAILURE() << "source offset " << Source << ", destination offset " << Destination
                        << ", length " << Length;
        }
      }
    }
  }
  EXPECT_EQ(Failures, 0u);
  EXPECT_EQ(Seam.ConsoleText(), "");
  EXPECT_EQ(Seam.Breakpoints(), 0u);
}

// The callers' shape: 40 bytes, both multiples of 8, destination one unit above the source.
TEST(MemoryCopy, FortyBytesOneUnitUp_DestinationHoldsOriginalSource) {
  RecordingSeam Seam;
  alignas(8) uint64_t Words[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(MemoryCopy(&Words[1], &Words[0], 40), &Words[1]);
  EXPECT_EQ(Words[0], 1u);
  for (int Index = 1; Index < 6; ++Index) {
    EXPECT_EQ(Words[Index], static_cast<uint64_t>(Index));
  }
}

TEST(MemoryCopy, ZeroLength_NoReportNoAccess) {
  RecordingSeam Seam;
  // Addresses that no copy could touch: a zero-length copy must neither check nor dereference.
  auto *High = reinterpret_cast<void *>(0xFFFFFFFFFFFFFFF0ULL);
  auto *Other = reinterpret_cast<const void *>(0xFFFFFFFFFFFFFF00ULL);
  EXPECT_EQ(MemoryCopy(High, Other, 0), High);
  EXPECT_EQ(Seam.ConsoleText(), "");
  EXPECT_EQ(Seam.Breakpoints(), 0u);
}

TEST(MemoryCopy, EqualAddressesPastTop_BothReportsDestinationFirstThenNothingCopied) {
  RecordingSeam Seam;
  auto *High = reinterpret_cast<void *>(0xFFFFFFFFFFFFFFF0ULL);
  // 0x20 bytes from ...F0 would run past the top; equal addresses return without any access.
  EXPECT_EQ(MemoryCopy(High, High, 0x20), High);
  const auto Lines = SplitLines(Seam.ConsoleText());
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_TRUE(IsReportLine(Lines[0], kFile, kDestinationCheck)) << Lines[0];
  EXPECT_TRUE(IsReportLine(Lines[1], kFile, kSourceCheck)) << Lines[1];
  EXPECT_EQ(Seam.Breakpoints(), 2u);
}

TEST(MemoryCopy, RangeEndingExactlyAtTop_NoReport) {
  RecordingSeam Seam;
  auto *Top = reinterpret_cast<void *>(0xFFFFFFFFFFFFFFF0ULL);
  EXPECT_EQ(MemoryCopy(Top, Top, 0x10), Top);
  EXPECT_EQ(Seam.ConsoleText(), "");
}

TEST(MemoryCopy, OnlySourcePastTop_OnlySourceReport) {
  RecordingSeam Seam;
  // The copy would go on and read the bad source: leave it from the breakpoint.
  Seam.SetBreakpointHook([] { throw BreakpointTaken{}; });
  alignas(8) uint8_t Destination[16] = {};
  auto *Source = reinterpret_cast<const void *>(0xFFFFFFFFFFFFFFF8ULL);
  EXPECT_THROW(MemoryCopy(Destination, Source, 16), BreakpointTaken);
  EXPECT_TRUE(IsReportLine(Seam.ConsoleText(), kFile, kSourceCheck)) << Seam.ConsoleText();
  EXPECT_EQ(Seam.Breakpoints(), 1u);
}

TEST(MemoryCopy, DestinationPastTop_DestinationReport) {
  RecordingSeam Seam;
  Seam.SetBreakpointHook([] { throw BreakpointTaken{}; });
  alignas(8) uint8_t Source[16] = {};
  auto *Destination = reinterpret_cast<void *>(0xFFFFFFFFFFFFFFF8ULL);
  EXPECT_THROW(MemoryCopy(Destination, Source, 16), BreakpointTaken);
  EXPECT_TRUE(IsReportLine(Seam.ConsoleText(), kFile, kDestinationCheck)) << Seam.ConsoleText();
}

}  // namespace
