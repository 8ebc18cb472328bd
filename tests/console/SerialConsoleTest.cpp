// SPDX-License-Identifier: BSD-3-Clause
// Serial console: register traces of the bring-up from each starting state, and of transmission.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/SerialConsole.h"
#include "models/Pl011Model.h"
#include "tests/support/RecordingSeam.h"

namespace {

using models::Pl011Access;
using models::Pl011Model;
using models::Pl011Registers;
using testsupport::RecordingSeam;
using testsupport::UartRead;
using testsupport::UartWrite;
using testsupport::UartWriteByte;

constexpr uint32_t kCr = pl011::kCr;
constexpr uint32_t kLcrH = pl011::kLcrH;
constexpr uint32_t kIbrd = pl011::kIbrd;
constexpr uint32_t kFbrd = pl011::kFbrd;
constexpr uint32_t kFr = pl011::kFr;
constexpr uint32_t kEcr = pl011::kRsrEcr;
constexpr uint32_t kFlagsIdle = 0x90;      // TXFE | RXFE
constexpr uint32_t kFlagsDraining = 0x18;  // BUSY | RXFE, TXFE clear
constexpr uint32_t kFlagsFull = 0x38;      // TXFF | BUSY | RXFE

// The six writes of a full reprogramming, in their required order.
const std::vector<Pl011Access> kProgramming = {UartWrite(kCr, 0),   UartWrite(kIbrd, 1),
                                               UartWrite(kFbrd, 0), UartWrite(kLcrH, 0x70),
                                               UartWrite(kEcr, 0),  UartWrite(kCr, 0x301)};

std::vector<Pl011Access> Concat(std::vector<Pl011Access> Head,
                                const std::vector<Pl011Access> &Tail) {
  Head.insert(Head.end(), Tail.begin(), Tail.end());
  return Head;
}

struct BringUpCase {
  const char *Name;
  Pl011Registers Start;
  uint32_t TxfeHeldClear;             // polls during which TXFE reads clear
  std::vector<Pl011Access> Expected;  // whole trace
};

class SerialConsoleBringUp : public testing::TestWithParam<BringUpCase> {};

TEST_P(SerialConsoleBringUp, Trace_MatchesExactly) {
  const BringUpCase &Case = GetParam();
  RecordingSeam Seam(Case.Start);
  Seam.Console().HoldTransmitNotEmpty(Case.TxfeHeldClear);
  EXPECT_EQ(SerialConsoleInit(), 0u);
  EXPECT_EQ(Seam.ConsoleTrace(), Case.Expected);
  // Whatever the starting state, the device ends up with the console settings.
  const Pl011Registers End = Seam.Console().Registers();
  const bool Reprogrammed = Case.Expected.size() > 4;
  EXPECT_EQ(End.LcrH, 0x70u);
  EXPECT_EQ(End.Ibrd, 1u);
  EXPECT_EQ(End.Fbrd, 0u);
  EXPECT_EQ(End.Cr & 1, 1u);
  if (Reprogrammed) {
    EXPECT_EQ(End.Cr, 0x301u);
    EXPECT_EQ(Seam.Console().LatchedIbrd(), 1u);
    EXPECT_EQ(Seam.Console().LatchedFbrd(), 0u);
  }
  EXPECT_EQ(Seam.ConsoleText(), "");
}

std::vector<Pl011Access> Reprogram(std::vector<Pl011Access> Checks, uint32_t DrainPolls = 0) {
  for (uint32_t Poll = 0; Poll < DrainPolls; ++Poll) {
    Checks.push_back(UartRead(kFr, kFlagsDraining));
  }
  Checks.push_back(UartRead(kFr, kFlagsIdle));
  return Concat(Checks, kProgramming);
}

INSTANTIATE_TEST_SUITE_P(
    StartingStates, SerialConsoleBringUp,
    testing::Values(
        BringUpCase{
            "Configured",
            {0x301, 0x70, 1, 0, 0},
            0,
            {UartRead(kCr, 0x301), UartRead(kLcrH, 0x70), UartRead(kIbrd, 1), UartRead(kFbrd, 0)}},
        // Only UARTEN counts: TXE and RXE clear still count as configured.
        BringUpCase{
            "EnabledWithoutTxRx",
            {0x001, 0x70, 1, 0, 0},
            0,
            {UartRead(kCr, 0x001), UartRead(kLcrH, 0x70), UartRead(kIbrd, 1), UartRead(kFbrd, 0)}},
        BringUpCase{"Reset", Pl011Model::kResetState, 0, Reprogram({UartRead(kCr, 0x300)})},
        BringUpCase{"UartenClearRestMatching",
                    {0x300, 0x70, 1, 0, 0},
                    0,
                    Reprogram({UartRead(kCr, 0x300)})},
        BringUpCase{"ParityEnabled",
                    {0x301, 0x72, 1, 0, 0},
                    0,
                    Reprogram({UartRead(kCr, 0x301), UartRead(kLcrH, 0x72)})},
        BringUpCase{
            "IntegerDivisorMismatch",
            {0x301, 0x70, 0x1A, 0, 0},
            0,
            Reprogram({UartRead(kCr, 0x301), UartRead(kLcrH, 0x70), UartRead(kIbrd, 0x1A)})},
        BringUpCase{"FractionalDivisorNonzero",
                    {0x301, 0x70, 1, 3, 0},
                    0,
                    Reprogram({UartRead(kCr, 0x301), UartRead(kLcrH, 0x70), UartRead(kIbrd, 1),
                               UartRead(kFbrd, 3)})},
        BringUpCase{"StillDraining",
                    {0x301, 0x70, 1, 3, 0},
                    3,
                    Reprogram({UartRead(kCr, 0x301), UartRead(kLcrH, 0x70), UartRead(kIbrd, 1),
                               UartRead(kFbrd, 3)},
                              3)}),
    [](const testing::TestParamInfo<BringUpCase> &Info) { return std::string(Info.param.Name); });

TEST(SerialConsoleWrite, TransmitFifoFull_WaitsThenSendsEachByteOnce) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  Seam.Console().HoldTransmitFull(3);
  const uint8_t Bytes[] = {'a', 'b', 'c'};
  SerialConsoleWrite(Bytes, 3);
  EXPECT_EQ(Seam.ConsoleTrace(),
            (std::vector<Pl011Access>{
                UartRead(kFr, kFlagsFull), UartRead(kFr, kFlagsFull), UartRead(kFr, kFlagsFull),
                UartRead(kFr, kFlagsIdle), UartWriteByte('a'), UartRead(kFr, kFlagsIdle),
                UartWriteByte('b'), UartRead(kFr, kFlagsIdle), UartWriteByte('c')}));
  EXPECT_EQ(Seam.ConsoleText(), "abc");
}

TEST(SerialConsoleWrite, ZeroCount_TouchesNoRegister) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  SerialConsoleWrite(nullptr, 0);
  EXPECT_TRUE(Seam.ConsoleTrace().empty());
}

TEST(SerialConsoleWrite, EveryByteValue_SentUnchanged) {
  RecordingSeam Seam(Pl011Model::kConsoleState);
  uint8_t Bytes[256];
  for (int Value = 0; Value < 256; ++Value) {
    Bytes[Value] = static_cast<uint8_t>(Value);
  }
  SerialConsoleWrite(Bytes, sizeof(Bytes));
  const std::string Text = Seam.ConsoleText();
  ASSERT_EQ(Text.size(), 256u);
  for (int Value = 0; Value < 256; ++Value) {
    EXPECT_EQ(static_cast<uint8_t>(Text[Value]), Value);
  }
  // One flag read per byte when the FIFO has room.
  EXPECT_EQ(Seam.Console().FlagReads(), 256u);
  EXPECT_EQ(Seam.Console().BytesWhileDisabled(), 0u);
}

}  // namespace
