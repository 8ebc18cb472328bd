// SPDX-License-Identifier: BSD-3-Clause
// Authenticated read, write, erase and region lock end to end: staging in pool memory, address
// translation, authentication, release, permission check and the secure sub-command.
#include "tests/driver/DriverFixture.h"
#include "tests/support/ReportText.h"

namespace drivertest {
namespace {

using models::FaultMode;

struct SecureCase {
  uint64_t Function;
  uint64_t SubCommand;
  uint64_t SignedBytes;
  uint64_t AuthInfoWord;
  uint64_t FlashOffset;
  uint64_t Length;
  bool UsesBuffer;
  bool Judged;
  const char *RefusedLine;
  const char *FailureLine;
  const char *NoPermissionLine;
};

const SecureCase kSecureCases[] = {
    {kFunctionSecureRead, kSubSecureRead, 0x28, 5, 0x1000, 0x10, true, false,
     "SpiNorSecureRead Fail to authenticate Read request\r\n",
     "SpiNorSecureRead Fail to Read Offset 91A01000 Len 10\r\n", nullptr},
    {kFunctionSecureWrite, kSubSecureWrite, 0x28, 5, 0x2000, 0x10, true, true,
     "SpiNorSecureWrite Fail to authenticate write request\r\n",
     "SpiNorSecureWrite Fail to Write Offset 91A02000 Len 10\r\n",
     "SpiNorSecureWrite No write permission Offset 91B80000 - Len 10\r\n"},
    {kFunctionSecureErase, kSubSecureErase, 0x20, 4, 0x3000, 0x1000, false, true,
     "SpiNorSecureErase Fail to authenticate erase request\r\n",
     "SpiNorSecureErase Fail to Erase Offset 91A03000 Len 1000\r\n",
     "SpiNorSecureErase No write permission Offset 91B80000 - Len 1000\r\n"},
    {kFunctionSecureRegionLock, kSubSecureRegionLock, 0x20, 4, 0x4000, 0x1000, false, true,
     "SpiNorSecureRegionLock Fail to authenticate region lock request\r\n",
     "SpiNorSecureRegionLock Fail to Lock region at Offset 91A04000 Len 1000\r\n",
     "SpiNorSecureRegionLock No write permission Offset 91B80000 - Len 1000\r\n"},
};

class SecureRequest : public DriverTest {
 protected:
  Record Request(const SecureCase &Case, uint64_t FlashOffset) {
    // Word 4 of a long signed part, or word 3 of a short one, is covered but means nothing.
    return {{Case.Function, kWindow + FlashOffset, Case.Length, kNormalBase + 0x200, 0xC0FFEE,
             0xC0FFEE}};
  }
  void ExpectPoolBalanced(uint64_t Allocations) {
    EXPECT_EQ(Platform.Core().AllocationCount(), Allocations);
    EXPECT_EQ(Platform.Core().FreeCount(), Allocations);
    EXPECT_EQ(Platform.Core().LiveAllocationCount(), 0u);
  }
  // Calls 0 and 1: translation of the staging buffer, then authentication of its bytes.
  void ExpectStagedAndAuthenticated(const SecureCase &Case, const Record &Sent) {
    const models::PoolAllocationRecord *Staging = Platform.Core().LastAllocation();
    ASSERT_NE(Staging, nullptr);
    EXPECT_EQ(Staging->PoolType, EfiRuntimeServicesData);
    EXPECT_EQ(Staging->Size, Case.SignedBytes);
    uint64_t Secure = 0;
    ASSERT_TRUE(Platform.Firmware().TranslateToSecure(reinterpret_cast<uint64_t>(Staging->Buffer),
                                                      &Secure));
    ExpectCallIn(0, {kTranslateAddressId, 0, reinterpret_cast<uint64_t>(Staging->Buffer)});
    EXPECT_EQ(Call(0).Out[1], Secure);
    ExpectCallIn(1, {kFlashServiceId, kSubAuthenticate, Secure, Case.SignedBytes,
                     Sent.W[Case.AuthInfoWord]});
    const models::AuthenticationRecord &Auth = Platform.Firmware().LastAuthentication();
    ASSERT_EQ(Auth.Captured, Case.SignedBytes);
    EXPECT_EQ(memcmp(Auth.Bytes, Sent.W, Case.SignedBytes), 0);
  }
};

TEST_F(SecureRequest, Accepted_OperatesWithTheSecureSubCommand) {
  memset(Flash(0x1000), 0x6B, 0x10);
  memset(Flash(0x3000), 0x00, 0x1000);
  uint64_t Allocations = 0;
  for (const SecureCase &Case : kSecureCases) {
    SCOPED_TRACE(Case.Function);
    Platform.Firmware().ClearLog();
    Record Sent = Request(Case, Case.FlashOffset);
    ASSERT_TRUE(Platform.Sign(Sent.W));
    const models::RequestResult Result = Send(Sent);
    EXPECT_EQ(Result.Status, EFI_SUCCESS);
    Record Expected = Sent;
    Expected.W[0] = kStatusSuccess;
    EXPECT_EQ(memcmp(Result.Words, Expected.W, kRecordBytes), 0);
    ASSERT_EQ(Calls(), 3u);
    ExpectStagedAndAuthenticated(Case, Sent);
    ExpectCallIn(2, {kFlashServiceId, Case.SubCommand, kWindow + Case.FlashOffset, Case.Length,
                     Case.UsesBuffer ? kNormalBase + 0x200 : 0});
    ExpectPoolBalanced(++Allocations);
  }
  EXPECT_EQ(Console(), "");
  EXPECT_TRUE(FlashIs(0x2000, 0x10, 0x6B));  // read into the buffer, then written from it
  EXPECT_TRUE(FlashIs(0x3000, 0x1000, 0xFF));
  EXPECT_EQ(Platform.Flash().LockedRegionCount(), 1u);
}

TEST_F(SecureRequest, Refused_AnswersFEBeforeAnyPermissionCheck) {
  uint64_t Allocations = 0;
  for (const SecureCase &Case : kSecureCases) {
    for (uint64_t Offset : {Case.FlashOffset, uint64_t{0x180000}}) {
      SCOPED_TRACE(testing::Message() << Case.Function << " at " << Offset);
      Platform.Firmware().ClearLog();
      Platform.ClearConsole();
      Record Sent = Request(Case, Offset);
      ASSERT_TRUE(Platform.Sign(Sent.W));
      Sent.W[Case.AuthInfoWord] ^= 1;
      const models::RequestResult Result = Send(Sent);
      EXPECT_EQ(Result.Status, EFI_DEVICE_ERROR);
      EXPECT_EQ(Result.Words[0], kStatusAuthenticationRefused);
      EXPECT_EQ(memcmp(Result.Words + 1, Sent.W + 1, kRecordBytes - 8), 0);
      EXPECT_EQ(Calls(), 2u);
      ExpectStagedAndAuthenticated(Case, Sent);
      EXPECT_EQ(Console(), Case.RefusedLine);
      ExpectPoolBalanced(++Allocations);
    }
  }
  EXPECT_TRUE(FlashIs(0, 0x10000, 0xFF));
  EXPECT_EQ(Platform.Flash().LockedRegionCount(), 0u);
}

TEST_F(SecureRequest, AcceptedWithoutPermission_Answers01WithoutOperating) {
  for (const SecureCase &Case : kSecureCases) {
    if (!Case.Judged) continue;
    SCOPED_TRACE(Case.Function);
    Platform.Firmware().ClearLog();
    Platform.ClearConsole();
    const models::RequestResult Result = SendSigned(Request(Case, 0x180000));
    EXPECT_EQ(Result.Status, EFI_SUCCESS);
    EXPECT_EQ(Result.Words[0], kStatusNoPermission);
    EXPECT_EQ(Calls(), 2u);
    EXPECT_EQ(Console(), Case.NoPermissionLine);
  }
  EXPECT_EQ(Platform.Core().LiveAllocationCount(), 0u);
  EXPECT_TRUE(FlashIs(0x180000, 0x1000, 0xFF));
  EXPECT_EQ(Platform.Flash().LockedRegionCount(), 0u);
}

TEST_F(SecureRequest, OperationFailure_AnswersFFWithItsLine) {
  for (const SecureCase &Case : kSecureCases) {
    SCOPED_TRACE(Case.Function);
    Platform.ClearConsole();
    Platform.Firmware().InjectFault(static_cast<uint32_t>(Case.SubCommand), models::kFwDenied,
                                    FaultMode::kOnce);
    const models::RequestResult Result = SendSigned(Request(Case, Case.FlashOffset));
    EXPECT_EQ(Result.Status, EFI_DEVICE_ERROR);
    EXPECT_EQ(Result.Words[0], kStatusFailure);
    EXPECT_EQ(Console(), Case.FailureLine);
  }
  EXPECT_EQ(Platform.Core().LiveAllocationCount(), 0u);
}

TEST_F(SecureRequest, AllocationFailure_AnswersOutOfResourcesSilently) {
  for (const SecureCase &Case : kSecureCases) {
    Platform.Core().FailNextAllocations(1);
    const models::RequestResult Result = SendSigned(Request(Case, Case.FlashOffset));
    EXPECT_EQ(Result.Status, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(Result.Words[0], kStatusFailure);
  }
  EXPECT_EQ(Calls(), 0u);
  EXPECT_EQ(Console(), "");
  EXPECT_EQ(Platform.Core().FreeCallCount(), 0u);
}

TEST_F(SecureRequest, FreeFailure_IsAssertedAndTheRequestGoesOn) {
  const SecureCase &Case = kSecureCases[1];
  SeedNormal(0x200, 0x24, 0x10);
  for (bool Accepted : {false, true}) {
    SCOPED_TRACE(Accepted);
    Platform.ClearConsole();
    Platform.Core().SetFreeAnswer(EFI_INVALID_PARAMETER, models::FreeFaultMode::kOnce, true);
    const uint64_t Traps = Platform.BreakpointCount();
    Record Sent = Request(Case, Case.FlashOffset);
    Platform.Sign(Sent.W);
    if (!Accepted) Sent.W[5] ^= 1;
    const models::RequestResult Result = Send(Sent);
    EXPECT_EQ(Result.Status, Accepted ? EFI_SUCCESS : EFI_DEVICE_ERROR);
    EXPECT_EQ(Result.Words[0], Accepted ? kStatusSuccess : kStatusAuthenticationRefused);
    const std::vector<std::string> Lines = testsupport::SplitLines(Console());
    const size_t First = Accepted ? 0 : 1;  // the refusal line comes first
    ASSERT_EQ(Lines.size(), First + 3);
    EXPECT_EQ(Lines[First], "\r\n");
    EXPECT_EQ(Lines[First + 1], "ASSERT_EFI_ERROR (Status = Invalid Parameter)\r\n");
    EXPECT_TRUE(testsupport::IsReportLine(Lines[First + 2], "src/driver/AuthenticatedRequest.cpp",
                                          "!EFI_ERROR (Status)"));
    EXPECT_EQ(Platform.BreakpointCount(), Traps + 1);
    EXPECT_EQ(Platform.Core().FreeCallCount(), Accepted ? 2u : 1u);
    EXPECT_EQ(FlashIs(Case.FlashOffset, 0x10, 0x24), Accepted);
    if (Accepted) {
      ASSERT_EQ(Calls(), 5u);
      ExpectCallIn(4, {kFlashServiceId, kSubSecureWrite, kWindow + Case.FlashOffset, 0x10,
                       kNormalBase + 0x200});
    }
  }
  EXPECT_EQ(Platform.Core().LiveAllocationCount(), 0u);
}

TEST_F(SecureRequest, FailedTranslation_AuthenticatesAddressZero) {
  Platform.Firmware().InjectFault(models::kServiceTranslate, models::kFwInvalidParameter,
                                  FaultMode::kOnce);
  Record Sent = Request(kSecureCases[0], 0x1000);
  Platform.Sign(Sent.W);
  EXPECT_EQ(Send(Sent).Words[0], kStatusAuthenticationRefused);
  // The failed translation answered an x1 of its own; the authentication got 0, not that.
  EXPECT_EQ(Call(0).Out[1], models::kFailedTranslationX1);
  ExpectCallIn(1, {kFlashServiceId, kSubAuthenticate, 0, 0x28, Sent.W[5]});
  EXPECT_EQ(Platform.Core().LiveAllocationCount(), 0u);
}

TEST_F(SecureRequest, ServedAfterSeedAndJudgedByTheRunTimeTableAfterLockDown) {
  Send({{kFunctionSeedDeploy, 0x5EED, 0, 0, 0, 0}});
  const SecureCase &Erase = kSecureCases[2];
  EXPECT_EQ(SendSigned(Request(Erase, 0x100000)).Words[0], kStatusSuccess);
  Send({{kFunctionRunTimeLockDown, 0, 0, 0, 0, 0}});
  EXPECT_EQ(SendSigned(Request(Erase, 0x101000)).Words[0], kStatusNoPermission);
  EXPECT_EQ(SendSigned(Request(Erase, 0x3000)).Words[0], kStatusSuccess);
  // A secure read is never judged by a table.
  EXPECT_EQ(SendSigned(Request(kSecureCases[0], 0x180000)).Words[0], kStatusSuccess);
}

// Every judged function, plain and signed, before and after lock-down, on ranges the two tables
// judge apart (boot row 0 reaches 0x11FFFF, run-time row 0 ends at 0xFFFFF), bracketed by a range
// both admit and one neither admits: a request judged by the other table, or by none, shows.
TEST_F(SecureRequest, EveryJudgedFunction_JudgedByTheTableTheFlagSelects) {
  struct Range {
    uint64_t Offset;
    uint64_t Length;
    bool Boot;     // admitted before lock-down
    bool RunTime;  // admitted after
  };
  const Range kRanges[] = {{0x100000, 0x1000, true, false},
                           {0xFF000, 0x2000, true, false},
                           {0x11F000, 0x1000, true, false},
                           {0x2F0000, 0x1000, true, true},
                           {0x180000, 0x1000, false, false}};
  for (const bool Locked : {false, true}) {
    Platform.Firmware().Reset();
    Start();
    if (Locked) {
      Send({{kFunctionRunTimeLockDown, 0, 0, 0, 0, 0}});
    }
    for (const uint64_t Function :
         {kFunctionWrite, kFunctionErase, kFunctionRegionLock, kFunctionSecureWrite,
          kFunctionSecureErase, kFunctionSecureRegionLock}) {
      const bool Signed = Function >= kFunctionSecureRead && Function != kFunctionRegionLock;
      for (const Range &R : kRanges) {
        SCOPED_TRACE(testing::Message() << "function " << Function << " locked " << Locked
                                        << " offset 0x" << std::hex << R.Offset);
        const bool Admitted = Locked ? R.RunTime : R.Boot;
        Record Sent = {{Function, kWindow + R.Offset, R.Length, kNormalBase, 0, 0}};
        const uint64_t Before = Calls();
        const models::RequestResult Result = Signed ? SendSigned(Sent) : Send(Sent);
        EXPECT_EQ(Result.Words[0] == kStatusNoPermission, !Admitted);
        EXPECT_EQ(Calls() - Before, (Signed ? 2u : 0u) + (Admitted ? 1u : 0u));
      }
    }
  }
}

TEST_F(SecureRequest, LengthAbove32Bits_IsRefusedAfterAuthentication) {
  Record Sent = Request(kSecureCases[1], 0x1000);
  Sent.W[kWordLength] = 0x100000010;
  const models::RequestResult Result = SendSigned(Sent);
  EXPECT_EQ(Result.Words[0], kStatusNoPermission);
  EXPECT_EQ(Calls(), 2u);
  EXPECT_EQ(Console(), "SpiNorSecureWrite No write permission Offset 91A01000 - Len 100000010\r\n");
}

// The normal world rewrites Offset and Length while the firmware authenticates: the operation
// still uses the bytes that were authenticated.
void RewriteRecord(void *Context, const uint8_t *, uint64_t) {
  models::HostPlatform *Platform = static_cast<models::HostPlatform *>(Context);
  uint64_t *Words = reinterpret_cast<uint64_t *>(Platform->CurrentRecord());
  Words[kWordOffset] = kWindow + 0x180000;
  Words[kWordLength] = 0x100000000;
  Words[kWordBuffer] = kNormalBase + 0x800;
}

TEST_F(SecureRequest, RecordRewrittenDuringAuthentication_OperatesOnAuthenticatedValues) {
  SeedNormal(0x200, 0x3C, 0x10);
  Platform.Firmware().SetAuthenticationHook(RewriteRecord, &Platform);
  const models::RequestResult Result = SendSigned(Request(kSecureCases[1], 0x2000));
  Platform.Firmware().SetAuthenticationHook(nullptr, nullptr);
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  EXPECT_EQ(Result.Words[0], kStatusSuccess);
  EXPECT_EQ(Result.Words[kWordOffset], kWindow + 0x180000);  // the normal world's own write
  ASSERT_EQ(Calls(), 3u);
  ExpectCallIn(2, {kFlashServiceId, kSubSecureWrite, kWindow + 0x2000, 0x10, kNormalBase + 0x200});
  EXPECT_TRUE(FlashIs(0x2000, 0x10, 0x3C));
  EXPECT_TRUE(FlashIs(0x180000, 0x1000, 0xFF));
}

}  // namespace
}  // namespace drivertest
