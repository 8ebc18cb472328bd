// SPDX-License-Identifier: BSD-3-Clause
// Register access, unaligned read and string length: results, the single device access, and the
// assertion reports of their checks.
#include <gtest/gtest.h>

#include <string>

#include "base/MemoryStringRegister.h"
#include "tests/support/RecordingSeam.h"
#include "tests/support/ReportText.h"

namespace {

using models::Pl011AccessKind;
using testsupport::BreakpointTaken;
using testsupport::IsReportLine;
using testsupport::RawAccess;
using testsupport::RecordingSeam;
using testsupport::SplitLines;

constexpr uint64_t kDevice = 0x40000000;  // outside the console window: raw accesses are recorded

TEST(RegisterAccess, AlignedRead_OneLoadNoReport) {
  RecordingSeam Seam;
  Seam.ScriptRawRead(0xCAFEF00D);
  EXPECT_EQ(RegisterRead32(kDevice + 0x10), 0xCAFEF00Du);
  EXPECT_EQ(Seam.RawAccesses(),
            (std::vector<RawAccess>{{Pl011AccessKind::Read, 32, kDevice + 0x10, 0xCAFEF00D}}));
  EXPECT_EQ(Seam.ConsoleText(), "");
  EXPECT_EQ(Seam.Breakpoints(), 0u);
}

TEST(RegisterAccess, AlignedWrite_OneStoreReturnsValue) {
  RecordingSeam Seam;
  EXPECT_EQ(RegisterWrite32(kDevice + 0x24, 0x12345678), 0x12345678u);
  EXPECT_EQ(Seam.RawAccesses(),
            (std::vector<RawAccess>{{Pl011AccessKind::Write, 32, kDevice + 0x24, 0x12345678}}));
  EXPECT_EQ(Seam.ConsoleText(), "");
}

TEST(RegisterAccess, MisalignedAddress_ReportsThenStillAccesses) {
  for (uint64_t Misalignment : {1, 2, 3}) {
    RecordingSeam Seam;
    Seam.ScriptRawRead(7);
    EXPECT_EQ(RegisterRead32(kDevice + Misalignment), 7u);
    EXPECT_EQ(RegisterWrite32(kDevice + Misalignment, 9), 9u);
    const auto Lines = SplitLines(Seam.ConsoleText());
    ASSERT_EQ(Lines.size(), 2u);
    for (const auto &Line : Lines) {
      EXPECT_TRUE(IsReportLine(Line, "src/base/RegisterAccess.cpp", "(Address & 3) == 0")) << Line;
    }
    EXPECT_EQ(Seam.Breakpoints(), 2u);
    EXPECT_EQ(Seam.RawAccesses(),
              (std::vector<RawAccess>{{Pl011AccessKind::Read, 32, kDevice + Misalignment, 7},
                                      {Pl011AccessKind::Write, 32, kDevice + Misalignment, 9}}));
  }
}

TEST(UnalignedRead16, AnyOffset_LittleEndianOfTwoBytes) {
  RecordingSeam Seam;
  alignas(16) uint8_t Bytes[20] = {};
  for (int Offset = 0; Offset < 16; ++Offset) {
    Bytes[Offset] = 0x34;
    Bytes[Offset + 1] = 0x12;
    EXPECT_EQ(UnalignedRead16(Bytes + Offset), 0x1234) << "offset " << Offset;
    Bytes[Offset] = 0xFF;
    Bytes[Offset + 1] = 0x80;
    EXPECT_EQ(UnalignedRead16(Bytes + Offset), 0x80FF) << "offset " << Offset;
    Bytes[Offset] = Bytes[Offset + 1] = 0;
  }
  EXPECT_EQ(Seam.ConsoleText(), "");
}

TEST(UnalignedRead16, NullBuffer_Reports) {
  RecordingSeam Seam;
  // The routine would go on and read address 0: leave it from the breakpoint.
  Seam.SetBreakpointHook([] { throw BreakpointTaken{}; });
  EXPECT_THROW(UnalignedRead16(nullptr), BreakpointTaken);
  EXPECT_TRUE(
      IsReportLine(Seam.ConsoleText(), "src/base/UnalignedRead.cpp", "Buffer != ((void *) 0)"))
      << Seam.ConsoleText();
  EXPECT_EQ(Seam.Breakpoints(), 1u);
}

TEST(AsciiStringLength, UpToLimit_FullLengthNoReport) {
  RecordingSeam Seam;
  EXPECT_EQ(AsciiStringLength(""), 0u);
  EXPECT_EQ(AsciiStringLength("abc"), 3u);
  const std::string AtLimit(1000000, 'a');
  EXPECT_EQ(AsciiStringLength(AtLimit.c_str()), 1000000u);
  EXPECT_EQ(Seam.ConsoleText(), "");
  EXPECT_EQ(Seam.Breakpoints(), 0u);
}

TEST(AsciiStringLength, BeyondLimit_OneReportPerExtraCharacterAndFullLength) {
  for (uint64_t Extra : {1, 2, 5}) {
    RecordingSeam Seam;
    const std::string Long(1000000 + Extra, 'b');
    EXPECT_EQ(AsciiStringLength(Long.c_str()), 1000000 + Extra);
    const auto Lines = SplitLines(Seam.ConsoleText());
    ASSERT_EQ(Lines.size(), Extra);
    for (const auto &Line : Lines) {
      EXPECT_TRUE(IsReportLine(Line, "src/base/StringLength.cpp", "Length < MaxAsciiStringLength"))
          << Line;
    }
    EXPECT_EQ(Seam.Breakpoints(), Extra);
  }
}

}  // namespace
