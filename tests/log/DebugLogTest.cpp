// SPDX-License-Identifier: BSD-3-Clause
// Debug log: level filter, the 255-character cut, assertion reports with their breakpoint, and the
// status assertions, all observed as console bytes.
#include "log/DebugLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/RecordingSeam.h"
#include "tests/support/ReportText.h"

namespace {

using models::Pl011Model;
using testsupport::IsReportLine;
using testsupport::RecordingSeam;

constexpr char kThisFile[] = "tests/log/DebugLogTest.cpp";

TEST(DebugLog, SwitchQueries_AllTrue) {
  EXPECT_TRUE(LogPrintEnabled());
  EXPECT_TRUE(AssertChecksEnabled());
  for (uint64_t Level : {0ULL, 0x40ULL, 0x80000000ULL, ~0ULL}) {
    EXPECT_TRUE(LogLevelEnabled(Level)) << Level;
  }
}

struct LevelCase {
  uint64_t Level;
  bool Sent;
};

class DebugLogLevel : public testing::TestWithParam<LevelCase> {};

TEST_P(DebugLogLevel, SentExactlyWhenSharingABitWithTheMask) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  LogPrint(GetParam().Level, "lvl %d\n", 7);
  EXPECT_EQ(Seam.ConsoleText(), GetParam().Sent ? "lvl 7\r\n" : "");
  if (!GetParam().Sent) {
    // A filtered message costs no device access at all.
    EXPECT_TRUE(Seam.ConsoleTrace().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, DebugLogLevel,
    testing::Values(LevelCase{0x40, false}, LevelCase{0x80000000, true}, LevelCase{0x2, true},
                    LevelCase{0x42, true}, LevelCase{0x0, false}, LevelCase{0x1, true},
                    LevelCase{0x4, true}, LevelCase{0x8, false}, LevelCase{0x7FFFFFF8, false},
                    LevelCase{0x100000000ULL, false}, LevelCase{0xFFFFFFFF00000000ULL, false},
                    LevelCase{0x180000000ULL, true}));

TEST(DebugLog, GuardedMacro_RendersArguments) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  VARNEL_LOG(kLevelError, "%a Fail to Read Offset %llx Len %llx\n", "SpiNorRead", 0x1000ULL,
             0x200ULL);
  VARNEL_LOG(kLevelInfo, "never %a\n", "shown");
  VARNEL_LOG(kLevelWarning, "w%x", 0xABCU);
  EXPECT_EQ(Seam.ConsoleText(), "SpiNorRead Fail to Read Offset 1000 Len 200\r\nwABC");
}

TEST(DebugLog, LongMessage_CutAt255Characters) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  const std::string Long(300, 'x');
  LogPrint(kLevelError, "%a\n", Long.c_str());
  EXPECT_EQ(Seam.ConsoleText(), std::string(255, 'x'));
}

TEST(DebugLog, LineEndAtCut_OnlyCarriageReturnSent) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  const std::string Text(254, 'y');
  LogPrint(kLevelWarning, "%a\n", Text.c_str());
  EXPECT_EQ(Seam.ConsoleText(), Text + "\r");
}

TEST(DebugLog, EmptyMessage_TouchesNoRegister) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  LogPrint(kLevelError, "");
  LogPrint(kLevelError, "%a", "");
  EXPECT_TRUE(Seam.ConsoleTrace().empty());
}

TEST(DebugLog, RefusedRender_SendsOnlyTheEnginesReport) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  // A format one character over the limit is refused by the engine, which reports it; the
  // message itself then sends nothing.
  const std::string Format(1000001, 'z');
  LogPrint(kLevelError, Format.c_str());
  const std::string Text = Seam.ConsoleText();
  EXPECT_EQ(Text.rfind("ASSERT [VarnelMm] src/print/", 0), 0u) << Text;
  EXPECT_EQ(Text.find('z'), std::string::npos);
  EXPECT_EQ(Seam.Breakpoints(), 1u);
}

