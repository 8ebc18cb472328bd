// SPDX-License-Identifier: BSD-3-Clause
// The secure-service operations one by one, on a scripted seam: the registers each loads, the
// result rule, the out-values, and the info-level entry and register lines they log. Also the
// info-level lines of the handler's frame and of start-up.
#include <gtest/gtest.h>

#include <cstdio>

#include "driver/SecureService.h"
#include "driver/VarnelMmInternal.h"
#include "models/HostPlatform.h"
#include "tests/driver/RecordingLog.h"
#include "tests/support/RecordingSeam.h"

namespace drivertest {
namespace {

using namespace varnel;

std::vector<std::string> InfoLines() {
  std::vector<std::string> Lines;
  for (const LoggedLine &Line : RecordedLines()) {
    EXPECT_EQ(Line.Level, kLevelInfo) << Line.Text;
    Lines.push_back(Line.Text);
  }
  RecordedLines().clear();
  return Lines;
}

void ExpectBlock(const ServiceArgumentBlock &In, std::initializer_list<uint64_t> Words) {
  uint64_t Expected[8] = {};
  uint64_t Slot = 0;
  for (uint64_t Word : Words) Expected[Slot++] = Word;
  for (uint64_t Word = 0; Word < 8; ++Word) {
    EXPECT_EQ(In.Word[Word], Expected[Word]) << "x" << Word;
  }
}

class SecureService : public ::testing::Test {
 protected:
  void SetUp() override { RecordedLines().clear(); }
  testsupport::RecordingSeam Seam;
};

TEST_F(SecureService, GetInfo_SplitsX2AndLogsFourValues) {
  Seam.QueueSecureAnswer(0, 0x11, 0x0000000200001000, 0x2000000);
  uint64_t Low = 0, High = 0, Size = 0;
  EXPECT_EQ(SpiNorMmGetInfo(&Low, &High, &Size), EFI_SUCCESS);
  EXPECT_EQ(Low, 0x1000u);
  EXPECT_EQ(High, 2u);
  EXPECT_EQ(Size, 0x2000000u);
  ASSERT_EQ(Seam.SecureCalls().size(), 1u);
  ExpectBlock(Seam.SecureCalls()[0].In, {kFlashServiceId, kSubGetInfo});
  EXPECT_EQ(InfoLines(),
            (std::vector<std::string>{"SpiNorMmGetInfo\r\n", "x0 0 x1 11 x2 1000 x3 2000000\r\n"}));

  Seam.QueueSecureAnswer(0, 0, 0xFFFFFFFF00000000, 0);
  EXPECT_EQ(SpiNorMmGetInfo(&Low, &High, &Size), EFI_SUCCESS);
  EXPECT_EQ(Low, 0u);
  EXPECT_EQ(High, 0xFFFFFFFFu);
}

TEST_F(SecureService, Failure_OnlyWhenX0IsNegativeAndOutValuesStay) {
  for (uint64_t X0 : {uint64_t{1} << 63, ~uint64_t{0}}) {
    Seam.QueueSecureAnswer(X0, 1, 2, 3);
    uint64_t Low = 7, High = 8, Size = 9;
    EXPECT_EQ(SpiNorMmGetInfo(&Low, &High, &Size), EFI_DEVICE_ERROR);
    EXPECT_EQ(Low + High + Size, 24u);
    uint64_t Value1 = 7, Value2 = 8;
    Seam.QueueSecureAnswer(X0, 1, 2, 3);
    EXPECT_EQ(SpiNorMmGetNV2Info(&Value1, &Value2), EFI_DEVICE_ERROR);
    EXPECT_EQ(Value1 + Value2, 15u);
  }
  for (uint64_t X0 : {uint64_t{1}, uint64_t{0x7FFFFFFFFFFFFFFF}}) {
    Seam.QueueSecureAnswer(X0);
    EXPECT_EQ(SpiNorMmLockRegionLock(), EFI_SUCCESS);
  }
  Seam.QueueSecureAnswer(1ULL << 63, 0x123456789);
  EXPECT_EQ(SpiNorMmErase(1, 2, false), EFI_DEVICE_ERROR);
  const std::vector<std::string> Lines = InfoLines();
  EXPECT_EQ(Lines.front(), "SpiNorMmGetInfo\r\n");
  EXPECT_EQ(Lines[1], "x0 0 x1 1 x2 2 x3 3\r\n");  // %x shows the low 32 bits
  EXPECT_EQ(Lines.back(), "x0 8000000000000000 x1 123456789\r\n");
}

// Operations with offset, length and buffer: the secure flag picks the second sub-command.
TEST_F(SecureService, FlashOperations_LoadTheirRegistersAndLogBothLines) {
  struct Case {
    EFI_STATUS (*Issue)(bool Secure);
    uint64_t Plain;
    uint64_t SecureSub;
    bool Buffer;
    const char *Entry;
  };
  static constexpr uint64_t kOffset = 0x123456789;
  static constexpr uint64_t kLength = 0x10;
  static constexpr uint64_t kBuffer = 0xFFFF000080000000;
  const Case Cases[] = {
      {[](bool S) { return SpiNorMmRead(kOffset, kLength, kBuffer, S); }, kSubRead, kSubSecureRead,
       true, "SpiNorMmRead 123456789 00000010 FFFF000080000000\r\n"},
      {[](bool S) { return SpiNorMmWrite(kOffset, kLength, kBuffer, S); }, kSubWrite,
       kSubSecureWrite, true, "SpiNorMmWrite 123456789 00000010 FFFF000080000000\r\n"},
      {[](bool S) { return SpiNorMmErase(kOffset, kLength, S); }, kSubErase, kSubSecureErase, false,
       "SpiNorMmErase 123456789 00000010\r\n"},
      {[](bool S) { return SpiNorMmRegionLock(kOffset, kLength, S); }, kSubRegionLock,
       kSubSecureRegionLock, false, "SpiNorMmRegionLock 123456789 00000010\r\n"},
  };
  for (const Case &Each : Cases) {
    for (bool Secure : {false, true}) {
      SCOPED_TRACE(testing::Message() << Each.Entry << Secure);
      const uint64_t Sub = Secure ? Each.SecureSub : Each.Plain;
      Seam.QueueSecureAnswer(0, 0xABCDEF0123);
      EXPECT_EQ(Each.Issue(Secure), EFI_SUCCESS);
      ExpectBlock(Seam.SecureCalls().back().In,
                  {kFlashServiceId, Sub, kOffset, kLength, Each.Buffer ? kBuffer : 0});
      EXPECT_EQ(InfoLines(), (std::vector<std::string>{Each.Entry, "x0 0 x1 ABCDEF0123\r\n"}));
    }
  }
}

TEST_F(SecureService, Queries_HandBackX1AndX2) {
  struct Case {
    EFI_STATUS (*Issue)(uint64_t *, uint64_t *);
    uint64_t Sub;
    const char *Entry;
    const char *Registers;
  };
  const Case Cases[] = {
      {SpiNorMmGetNVInfo, kSubGetNvInfo, "SpiNorMmGetNVInfo\r\n",
       "x0 0 x1 CCCCDDDD x2 1234 x3 5678 x4 0\r\n"},
      {SpiNorMmGetNV2Info, kSubGetNv2Info, "SpiNorMmGetNV2Info\r\n",
       "x0 0 x1 CCCCDDDD x2 1234\r\n"},
      {SpiNorMmGetFailSafeInfo, kSubGetFailSafeInfo, "SpiNorMmGetFailSafeInfo\r\n",
       "x0 0 x1 CCCCDDDD x2 1234\r\n"},
  };
  for (const Case &Each : Cases) {
    SCOPED_TRACE(Each.Entry);
    Seam.QueueSecureAnswer(0, 0xAAAABBBBCCCCDDDD, 0x100001234, 0x5678);
    uint64_t Value1 = 0, Value2 = 0;
    EXPECT_EQ(Each.Issue(&Value1, &Value2), EFI_SUCCESS);
    EXPECT_EQ(Value1, 0xAAAABBBBCCCCDDDDu);
    EXPECT_EQ(Value2, 0x100001234u);
    ExpectBlock(Seam.SecureCalls().back().In, {kFlashServiceId, Each.Sub});
    EXPECT_EQ(InfoLines(), (std::vector<std::string>{Each.Entry, Each.Registers}));
  }
}

TEST_F(SecureService, AuthenticateSeedAndLockRegionLock) {
  Seam.QueueSecureAnswer(0, 7, 0xE000000010, 0x28);
  EXPECT_EQ(SpiNorMmReqAuthenticate(0xE000000010, 0x28, 0x1122334455667788), EFI_SUCCESS);
  ExpectBlock(Seam.SecureCalls().back().In,
              {kFlashServiceId, kSubAuthenticate, 0xE000000010, 0x28, 0x1122334455667788});
  Seam.QueueSecureAnswer(0, 8, 0x5EED, 0);
  EXPECT_EQ(SpiNorMmSeedDeploy(0xFEEDFACE5EED), EFI_SUCCESS);
  ExpectBlock(Seam.SecureCalls().back().In, {kFlashServiceId, kSubSeedDeploy, 0xFEEDFACE5EED});
  Seam.QueueSecureAnswer(0, 14);
  EXPECT_EQ(SpiNorMmLockRegionLock(), EFI_SUCCESS);
  ExpectBlock(Seam.SecureCalls().back().In, {kFlashServiceId, kSubLockRegionLock});
  EXPECT_EQ(InfoLines(),
            (std::vector<std::string>{"SpiNorMmReqAuthenticate\r\n", "x0 0 x1 7 x2 10 x3 28\r\n",
                                      "SpiNorMmSeedDeploy\r\n", "x0 0 x1 8 x2 5EED x3 0\r\n",
                                      "SpiNorMmLockRegionLock\r\n", "x0 0 x1 E\r\n"}));
}

TEST_F(SecureService, TranslateAddress_ReturnsX1OrZeroAndLogsNothing) {
  Seam.QueueSecureAnswer(0, 0);
  EXPECT_EQ(SpiNorTranslateAddress(0x4000), 0u);
  ExpectBlock(Seam.SecureCalls().back().In, {kTranslateAddressId, 0, 0x4000});
  Seam.QueueSecureAnswer(5, 0xE000004000);
  EXPECT_EQ(SpiNorTranslateAddress(0x4000), 0xE000004000u);
  Seam.QueueSecureAnswer(~uint64_t{0}, 0xE000004000);
  EXPECT_EQ(SpiNorTranslateAddress(0x4000), 0u);
  EXPECT_TRUE(RecordedLines().empty());
}

// The info lines of start-up and of the handler's frame, which the console never shows.
TEST(InfoLines, StartAndFrameOfAPlainRead) {
  models::HostPlatformOptions Options;
  Options.FlashSize = 0x2000000;
  Options.NormalWorldBase = 0x80000000;
  Options.NormalWorldSize = 0x1000;
  Options.CurrentlyExecutingCpu = 3;
  models::HostPlatform Platform(Options);
  Platform.Firmware().SetInfoWord(0x500000006);
  RecordedLines().clear();
  ASSERT_EQ(Platform.StartDriver(), EFI_SUCCESS);
  EXPECT_EQ(InfoLines(), (std::vector<std::string>{"VarnelMmInit\r\n", "SpiNorMmGetInfo\r\n",
                                                   "x0 0 x1 0 x2 6 x3 2000000\r\n"}));

  const uint64_t Read[kRecordWords] = {kFunctionRead, 0x91A01000, 0x10, 0x80000000};
  EXPECT_EQ(Platform.Request(Read).Words[0], kStatusSuccess);
  const std::vector<std::string> Lines = InfoLines();
  ASSERT_EQ(Lines.size(), 4u);
  EXPECT_EQ(Lines[0], "VarnelMmiHandler CPU3\r\n");
  EXPECT_EQ(Lines[1].rfind("CommBuffer - 0x", 0), 0u);
  EXPECT_TRUE(Lines[1].ends_with(", CommBufferSize - 0x30\r\n"));
  EXPECT_EQ(Lines[2], "SpiNorMmRead 91A01000 00000010 80000000\r\n");
  char Registers[64];
  snprintf(Registers, sizeof(Registers), "x0 0 x1 %llX\r\n",
           static_cast<unsigned long long>(Platform.Firmware().LastCall()->Out[1]));
  EXPECT_EQ(Lines[3], Registers);

  const uint64_t Lock[kRecordWords] = {kFunctionRunTimeLockDown};
  Platform.Request(Lock, 8);
  const std::vector<std::string> LockLines = InfoLines();
  ASSERT_EQ(LockLines.size(), 3u);
  EXPECT_TRUE(LockLines[1].ends_with(", CommBufferSize - 0x8\r\n"));
  EXPECT_EQ(LockLines[2].rfind("SpiNorRunTimeLockDown ", 0), 0u);
}

}  // namespace
}  // namespace drivertest
