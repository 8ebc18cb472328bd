// SPDX-License-Identifier: BSD-3-Clause
// The handler's unauthenticated functions end to end: queries, plain flash operations, run-time
// lock-down, seed deployment, the lock of the region-lock command, the seed gate and bad input.
#include "arch/host/HostSeam.h"
#include "console/ConsoleSettings.h"
#include "tests/driver/DriverFixture.h"
#include "tests/support/ReportText.h"

namespace drivertest {
namespace {

using models::FaultMode;
using models::kFwNotSupported;

constexpr uint64_t kUntouched[kRecordWords] = {0, 0x1111, 0x2222, 0x3333, 0x4444, 0x5555};

Record Untouched(uint64_t Function) {
  Record Words;
  memcpy(Words.W, kUntouched, sizeof(Words.W));
  Words.W[0] = Function;
  return Words;
}

void ExpectWords(const models::RequestResult &Result, const Record &Expected) {
  for (uint64_t Word = 0; Word < kRecordWords; ++Word) {
    EXPECT_EQ(Result.Words[Word], Expected.W[Word]) << "word " << Word;
  }
}

using Dispatcher = DriverTest;

TEST_F(Dispatcher, GetInfo_SplitsInfoWordAndClearsWordOne) {
  Platform.Firmware().SetInfoWord(0x0000000200001000);
  const models::RequestResult Result = Send(Untouched(kFunctionGetInfo));
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  ExpectWords(Result, {{kStatusSuccess, 0, 0x1000, 2, kFlashSize, 0x5555}});
  ASSERT_EQ(Calls(), 1u);
  ExpectCallIn(0, {kFlashServiceId, kSubGetInfo});
  EXPECT_EQ(Console(), "");
}

TEST_F(Dispatcher, GetInfo_FailureWritesOnlyWordZero) {
  Platform.Firmware().InjectFault(kSubGetInfo, kFwNotSupported, FaultMode::kOnce);
  Record Expected = Untouched(kStatusFailure);
  const models::RequestResult Result = Send(Untouched(kFunctionGetInfo));
  EXPECT_EQ(Result.Status, EFI_DEVICE_ERROR);
  ExpectWords(Result, Expected);
  EXPECT_EQ(Console(), "SpiNorGetInfo Can't get Varnel Info\r\n");
}

struct QueryCase {
  uint64_t Function;
  const char *FailureLine;
};

constexpr QueryCase kQueries[] = {
    {kFunctionGetNvInfo, "SpiNorGetNVInfo Can't get Varnel NV Info\r\n"},
    {kFunctionGetNv2Info, "SpiNorGetNV2Info Can't get Varnel NV2 Info\r\n"},
    {kFunctionGetFailSafeInfo, "SpiNorGetFailSafeInfo Can't get SPI NOR Failsafe Info\r\n"},
};

TEST_F(Dispatcher, InfoQueries_CopyX1X2OrFailWithTheirLine) {
  for (const QueryCase &Case : kQueries) {
    SCOPED_TRACE(Case.Function);
    Platform.Firmware().ClearLog();
    Platform.ClearConsole();
    Platform.Firmware().SetQueryAnswer(Case.Function, 0xAAAA00000001 + Case.Function,
                                       0xFFFFFFFFFFFFFFF0, 0x77);
    models::RequestResult Result = Send(Untouched(Case.Function));
    EXPECT_EQ(Result.Status, EFI_SUCCESS);
    ExpectWords(Result, {{kStatusSuccess, 0xAAAA00000001 + Case.Function, 0xFFFFFFFFFFFFFFF0,
                          0x3333, 0x4444, 0x5555}});
    ASSERT_EQ(Calls(), 1u);
    ExpectCallIn(0, {kFlashServiceId, Case.Function});
    EXPECT_EQ(Console(), "");

    Platform.Firmware().InjectFault(static_cast<uint32_t>(Case.Function), 1ULL << 63,
                                    FaultMode::kOnce);
    Result = Send(Untouched(Case.Function));
    EXPECT_EQ(Result.Status, EFI_DEVICE_ERROR);
    ExpectWords(Result, Untouched(kStatusFailure));
    EXPECT_EQ(Console(), Case.FailureLine);
  }
}

// Plain flash operations: offsets are window offsets inside boot row 0.
struct FlashCase {
  uint64_t Function;
  uint64_t SubCommand;
  uint64_t FlashOffset;
  uint64_t Length;
  bool UsesBuffer;
  bool Judged;
  const char *FailureLine;
  const char *RefusalLine;
};

constexpr FlashCase kFlashCases[] = {
    {kFunctionRead, kSubRead, 0x1000, 0x10, true, false,
     "SpiNorRead Fail to Read Offset 91A01000 Len 10\r\n", nullptr},
    {kFunctionWrite, kSubWrite, 0x2000, 0x10, true, true,
     "SpiNorWrite Fail to Write Offset 91A02000 Len 10\r\n",
     "SpiNorWrite No write permission Offset 91B80000 - Len 10\r\n"},
    {kFunctionErase, kSubErase, 0x3000, 0x1000, false, true,
     "SpiNorErase Fail to Erase Offset 91A03000 Len 1000\r\n",
     "SpiNorErase No write permission Offset 91B80000 - Len 1000\r\n"},
    {kFunctionRegionLock, kSubRegionLock, 0x4000, 0x1000, false, true,
     "SpiNorRegionLock Fail to Lock region at Offset 91A04000 Len 1000\r\n",
     "SpiNorRegionLock No write permission Offset 91B80000 - Len 1000\r\n"},
};

TEST_F(Dispatcher, PlainFlashOperations_SuccessFailureAndRefusal) {
  memset(Flash(0x1000), 0x5A, 0x10);
  memset(Flash(0x3000), 0x00, 0x1000);
  for (const FlashCase &Case : kFlashCases) {
    SCOPED_TRACE(Case.Function);
    Platform.Firmware().ClearLog();
    Platform.ClearConsole();
    const uint64_t Buffer = kNormalBase + 0x100;
    Record Request = {{Case.Function, kWindow + Case.FlashOffset, Case.Length, Buffer, 4, 5}};

    models::RequestResult Result = Send(Request);
    EXPECT_EQ(Result.Status, EFI_SUCCESS);
    ExpectWords(Result, {{kStatusSuccess, Request.W[1], Request.W[2], Buffer, 4, 5}});
    ASSERT_EQ(Calls(), 1u);
    ExpectCallIn(0, {kFlashServiceId, Case.SubCommand, kWindow + Case.FlashOffset, Case.Length,
                     Case.UsesBuffer ? Buffer : 0});
    EXPECT_EQ(Call(0).Out[0], 0u);
    EXPECT_EQ(Console(), "");

    Platform.Firmware().InjectFault(static_cast<uint32_t>(Case.SubCommand), kFwNotSupported,
                                    FaultMode::kOnce);
    Result = Send(Request);
    EXPECT_EQ(Result.Status, EFI_DEVICE_ERROR);
    EXPECT_EQ(Result.Words[0], kStatusFailure);
    EXPECT_EQ(Console(), Case.FailureLine);

    if (Case.Judged) {
      // Window offset 0x180000 lies in no row of the boot table.
      Platform.ClearConsole();
      const uint64_t Before = Calls();
      Request.W[1] = kWindow + 0x180000;
      Result = Send(Request);
      EXPECT_EQ(Result.Status, EFI_SUCCESS);
      ExpectWords(Result, {{kStatusNoPermission, Request.W[1], Request.W[2], Buffer, 4, 5}});
      EXPECT_EQ(Calls(), Before);
      EXPECT_EQ(Console(), Case.RefusalLine);
    }
  }
  // The effects of the successful operations: the read fills the buffer the write then uses.
  EXPECT_EQ(memcmp(Normal(0x100), Flash(0x1000), 0x10), 0);
  EXPECT_TRUE(FlashIs(0x2000, 0x10, 0x5A));
  EXPECT_TRUE(FlashIs(0x3000, 0x1000, 0xFF));
  EXPECT_EQ(Platform.Flash().LockedRegionCount(), 1u);
  EXPECT_TRUE(FlashIs(0x180000, 0x1000, 0xFF));
}

// A seam that rewrites the record's Offset, Length and Buffer while the firmware works, as a
// normal world on another core could; the console still reaches the platform's UART.
struct RewritingSeam {
  static void Call(void *Context, ServiceArgumentBlock *Block) {
    models::HostPlatform *Platform = static_cast<models::HostPlatform *>(Context);
    uint64_t *Words = reinterpret_cast<uint64_t *>(Platform->CurrentRecord());
    Words[kWordOffset] = kWindow + 0x180000;
    Words[kWordLength] = 0x100000000;
    Words[kWordBuffer] = 0;
    Platform->Firmware().Handle(Block);
  }
  static uint32_t Read32(void *Context, uint64_t Address) {
    return static_cast<models::HostPlatform *>(Context)->Uart().Read32(Address - console::kBase);
  }
  static void Write32(void *Context, uint64_t Address, uint32_t Value) {
    static_cast<models::HostPlatform *>(Context)->Uart().Write32(Address - console::kBase, Value);
  }
  static void Write8(void *Context, uint64_t Address, uint8_t Value) {
    static_cast<models::HostPlatform *>(Context)->Uart().Write8(Address - console::kBase, Value);
  }
};

TEST_F(Dispatcher, PlainRecordWords_AreReadOnce) {
  const HostSeamHooks Hooks = {RewritingSeam::Call,   nullptr,
                               RewritingSeam::Read32, RewritingSeam::Write32,
                               RewritingSeam::Write8, &Platform};
  HostSeamInstall(&Hooks);
  for (const FlashCase &Case : kFlashCases) {
    SCOPED_TRACE(Case.Function);
    Platform.ClearConsole();
    Platform.Firmware().InjectFault(static_cast<uint32_t>(Case.SubCommand), kFwNotSupported,
                                    FaultMode::kOnce);
    const uint64_t Before = Calls();
    const models::RequestResult Result =
        Send({{Case.Function, kWindow + Case.FlashOffset, Case.Length, kNormalBase + 0x100, 0, 0}});
    EXPECT_EQ(Result.Words[0], kStatusFailure);
    EXPECT_EQ(Result.Words[kWordLength], 0x100000000u);  // the normal world's own write
    ASSERT_EQ(Calls(), Before + 1);
    // The failure line shows the values the operation was given, not the rewritten ones.
    EXPECT_EQ(Console(), Case.FailureLine);
  }
  Platform.Install();
}

TEST_F(Dispatcher, Read_IsNeverJudgedByTheTable) {
  memset(Flash(0x180000), 0x42, 8);
  const models::RequestResult Result =
      Send({{kFunctionRead, kWindow + 0x180000, 8, kNormalBase, 0, 0}});
  EXPECT_EQ(Result.Words[0], kStatusSuccess);
  EXPECT_EQ(Normal(0)[7], 0x42);
}

TEST_F(Dispatcher, PositiveX0_IsSuccess) {
  Platform.Firmware().SetSuccessValue(0x7FFFFFFFFFFFFFFF);
  const models::RequestResult Result = Send({{kFunctionLockRegionLock, 0, 0, 0, 0, 0}});
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  EXPECT_EQ(Result.Words[0], kStatusSuccess);
  EXPECT_EQ(Call(0).Out[0], 0x7FFFFFFFFFFFFFFFu);
}

TEST_F(Dispatcher, LengthAbove32Bits_IsRefusedForEveryJudgedOperation) {
  for (uint64_t Function : {kFunctionWrite, kFunctionErase, kFunctionRegionLock}) {
    SCOPED_TRACE(Function);
    Platform.ClearConsole();
    const models::RequestResult Result =
        Send({{Function, kWindow, 0x100000000, kNormalBase, 0, 0}});
    EXPECT_EQ(Result.Status, EFI_SUCCESS);
    EXPECT_EQ(Result.Words[0], kStatusNoPermission);
    EXPECT_NE(Console().find("No write permission Offset 91A00000 - Len 100000000\r\n"),
              std::string::npos);
  }
  EXPECT_EQ(Calls(), 0u);
  // A read is not judged: the firmware gets all 64 bits.
  Send({{kFunctionRead, kWindow, 0x100000001, kNormalBase, 0, 0}});
  ASSERT_EQ(Calls(), 1u);
  EXPECT_EQ(Call(0).In[3], 0x100000001u);
}

TEST_F(Dispatcher, OffsetBelowWindowAndZeroLength) {
  for (uint64_t Offset : {uint64_t{0}, kWindow - 1, kWindow - 0x1000}) {
    EXPECT_EQ(Send({{kFunctionErase, Offset, 0x1000, 0, 0, 0}}).Words[0], kStatusNoPermission);
  }
  EXPECT_EQ(Calls(), 0u);
  // A zero length is allowed where the start lies in a permitted row.
  Send({{kFunctionWrite, kWindow + 0x1000, 0, kNormalBase, 0, 0}});
  ASSERT_EQ(Calls(), 1u);
  ExpectCallIn(0, {kFlashServiceId, kSubWrite, kWindow + 0x1000, 0, kNormalBase});
}

TEST_F(Dispatcher, RunTimeLockDown_SwitchesTablesAndRepeats) {
  const Record Write = {{kFunctionWrite, kWindow + 0x100000, 1, kNormalBase, 0, 0}};
  EXPECT_EQ(Send(Write).Words[0], kStatusSuccess);
  EXPECT_EQ(Calls(), 1u);
  for (int Repeat = 0; Repeat < 2; ++Repeat) {
    const models::RequestResult Result = Send(Untouched(kFunctionRunTimeLockDown));
    EXPECT_EQ(Result.Status, EFI_SUCCESS);
    ExpectWords(Result, Untouched(kStatusSuccess));
  }
  EXPECT_EQ(Calls(), 1u);
  EXPECT_EQ(Send(Write).Words[0], kStatusNoPermission);
  EXPECT_EQ(Calls(), 1u);
  EXPECT_EQ(Console(), "SpiNorWrite No write permission Offset 91B00000 - Len 1\r\n");
}

TEST_F(Dispatcher, SeedDeploy_HandsWordOneOverAndSetsTheGate) {
  models::RequestResult Result = Send(Untouched(kFunctionSeedDeploy));
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  ExpectWords(Result, Untouched(kStatusSuccess));
  ExpectCallIn(0, {kFlashServiceId, kSubSeedDeploy, 0x1111});
  EXPECT_EQ(Platform.Firmware().DeployedSeed(), 0x1111u);
  // Deploying again is forwarded; the secure firmware model refuses a second seed.
  EXPECT_EQ(Send(Untouched(kFunctionSeedDeploy)).Words[0], kStatusFailure);
  EXPECT_EQ(Calls(), 2u);
  EXPECT_EQ(Platform.Firmware().DeployedSeed(), 0x1111u);
}

TEST_F(Dispatcher, SeedDeployFailure_LeavesTheGateOpen) {
  Platform.Firmware().InjectFault(kSubSeedDeploy, kFwNotSupported, FaultMode::kOnce);
  const models::RequestResult Result = Send(Untouched(kFunctionSeedDeploy));
  EXPECT_EQ(Result.Status, EFI_DEVICE_ERROR);
  ExpectWords(Result, Untouched(kStatusFailure));
  EXPECT_EQ(Console(), "SpiNorSeedDeploy Can't Deploy Secure SPI Seed\r\n");
  EXPECT_EQ(Send({{kFunctionLockRegionLock, 0, 0, 0, 0, 0}}).Words[0], kStatusSuccess);
}

TEST_F(Dispatcher, LockRegionLock_SuccessAndFailure) {
  EXPECT_EQ(Send(Untouched(kFunctionLockRegionLock)).Status, EFI_SUCCESS);
  ExpectCallIn(0, {kFlashServiceId, kSubLockRegionLock});
  EXPECT_TRUE(Platform.Flash().RegionLockLocked());
  Platform.Firmware().InjectFault(kSubLockRegionLock, kFwNotSupported, FaultMode::kOnce);
  const models::RequestResult Result = Send(Untouched(kFunctionLockRegionLock));
  EXPECT_EQ(Result.Status, EFI_DEVICE_ERROR);
  ExpectWords(Result, Untouched(kStatusFailure));
  EXPECT_EQ(Console(), "SpiNorLockRegionLock Fail to Lock region lock command\r\n");
}

// Both flags, in every combination and order: the gate refuses silently, the lock-down flag picks
// the table, and the queries, 7 and 8 are always served.
TEST_F(Dispatcher, FlagStates_GateAndTableSelection) {
  struct State {
    bool LockDown;
    bool Seed;
    bool LockDownFirst;
  };
  for (const State &Flags :
       {State{false, false, false}, State{true, false, false}, State{false, true, false},
        State{true, true, false}, State{true, true, true}}) {
    SCOPED_TRACE(testing::Message() << Flags.LockDown << Flags.Seed << Flags.LockDownFirst);
    Platform.Firmware().Reset();  // power cycle: the flash's locks and the seed go
    Start();
    if (Flags.LockDown && Flags.LockDownFirst) Send(Untouched(kFunctionRunTimeLockDown));
    if (Flags.Seed) Send(Untouched(kFunctionSeedDeploy));
    if (Flags.LockDown && !Flags.LockDownFirst) Send(Untouched(kFunctionRunTimeLockDown));
    Platform.Firmware().ClearLog();
    Platform.ClearConsole();

    // In boot row 0 but outside the run-time table.
    const uint64_t Offset = kWindow + 0x100000;
    for (uint64_t Function : {kFunctionRead, kFunctionWrite, kFunctionErase, kFunctionRegionLock,
                              kFunctionLockRegionLock}) {
      const uint64_t Before = Calls();
      const models::RequestResult Result =
          Send({{Function, Offset, Function == kFunctionRead ? 1u : 0x1000u, kNormalBase, 0, 0}});
      if (Flags.Seed) {
        EXPECT_EQ(Result.Status, EFI_DEVICE_ERROR);
        EXPECT_EQ(Result.Words[0], kStatusFailure);
        EXPECT_EQ(Calls(), Before);
      } else if (Flags.LockDown && Function != kFunctionRead &&
                 Function != kFunctionLockRegionLock) {
        EXPECT_EQ(Result.Words[0], kStatusNoPermission);
        EXPECT_EQ(Calls(), Before);
      } else {
        EXPECT_EQ(Result.Words[0], kStatusSuccess);
        EXPECT_EQ(Calls(), Before + 1);
      }
    }
    if (Flags.Seed) {
      EXPECT_EQ(Console(), "");
    }
    for (uint64_t Function :
         {kFunctionGetInfo, kFunctionGetNvInfo, kFunctionGetNv2Info, kFunctionGetFailSafeInfo,
          kFunctionRunTimeLockDown, kFunctionSeedDeploy}) {
      const uint64_t Before = Calls();
      // A second seed reaches the secure firmware, which refuses it.
      const bool Refused = Function == kFunctionSeedDeploy && Flags.Seed;
      EXPECT_EQ(Send(Untouched(Function)).Words[0], Refused ? kStatusFailure : kStatusSuccess)
          << Function;
      EXPECT_EQ(Calls(), Before + (Function == kFunctionRunTimeLockDown ? 0 : 1)) << Function;
    }
  }
}

TEST_F(Dispatcher, FunctionAbove14_IsDeniedAndTheRecordUntouched) {
  for (uint64_t Function : {uint64_t{15}, uint64_t{0x100000000}, uint64_t{0x10000000E},
                            uint64_t{0x8000000000000001}, ~uint64_t{0}}) {
    SCOPED_TRACE(Function);
    Platform.ClearConsole();
    const models::RequestResult Result = Send(Untouched(Function));
    EXPECT_EQ(Result.Status, EFI_ACCESS_DENIED);
    ExpectWords(Result, Untouched(Function));
    EXPECT_EQ(Console(), "VarnelMmiHandler Unsupported function ID\r\n");
  }
  EXPECT_EQ(Calls(), 0u);
}

// Bytes each function reads or writes; below that the record is left alone.
constexpr uint64_t kBytesNeeded[] = {40, 32, 32, 24, 24, 24, 24, 8, 16, 48, 48, 40, 24, 40, 8};

TEST_F(Dispatcher, BufferSizes0To47_NeverTouchBytesBeyondTheSize) {
  for (uint64_t Function = 0; Function <= kHighestFunction + 1; ++Function) {
    for (uint64_t Size = 0; Size < kRecordBytes; ++Size) {
      SCOPED_TRACE(testing::Message() << "function " << Function << " size " << Size);
      Platform.Firmware().ClearLog();
      Platform.ClearConsole();
      // The request lies in the boot table so that it is served when the size allows.
      Record Request = {{Function, kWindow + 0x1000, 0x10, kNormalBase, 0, 0}};
      Platform.Sign(Request.W);
      const models::RequestResult Result = Send(Request, Size);
      EXPECT_EQ(Result.CommBufferSize, Size);
      const bool Known = Size >= 8 && Function <= kHighestFunction;
      if (Known && Size >= kBytesNeeded[Function]) {
        EXPECT_NE(Result.Status, EFI_BAD_BUFFER_SIZE);
        EXPECT_EQ(Result.Words[0] & ~uint64_t{0xFF}, kStatusSuccess);
        continue;
      }
      if (Size >= 8 && !Known) {
        EXPECT_EQ(Result.Status, EFI_ACCESS_DENIED);
      } else {
        EXPECT_EQ(Result.Status, EFI_BAD_BUFFER_SIZE);
        EXPECT_EQ(Console(),
                  "VarnelMmiHandler Buffer too small, CommBufferSize 0x" +
                      (testing::Message() << std::hex << std::uppercase << Size).GetString() +
                      "\r\n");
      }
      EXPECT_EQ(memcmp(Result.Words, Request.W, Size), 0);
      EXPECT_EQ(Calls(), 0u);
      EXPECT_EQ(Platform.Core().LiveAllocationCount(), 0u);
    }
  }
}

TEST_F(Dispatcher, NullArguments_ReportAndReturnInvalidParameter) {
  uint64_t Words[kRecordWords] = {kFunctionRunTimeLockDown};
  uint64_t Size = kRecordBytes;
  EXPECT_EQ(VarnelMmiHandler(nullptr, nullptr, nullptr, &Size), EFI_INVALID_PARAMETER);
  EXPECT_EQ(VarnelMmiHandler(nullptr, nullptr, Words, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(VarnelMmiHandler(nullptr, nullptr, nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Words[0], kFunctionRunTimeLockDown);
  EXPECT_EQ(Size, kRecordBytes);
  const std::vector<std::string> Lines = testsupport::SplitLines(Console());
  const char *const kExpected[] = {"CommBuffer", "CommBufferSize", "CommBuffer", "CommBufferSize"};
  ASSERT_EQ(Lines.size(), 4u);
  for (size_t Line = 0; Line < Lines.size(); ++Line) {
    EXPECT_TRUE(
        testsupport::IsReportLine(Lines[Line], "src/driver/Dispatcher.cpp", kExpected[Line]))
        << Lines[Line];
  }
  EXPECT_EQ(Platform.BreakpointCount(), 4u);
  EXPECT_EQ(Calls(), 0u);
}

}  // namespace
}  // namespace drivertest
