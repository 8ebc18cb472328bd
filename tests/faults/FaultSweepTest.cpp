// SPDX-License-Identifier: BSD-3-Clause
// Fault-injection sweep on the host platform: for every function, each secure call it makes, the
// staging allocation and its release fail in turn (and nothing fails, as the baseline). Each case
// checks the whole answer: UEFI status, record, console bytes, the order of pool and secure-call
// events, pool balance, breakpoints, driver flags and the flash contents. Start-up faults (the
// information query, the registration) are swept the same way.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "driver/DriverState.h"
#include "driver/RegionAccess.h"
#include "driver/VarnelMmInternal.h"
#include "models/HostPlatform.h"

namespace {

using models::PlatformEventKind;

constexpr uint64_t kWindowBase = VARNELMM_FLASH_WINDOW_BASE;
constexpr uint64_t kFlashSize = 0x2000000;
constexpr uint64_t kNormalBase = 0x80000000;
constexpr uint64_t kFlashServiceId = VARNELMM_FLASH_SERVICE_ID;
constexpr uint64_t kTranslateId = VARNELMM_TRANSLATE_ADDRESS_ID;
constexpr uint64_t kSuccessWord = VARNELMM_STATUS_SUCCESS;
constexpr uint64_t kAuthRefusedWord = VARNELMM_STATUS_AUTHENTICATION_REFUSED;
constexpr uint64_t kFailureWord = VARNELMM_STATUS_FAILURE;
constexpr uint64_t kDeviceError = VARNELMM_EFI_DEVICE_ERROR;
constexpr uint64_t kOutOfResources = VARNELMM_EFI_OUT_OF_RESOURCES;
constexpr uint64_t kFreeFailure = VARNELMM_EFI_INVALID_PARAMETER;  // "Invalid Parameter"
constexpr uint64_t kOffset = kWindowBase + 0x2F0000;               // writable in both tables
constexpr uint64_t kLength = 0x1000;
constexpr uint64_t kSeed = 0x5EED;

enum class Fault { kNone, kOperation, kTranslate, kAuthenticate, kAllocate, kFree, kAuthAndFree };

struct FunctionTraits {
  uint64_t Function;
  int64_t SubCommand;  // the operation's sub-command; -1: none
  bool Authenticated;
  const char *FailFormat;  // with the branch name, and Offset and Length for flash operations
  const char *AuthFormat;  // authentication refused
};

const FunctionTraits kFunctions[] = {
    {varnel::kFunctionGetInfo, varnel::kSubGetInfo, false, "%s Can't get Varnel Info\r\n", nullptr},
    {varnel::kFunctionRead, varnel::kSubRead, false, "%s Fail to Read Offset %llX Len %llX\r\n",
     nullptr},
    {varnel::kFunctionWrite, varnel::kSubWrite, false, "%s Fail to Write Offset %llX Len %llX\r\n",
     nullptr},
    {varnel::kFunctionErase, varnel::kSubErase, false, "%s Fail to Erase Offset %llX Len %llX\r\n",
     nullptr},
    {varnel::kFunctionGetNvInfo, varnel::kSubGetNvInfo, false, "%s Can't get Varnel NV Info\r\n",
     nullptr},
    {varnel::kFunctionGetNv2Info, varnel::kSubGetNv2Info, false, "%s Can't get Varnel NV2 Info\r\n",
     nullptr},
    {varnel::kFunctionGetFailSafeInfo, varnel::kSubGetFailSafeInfo, false,
     "%s Can't get SPI NOR Failsafe Info\r\n", nullptr},
    {varnel::kFunctionRunTimeLockDown, -1, false, nullptr, nullptr},
    {varnel::kFunctionSeedDeploy, varnel::kSubSeedDeploy, false,
     "%s Can't Deploy Secure SPI Seed\r\n", nullptr},
    {varnel::kFunctionSecureRead, varnel::kSubSecureRead, true,
     "%s Fail to Read Offset %llX Len %llX\r\n", "%s Fail to authenticate Read request\r\n"},
    {varnel::kFunctionSecureWrite, varnel::kSubSecureWrite, true,
     "%s Fail to Write Offset %llX Len %llX\r\n", "%s Fail to authenticate write request\r\n"},
    {varnel::kFunctionSecureErase, varnel::kSubSecureErase, true,
     "%s Fail to Erase Offset %llX Len %llX\r\n", "%s Fail to authenticate erase request\r\n"},
    {varnel::kFunctionRegionLock, varnel::kSubRegionLock, false,
     "%s Fail to Lock region at Offset %llX Len %llX\r\n", nullptr},
    {varnel::kFunctionSecureRegionLock, varnel::kSubSecureRegionLock, true,
     "%s Fail to Lock region at Offset %llX Len %llX\r\n",
     "%s Fail to authenticate region lock request\r\n"},
    {varnel::kFunctionLockRegionLock, varnel::kSubLockRegionLock, false,
     "%s Fail to Lock region lock command\r\n", nullptr},
};

// The branch name the function's lines print.
const char *Branch(const FunctionTraits &T) {
  return VarnelMmFunctionName(T.Function);
}

struct SweepCase {
  const FunctionTraits *Traits;
  Fault Point;
};

std::string Format(const char *Text, const char *Branch, uint64_t Offset, uint64_t Length) {
  char Line[256];
  std::snprintf(Line, sizeof(Line), Text, Branch, static_cast<unsigned long long>(Offset),
                static_cast<unsigned long long>(Length));
  return Line;
}

const char *FaultName(Fault Point) {
  switch (Point) {
    case Fault::kNone:
      return "none";
    case Fault::kOperation:
      return "operation";
    case Fault::kTranslate:
      return "translate";
    case Fault::kAuthenticate:
      return "authenticate";
    case Fault::kAllocate:
      return "allocate";
    case Fault::kFree:
      return "free";
    case Fault::kAuthAndFree:
      return "authenticate_and_free";
  }
  return "?";
}

std::vector<SweepCase> AllCases() {
  std::vector<SweepCase> Cases;
  for (const FunctionTraits &T : kFunctions) {
    Cases.push_back({&T, Fault::kNone});
    if (T.SubCommand >= 0) Cases.push_back({&T, Fault::kOperation});
    if (T.Authenticated) {
      for (Fault F : {Fault::kTranslate, Fault::kAuthenticate, Fault::kAllocate, Fault::kFree,
                      Fault::kAuthAndFree}) {
        Cases.push_back({&T, F});
      }
    }
  }
  return Cases;
}

// One expected platform event: a pool call, or a secure call by (x0, x1) and whether it failed.
struct Event {
  PlatformEventKind Kind;
  uint64_t Id = 0;
  uint64_t Sub = 0;
  bool Fails = false;
};

// What the sweep expects of one case, read off the function's rules.
struct Expected {
  uint64_t Status;
  uint64_t Word0;
  std::string ConsolePrefix;  // message lines before an assertion report, if any
  bool Report = false;        // a "!EFI_ERROR (Status)" report ends the console text
  std::string ConsoleSuffix;  // message lines after the report
  std::vector<Event> Events;
  bool SeedAfter = false;
  bool LockedAfter = false;
};

Expected Expect(const FunctionTraits &T, Fault Point) {
  Expected E{};
  const bool OperationFails = Point == Fault::kOperation;
  const std::string FailLine =
      T.FailFormat ? Format(T.FailFormat, Branch(T), kOffset, kLength) : "";
  const Event Operation{PlatformEventKind::kSecureCall, kFlashServiceId,
                        static_cast<uint64_t>(T.SubCommand), OperationFails};
  if (!T.Authenticated) {
    if (T.SubCommand >= 0) E.Events.push_back(Operation);
    E.Status = OperationFails ? kDeviceError : 0;
    E.Word0 = OperationFails ? kFailureWord : kSuccessWord;
    if (OperationFails) E.ConsolePrefix = FailLine;
    E.SeedAfter = T.Function == varnel::kFunctionSeedDeploy && !OperationFails;
    E.LockedAfter = T.Function == varnel::kFunctionRunTimeLockDown;
    return E;
  }
  E.Events.push_back({PlatformEventKind::kAllocatePool});
  if (Point == Fault::kAllocate) {
    E.Status = kOutOfResources;
    E.Word0 = kFailureWord;
    return E;
  }
  // A failed translation hands address 0 to the authentication, which the firmware then refuses.
  const bool Refused =
      Point == Fault::kAuthenticate || Point == Fault::kTranslate || Point == Fault::kAuthAndFree;
  const bool FreeFails = Point == Fault::kFree || Point == Fault::kAuthAndFree;
  E.Events.push_back({PlatformEventKind::kSecureCall, kTranslateId, 0, Point == Fault::kTranslate});
  E.Events.push_back({PlatformEventKind::kSecureCall, kFlashServiceId, 7, Refused});
  E.Events.push_back({PlatformEventKind::kFreePool});
  if (FreeFails) E.Events.push_back({PlatformEventKind::kBreakpoint});
  const std::string FreeLine = "\r\nASSERT_EFI_ERROR (Status = Invalid Parameter)\r\n";
  if (Refused) {
    E.Status = kDeviceError;
    E.Word0 = kAuthRefusedWord;
    E.ConsolePrefix = Format(T.AuthFormat, Branch(T), 0, 0) + (FreeFails ? FreeLine : "");
    E.Report = FreeFails;
    return E;
  }
  E.Events.push_back(Operation);
  E.ConsolePrefix = FreeFails ? FreeLine : "";
  E.Report = FreeFails;
  E.Status = OperationFails ? kDeviceError : 0;
  E.Word0 = OperationFails ? kFailureWord : kSuccessWord;
  if (OperationFails) E.ConsoleSuffix = FailLine;
  return E;
}

models::HostPlatformOptions Options() {
  models::HostPlatformOptions O;
  O.FlashSize = kFlashSize;
  O.NormalWorldBase = kNormalBase;
  O.NormalWorldSize = 0x10000;
  return O;
}

void PrintTo(const SweepCase &Case, std::ostream *Out) {
  *Out << Branch(*Case.Traits) << ", fault " << FaultName(Case.Point);
}

class FaultSweep : public testing::TestWithParam<SweepCase> {};

TEST_P(FaultSweep, AnswersAsSpecifiedAndChangesNothingElse) {
  const FunctionTraits &T = *GetParam().Traits;
  const Fault Point = GetParam().Point;
  models::HostPlatform Platform(Options());
  ASSERT_EQ(Platform.StartDriver(), 0u);
  Platform.ClearConsole();
  Platform.ClearEvents();
  const uint64_t BreakpointsBefore = Platform.BreakpointCount();
  // Fill the part and the normal-world buffer with a pattern, so a write or erase shows.
  std::memset(Platform.FlashBytes(0x2F0000), 0x5A, kLength);
  std::memset(Platform.NormalWorld(kNormalBase, kLength), 0xC3, kLength);
  const std::vector<uint8_t> FlashBefore(Platform.FlashBytes(), Platform.FlashBytes() + kFlashSize);

  VARNELMM_RECORD_WORD_ARRAY Words = {
      T.Function, T.Function == varnel::kFunctionSeedDeploy ? kSeed : kOffset,
      kLength,    kNormalBase,
      0x4444,     0x5555};
  if (T.Authenticated) ASSERT_TRUE(Platform.Sign(Words));
  VARNELMM_RECORD_WORD_ARRAY Sent;
  std::memcpy(Sent, Words, sizeof(Sent));

  switch (Point) {
    case Fault::kNone:
      break;
    case Fault::kOperation:
      Platform.Firmware().InjectFault(static_cast<uint32_t>(T.SubCommand), models::kFwDenied,
                                      models::FaultMode::kOnce);
      break;
    case Fault::kTranslate:
      Platform.Firmware().InjectFault(models::kServiceTranslate, models::kFwInvalidParameter,
                                      models::FaultMode::kOnce);
      break;
    case Fault::kAuthenticate:
      Platform.Firmware().InjectFault(7, models::kFwAuthenticationFailed, models::FaultMode::kOnce);
      break;
    case Fault::kAllocate:
      Platform.Core().FailNextAllocations(1);
      break;
    case Fault::kFree:
      Platform.Core().SetFreeAnswer(kFreeFailure, models::FreeFaultMode::kOnce, true);
      break;
    case Fault::kAuthAndFree:
      Platform.Firmware().InjectFault(7, models::kFwAuthenticationFailed, models::FaultMode::kOnce);
      Platform.Core().SetFreeAnswer(kFreeFailure, models::FreeFaultMode::kOnce, true);
      break;
  }

  const models::RequestResult R = Platform.Request(Words);
  const Expected E = Expect(T, Point);
  SCOPED_TRACE(std::string(Branch(T)) + ", fault " + FaultName(Point));

  EXPECT_EQ(R.Status, E.Status);
  EXPECT_EQ(R.Words[0], E.Word0);
  const bool WritesResults =
      Point == Fault::kNone && (T.Function == 0 || (T.Function >= 4 && T.Function <= 6));
  for (uint64_t W = WritesResults ? (T.Function == 0 ? 5 : 3) : 1; W < varnel::kRecordWords; ++W) {
    EXPECT_EQ(R.Words[W], Sent[W]) << "word " << W;
  }

  // Console: message lines, then possibly one assertion report, then message lines.
  const std::string Console = Platform.ConsoleText();
  if (!E.Report) {
    EXPECT_EQ(Console, E.ConsolePrefix + E.ConsoleSuffix);
  } else {
    const std::regex Shape(
        std::regex_replace(E.ConsolePrefix, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
        R"(ASSERT \[VarnelMm\] src/driver/[A-Za-z]+\.cpp\([0-9]+\): !EFI_ERROR \(Status\)\r\n)" +
        std::regex_replace(E.ConsoleSuffix, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)"));
    EXPECT_TRUE(std::regex_match(Console, Shape)) << Console;
  }
  EXPECT_EQ(Platform.BreakpointCount() - BreakpointsBefore, E.Report ? 1u : 0u);

  // Events, in order.
  const std::vector<models::PlatformEvent> &Events = Platform.Events();
  ASSERT_EQ(Events.size(), E.Events.size());
  for (size_t I = 0; I < Events.size(); ++I) {
    EXPECT_EQ(Events[I].Kind, E.Events[I].Kind) << "event " << I;
    if (E.Events[I].Kind == PlatformEventKind::kSecureCall) {
      EXPECT_EQ(Events[I].A, E.Events[I].Id) << "event " << I;
      EXPECT_EQ(Events[I].B, E.Events[I].Sub) << "event " << I;
      EXPECT_EQ(static_cast<int64_t>(Events[I].C) < 0, E.Events[I].Fails) << "event " << I;
    }
  }
  EXPECT_EQ(Platform.Core().LiveAllocationCount(), 0u);
  if (Point == Fault::kTranslate) {
    EXPECT_EQ(Platform.Firmware().LastAuthentication().Address, 0u);
  }

  EXPECT_EQ(varnel::SeedDeployed(), E.SeedAfter);
  EXPECT_EQ(varnel::RunTimeLocked(), E.LockedAfter);
  // A failed release is reported and the request goes on to the operation.
  const bool Performed = Point == Fault::kNone || Point == Fault::kFree;
  const bool Changes =
      Performed && (T.Function == 2 || T.Function == 3 || T.Function == 10 || T.Function == 11);
  EXPECT_EQ(std::memcmp(FlashBefore.data(), Platform.FlashBytes(), kFlashSize) != 0, Changes);
}

INSTANTIATE_TEST_SUITE_P(EveryFunction, FaultSweep, testing::ValuesIn(AllCases()),
                         [](const testing::TestParamInfo<SweepCase> &Info) {
                           return std::string(Branch(*Info.param.Traits)) + "_" +
                                  FaultName(Info.param.Point);
                         });

// Start-up: the information query and the registration fail in turn.
TEST(StartUpFaults, FailedInformationQueryKeepsTheBuiltInTable) {
  models::HostPlatform Platform(Options());
  Platform.Firmware().InjectFault(0, models::kFwDenied, models::FaultMode::kOnce);
  EXPECT_EQ(Platform.StartDriver(), 0u);
  EXPECT_EQ(Platform.ConsoleText(), "SpiNorAclPatch Can't get Varnel Info\r\n");
  EXPECT_EQ(varnel::BootRegionRow(1).Last, 0x3FFFFFFu);
  EXPECT_EQ(Platform.Core().HandlerCount(), 1u);
  EXPECT_EQ(Platform.BreakpointCount(), 0u);
}

TEST(StartUpFaults, FailedRegistrationIsReturnedAndLeavesNoHandler) {
  for (const uint64_t Status : {kOutOfResources, uint64_t{0x8000000000000001}}) {
    models::HostPlatform Platform(Options());
    Platform.Core().SetRegisterAnswer(Status);
    EXPECT_EQ(Platform.StartDriver(), Status);
    EXPECT_EQ(Platform.ConsoleText(), "Can't register VarnelMmiHandler\r\n");
    EXPECT_EQ(varnel::BootRegionRow(1).Last, kFlashSize - 1) << "table patched before";
    EXPECT_EQ(Platform.Core().HandlerCount(), 0u);
    EXPECT_EQ(Platform.Core().AllocateCallCount(), 0u);
  }
}

TEST(StartUpFaults, WarningFromRegistrationIsSuccess) {
  models::HostPlatform Platform(Options());
  Platform.Core().SetRegisterAnswer(1);
  EXPECT_EQ(Platform.StartDriver(), 0u);
  EXPECT_EQ(Platform.ConsoleText(), "");
}

}  // namespace