TEST(AssertReport, ReportLine_ThenOneBreakpoint) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  std::vector<std::string> Events;
  Seam.SetBreakpointHook([&] { Events.push_back("breakpoint after: " + Seam.ConsoleText()); });
  AssertReport("src/driver/VarnelMm.cpp", 1234, "CommBuffer != NULL");
  const std::string Line =
      "ASSERT [VarnelMm] src/driver/VarnelMm.cpp(1234): CommBuffer != NULL\r\n";
  EXPECT_EQ(Seam.ConsoleText(), Line);
  EXPECT_EQ(Events, std::vector<std::string>{"breakpoint after: " + Line});
}

TEST(AssertReport, LongDescription_CutAt255Characters) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  const std::string Description(300, 'd');
  AssertReport("f.c", 1, Description.c_str());
  const std::string Head = "ASSERT [VarnelMm] f.c(1): ";
  EXPECT_EQ(Seam.ConsoleText(), Head + std::string(255 - Head.size(), 'd'));
  EXPECT_EQ(Seam.Breakpoints(), 1u);
}

TEST(AssertReport, FailedCheck_ContinuesWithNextStatement) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  std::vector<std::string> Events;
  Seam.SetBreakpointHook([&] { Events.push_back("breakpoint"); });
  const int Line = __LINE__ + 1;
  VARNEL_ASSERT((1 + 1) == 3);  // the report's text is the condition, as written
  Events.push_back("next statement");
  VARNEL_ASSERT(1 + 1 == 2);
  VARNEL_ASSERT_TEXT(1 + 1 == 5, "Sum == 5");  // a text of its own
  EXPECT_EQ(Events, (std::vector<std::string>{"breakpoint", "next statement", "breakpoint"}));
  EXPECT_EQ(Seam.ConsoleText(), "ASSERT [VarnelMm] " + std::string(kThisFile) + "(" +
                                    std::to_string(Line) + "): (1 + 1) == 3\r\n" +
                                    "ASSERT [VarnelMm] " + std::string(kThisFile) + "(" +
                                    std::to_string(Line + 3) + "): Sum == 5\r\n");
}

TEST(StatusAssertion, SuccessOrWarning_Silent) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  for (EFI_STATUS Status : {0ULL, 1ULL, 6ULL, 0x7FFFFFFFFFFFFFFFULL}) {
    ASSERT_EFI_ERROR(Status);
    ASSERT_RETURN_ERROR(Status);
  }
  EXPECT_EQ(Seam.ConsoleText(), "");
  EXPECT_EQ(Seam.Breakpoints(), 0u);
}

TEST(StatusAssertion, EfiErrorForm_LineThenReport) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  const int Line = __LINE__ + 1;
  ASSERT_EFI_ERROR(EFI_DEVICE_ERROR);
  EXPECT_EQ(Seam.ConsoleText(),
            "\r\nASSERT_EFI_ERROR (Status = Device Error)\r\nASSERT [VarnelMm] " +
                std::string(kThisFile) + "(" + std::to_string(Line) + "): !EFI_ERROR (Status)\r\n");
  EXPECT_EQ(Seam.Breakpoints(), 1u);
}

TEST(StatusAssertion, ReturnErrorForm_LineThenReport) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  ASSERT_RETURN_ERROR(EFI_OUT_OF_RESOURCES);
  const std::string Text = Seam.ConsoleText();
  const std::string Head = "\r\nASSERT_RETURN_ERROR (Status = Out of Resources)\r\n";
  ASSERT_EQ(Text.compare(0, Head.size(), Head), 0) << Text;
  EXPECT_TRUE(IsReportLine(Text.substr(Head.size()), kThisFile, "!RETURN_ERROR (Status)")) << Text;
  EXPECT_EQ(Seam.Breakpoints(), 1u);
}

}  // namespace
