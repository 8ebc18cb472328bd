// SPDX-License-Identifier: BSD-3-Clause
// The secure firmware model driven by raw service argument blocks, as CallSecureService sends them.
#include "models/SecureFirmwareModel.h"

#include <gtest/gtest.h>

#include <vector>

#include "config/VarnelMmConfig.h"
#include "driver/VarnelMmProtocol.h"

namespace {

using namespace models;
using namespace varnel;

constexpr uint64_t kFlashSize = 0x40000;  // 256 KiB
constexpr uint64_t kWindow = config::kFlashWindowBase;
constexpr uint64_t kNormalBase = 0x80000000;
constexpr uint64_t kUntouched = 0x5555555555555555ULL;

class FirmwareTest : public ::testing::Test {
 protected:
  FirmwareTest()
      : FlashStorage(kFlashSize),
        Normal(0x2000, 0),
        Pool(0x400, 0),
        Flash(FlashStorage.data(), kFlashSize),
        Firmware(Flash, MemoryWindow{kNormalBase, Normal.data(), Normal.size()}) {
    Flash.EraseAll();
    Firmware.SetPoolArena(reinterpret_cast<uintptr_t>(Pool.data()), Pool.size());
  }

  // One call; words 5..7 carry a marker that must come back unchanged.
  ServiceArgumentBlock Call(uint64_t X0, uint64_t X1, uint64_t X2 = 0, uint64_t X3 = 0,
                            uint64_t X4 = kUntouched) {
    ServiceArgumentBlock Block = {{X0, X1, X2, X3, X4, kUntouched, kUntouched, kUntouched}};
    Firmware.Handle(&Block);
    EXPECT_EQ(Block.Word[4], X4);
    for (int Word = 5; Word < 8; ++Word) {
      EXPECT_EQ(Block.Word[Word], kUntouched);
    }
    return Block;
  }
  uint64_t FlashCall(uint64_t SubCommand, uint64_t X2 = 0, uint64_t X3 = 0, uint64_t X4 = 0) {
    return Call(kFlashServiceId, SubCommand, X2, X3, X4).Word[0];
  }
  // Driver address of pool byte Offset, and its translation.
  uint64_t PoolAddress(uint64_t Offset) {
    return reinterpret_cast<uintptr_t>(Pool.data() + Offset);
  }
  uint64_t Translate(uint64_t Address) {
    const ServiceArgumentBlock Out = Call(kTranslateAddressId, 0, Address);
    EXPECT_FALSE(FwFailed(Out.Word[0]));
    return Out.Word[1];
  }
  // Stages a signed part at pool offset 0 and asks for its authentication with AuthInfo.
  uint64_t Authenticate(const uint64_t *Words, uint64_t Length, uint64_t AuthInfo) {
    memcpy(Pool.data(), Words, Length);
    return FlashCall(kSubAuthenticate, Translate(PoolAddress(0)), Length, AuthInfo);
  }
  uint64_t SignAndAuthenticate(const uint64_t *Words, uint64_t Length) {
    return Authenticate(Words, Length, ComputeRequestMac(Firmware.CurrentKey(), Words, Length));
  }

  std::vector<uint8_t> FlashStorage;
  std::vector<uint8_t> Normal;
  std::vector<uint8_t> Pool;
  NorFlash Flash;
  SecureFirmwareModel Firmware;
};

TEST_F(FirmwareTest, UnknownIdentifierOrSubCommand_NotSupported) {
  EXPECT_EQ(Call(0xC4000071, 0).Word[0], kFwNotSupported);
  EXPECT_EQ(Call(0, 0).Word[0], kFwNotSupported);
  EXPECT_EQ(FlashCall(15), kFwNotSupported);
  EXPECT_EQ(Firmware.UnsupportedCallCount(), 3u);
  EXPECT_EQ(Firmware.CallCount(), 3u);
}

TEST_F(FirmwareTest, InfoQueries_AnswerConfiguredValues) {
  ServiceArgumentBlock Out = Call(kFlashServiceId, kSubGetInfo);
  EXPECT_EQ(Out.Word[0], 0u);
  EXPECT_EQ(Out.Word[3], kFlashSize);  // the part's size by default

  Firmware.SetInfoWord(0x0000000200001000ULL);
  Firmware.SetReportedFlashSize(0x2000000);
  Out = Call(kFlashServiceId, kSubGetInfo);
  EXPECT_EQ(Out.Word[2], 0x0000000200001000ULL);
  EXPECT_EQ(Out.Word[3], 0x2000000u);

  for (uint64_t Sub : {kSubGetNvInfo, kSubGetNv2Info, kSubGetFailSafeInfo}) {
    Firmware.SetQueryAnswer(Sub, Sub * 0x100, Sub * 0x1000, Sub);
  }
  for (uint64_t Sub : {kSubGetNvInfo, kSubGetNv2Info, kSubGetFailSafeInfo}) {
    Out = Call(kFlashServiceId, Sub);
    EXPECT_EQ(Out.Word[0], 0u);
    EXPECT_EQ(Out.Word[1], Sub * 0x100);
    EXPECT_EQ(Out.Word[2], Sub * 0x1000);
    EXPECT_EQ(Out.Word[3], Sub);
  }
}

TEST_F(FirmwareTest, SuccessValue_IsConfigurableButNeverNegative) {
  Firmware.SetSuccessValue(7);
  EXPECT_EQ(FlashCall(kSubGetInfo), 7u);
  Firmware.SetSuccessValue(0x8000000000000000ULL);  // ignored
  EXPECT_EQ(FlashCall(kSubLockRegionLock), 7u);
  EXPECT_EQ(FlashCall(kSubErase, kWindow + 1, 1), kFwInvalidParameter);
}

TEST_F(FirmwareTest, ReadAndWrite_MoveBytesBetweenFlashAndNormalWorld) {
  for (int Index = 0; Index < 16; ++Index) {
    Normal[0x100 + Index] = static_cast<uint8_t>(0xA0 + Index);
  }
  ASSERT_EQ(FlashCall(kSubWrite, kWindow + 0x1000, 16, kNormalBase + 0x100), 0u);
  EXPECT_EQ(FlashStorage[0x1000], 0xA0);
  EXPECT_EQ(FlashStorage[0x100F], 0xAF);
  EXPECT_EQ(FlashStorage[0x1010], 0xFF);

  ASSERT_EQ(FlashCall(kSubRead, kWindow + 0x1000, 16, kNormalBase + 0x200), 0u);
  EXPECT_EQ(memcmp(Normal.data() + 0x100, Normal.data() + 0x200, 16), 0);

  ASSERT_EQ(FlashCall(kSubErase, kWindow + 0x1000, 0x1000), 0u);
  EXPECT_EQ(FlashStorage[0x1000], 0xFF);
}

TEST_F(FirmwareTest, Ranges_AreCheckedOnBothSides) {
  const uint64_t Last = kNormalBase + Normal.size();
  // Flash window: below the base, past the end, wrapping.
  EXPECT_EQ(FlashCall(kSubRead, kWindow - 1, 1, kNormalBase), kFwInvalidParameter);
  EXPECT_EQ(FlashCall(kSubRead, kWindow + kFlashSize - 1, 2, kNormalBase), kFwInvalidParameter);
  EXPECT_EQ(FlashCall(kSubWrite, kWindow, ~0ULL, kNormalBase), kFwInvalidParameter);
  EXPECT_EQ(FlashCall(kSubRead, kWindow + kFlashSize - 1, 1, kNormalBase), 0u);
  // Normal-world buffer: any byte outside fails, and nothing is copied.
  Normal[0] = 0x11;
  EXPECT_EQ(FlashCall(kSubRead, kWindow, 2, Last - 1), kFwInvalidParameter);
  EXPECT_EQ(FlashCall(kSubRead, kWindow, 1, kNormalBase - 1), kFwInvalidParameter);
  EXPECT_EQ(FlashCall(kSubWrite, kWindow, 0x10, 0), kFwInvalidParameter);
  EXPECT_EQ(FlashCall(kSubRead, kWindow, 1, Last - 1), 0u);
  EXPECT_EQ(Normal[0], 0x11);
  EXPECT_EQ(FlashStorage[0], 0xFF);
  // Erase alignment is the flash's.
  EXPECT_EQ(FlashCall(kSubErase, kWindow + 0x800, 0x1000), kFwInvalidParameter);
}

TEST_F(FirmwareTest, RegionLocks_RefuseLaterChangesUntilRegionLockIsLocked) {
  ASSERT_EQ(FlashCall(kSubRegionLock, kWindow + 0x2000, 0x1000), 0u);
  EXPECT_EQ(FlashCall(kSubErase, kWindow + 0x2000, 0x1000), kFwDenied);
  EXPECT_EQ(FlashCall(kSubWrite, kWindow + 0x2FFF, 1, kNormalBase), kFwDenied);
  EXPECT_EQ(FlashCall(kSubErase, kWindow + 0x3000, 0x1000), 0u);

  ASSERT_EQ(FlashCall(kSubLockRegionLock), 0u);
  EXPECT_EQ(FlashCall(kSubRegionLock, kWindow + 0x4000, 0x1000), kFwDenied);
  Firmware.SetSecureOperationPolicy(SecureOperationPolicy::kUnchecked);
  EXPECT_EQ(FlashCall(kSubSecureRegionLock, kWindow + 0x4000, 0x1000), kFwDenied);
  EXPECT_EQ(FlashCall(kSubErase, kWindow + 0x4000, 0x1000), 0u);
}

TEST_F(FirmwareTest, Translation_RoundTripsInsideThePoolArenaOnly) {
  const uint64_t Secure = Translate(PoolAddress(0x30));
  EXPECT_NE(Secure, PoolAddress(0x30));
  EXPECT_EQ(Firmware.ResolveSecure(Secure, 8), Pool.data() + 0x30);
  EXPECT_EQ(Translate(PoolAddress(0x31)), Secure + 1);

  const uint64_t Outside[] = {PoolAddress(0) - 1, PoolAddress(Pool.size()), 0};
  for (uint64_t Address : Outside) {
    const ServiceArgumentBlock Out = Call(kTranslateAddressId, 0, Address);
    EXPECT_TRUE(FwFailed(Out.Word[0])) << std::hex << Address;
  }
  EXPECT_EQ(Firmware.ResolveSecure(Translate(PoolAddress(Pool.size() - 8)), 9), nullptr);
  EXPECT_EQ(Firmware.ServiceCallCount(kServiceTranslate), 6u);
}

TEST_F(FirmwareTest, Authentication_AcceptsOnlyTheRightMac) {
  const uint64_t Request[5] = {kFunctionSecureWrite, kWindow, 0x10, kNormalBase, 0x1234};
  const uint64_t Mac = ComputeRequestMac(Firmware.CurrentKey(), Request, kSignedPartLong);
  EXPECT_EQ(Authenticate(Request, kSignedPartLong, Mac), 0u);
  const AuthenticationRecord &Record = Firmware.LastAuthentication();
  EXPECT_TRUE(Record.Accepted);
  EXPECT_EQ(Record.Length, kSignedPartLong);
  EXPECT_EQ(memcmp(Record.Bytes, Request, kSignedPartLong), 0);

  EXPECT_EQ(Authenticate(Request, kSignedPartLong, Mac ^ 1), kFwAuthenticationFailed);
  EXPECT_EQ(Authenticate(Request, kSignedPartShort, Mac), kFwAuthenticationFailed);
  // An address that does not resolve into the arena, or a range running past it, is refused.
  EXPECT_EQ(FlashCall(kSubAuthenticate, PoolAddress(0), kSignedPartLong, Mac),
            kFwAuthenticationFailed);
  EXPECT_EQ(FlashCall(kSubAuthenticate, 0, kSignedPartLong, Mac), kFwAuthenticationFailed);
  EXPECT_EQ(
      FlashCall(kSubAuthenticate, Translate(PoolAddress(Pool.size() - 0x20)), kSignedPartLong, Mac),
      kFwAuthenticationFailed);
}

TEST_F(FirmwareTest, SeedDeploy_SwitchesToTheSeedKey) {
  const uint64_t Request[4] = {kFunctionSecureErase, kWindow, 0x1000, 0};
  const uint64_t Provisioned = ComputeRequestMac(Firmware.CurrentKey(), Request, 32);
  Firmware.SetProvisionedKey(SipHashKey{1, 2});
  EXPECT_EQ(Authenticate(Request, 32, Provisioned), kFwAuthenticationFailed);
  EXPECT_EQ(Authenticate(Request, 32, ComputeRequestMac(SipHashKey{1, 2}, Request, 32)), 0u);

  ASSERT_EQ(FlashCall(kSubSeedDeploy, 0xFEEDF00D), 0u);
  EXPECT_TRUE(Firmware.SeedDeployed());
  EXPECT_EQ(Firmware.DeployedSeed(), 0xFEEDF00Du);
  EXPECT_EQ(Authenticate(Request, 32, ComputeRequestMac(SipHashKey{1, 2}, Request, 32)),
            kFwAuthenticationFailed);
  const SipHashKey SeedKey = SecureFirmwareModel::DeriveSeedKey(kDefaultDeviceSecret, 0xFEEDF00D);
  EXPECT_EQ(Authenticate(Request, 32, ComputeRequestMac(SeedKey, Request, 32)), 0u);

  // Knowing the seed is not enough: a key derived under another device secret is refused.
  const SipHashKey Guess = SecureFirmwareModel::DeriveSeedKey(SipHashKey{0, 0}, 0xFEEDF00D);
  EXPECT_EQ(Authenticate(Request, 32, ComputeRequestMac(Guess, Request, 32)),
            kFwAuthenticationFailed);
  // Nor can the seed be changed to one of the caller's choosing: the first one stays.
  EXPECT_EQ(FlashCall(kSubSeedDeploy, 0x1234), kFwDenied);
  EXPECT_EQ(Firmware.DeployedSeed(), 0xFEEDF00Du);
  EXPECT_EQ(Authenticate(Request, 32, ComputeRequestMac(SeedKey, Request, 32)), 0u);
}

TEST_F(FirmwareTest, AuthenticationModes_OverrideTheMac) {
  const uint64_t Request[4] = {kFunctionSecureErase, kWindow, 0x1000, 0};
  Firmware.SetAuthenticationMode(AuthenticationMode::kAcceptAll);
  EXPECT_EQ(Authenticate(Request, 32, 0), 0u);
  Firmware.SetAuthenticationMode(AuthenticationMode::kRefuseAll);
  EXPECT_EQ(SignAndAuthenticate(Request, 32), kFwAuthenticationFailed);
}

TEST_F(FirmwareTest, SecureOperations_NeedTheMatchingAcceptedRequest) {
  const uint64_t Erase[4] = {kFunctionSecureErase, kWindow + 0x1000, 0x1000, 0};
  FlashStorage[0x1000] = 0;

  // Without authentication, or after a refused one: refused.
  EXPECT_EQ(FlashCall(kSubSecureErase, kWindow + 0x1000, 0x1000), kFwNotAuthenticated);
  EXPECT_EQ(Authenticate(Erase, 32, 0), kFwAuthenticationFailed);
  EXPECT_EQ(FlashCall(kSubSecureErase, kWindow + 0x1000, 0x1000), kFwNotAuthenticated);
  // Accepted, but the operation differs from what was signed: refused, and the acceptance is used.
  ASSERT_EQ(SignAndAuthenticate(Erase, 32), 0u);
  EXPECT_EQ(FlashCall(kSubSecureErase, kWindow + 0x2000, 0x1000), kFwNotAuthenticated);
  EXPECT_EQ(FlashCall(kSubSecureErase, kWindow + 0x1000, 0x1000), kFwNotAuthenticated);
  // Any other call in between consumes the acceptance as well.
  ASSERT_EQ(SignAndAuthenticate(Erase, 32), 0u);
  ASSERT_EQ(FlashCall(kSubGetInfo), 0u);
  EXPECT_EQ(FlashCall(kSubSecureErase, kWindow + 0x1000, 0x1000), kFwNotAuthenticated);
  EXPECT_EQ(FlashStorage[0x1000], 0x00);
  // The matching operation right after acceptance is carried out.
  ASSERT_EQ(SignAndAuthenticate(Erase, 32), 0u);
  EXPECT_EQ(FlashCall(kSubSecureErase, kWindow + 0x1000, 0x1000), 0u);
  EXPECT_EQ(FlashStorage[0x1000], 0xFF);

  // Secure read and write also bind Buffer (word 3) and need the long signed part.
  const uint64_t Read[5] = {kFunctionSecureRead, kWindow, 4, kNormalBase, 0};
  ASSERT_EQ(SignAndAuthenticate(Read, 40), 0u);
  EXPECT_EQ(FlashCall(kSubSecureRead, kWindow, 4, kNormalBase + 4), kFwNotAuthenticated);
  ASSERT_EQ(SignAndAuthenticate(Read, 32), 0u);
  EXPECT_EQ(FlashCall(kSubSecureRead, kWindow, 4, kNormalBase), kFwNotAuthenticated);
  ASSERT_EQ(SignAndAuthenticate(Read, 40), 0u);
  EXPECT_EQ(FlashCall(kSubSecureRead, kWindow, 4, kNormalBase), 0u);

  Firmware.SetSecureOperationPolicy(SecureOperationPolicy::kUnchecked);
  EXPECT_EQ(FlashCall(kSubSecureRead, kWindow, 4, kNormalBase), 0u);
}

TEST_F(FirmwareTest, AuthenticationHook_RunsBeforeTheAnswerWithTheSignedBytes) {
  struct Seen {
    uint64_t Length = 0;
    uint64_t Word0 = 0;
    uint64_t CallsSoFar = 0;
    SecureFirmwareModel *Firmware = nullptr;
  } State;
  State.Firmware = &Firmware;
  Firmware.SetAuthenticationHook(
      [](void *Context, const uint8_t *Bytes, uint64_t Length) {
        Seen *Observed = static_cast<Seen *>(Context);
        Observed->Length = Length;
        memcpy(&Observed->Word0, Bytes, 8);
        Observed->CallsSoFar = Observed->Firmware->CallCount();
        // Rewriting the staged bytes now does not change what was authenticated.
        memset(const_cast<uint8_t *>(Bytes), 0, Length);
      },
      &State);
  const uint64_t Erase[4] = {kFunctionSecureErase, kWindow, 0x1000, 0};
  const uint64_t CallsBefore = Firmware.CallCount();
  ASSERT_EQ(SignAndAuthenticate(Erase, 32), 0u);
  EXPECT_EQ(State.Length, 32u);
  EXPECT_EQ(State.Word0, kFunctionSecureErase);
  EXPECT_EQ(State.CallsSoFar, CallsBefore + 1);  // the translation only: the answer is pending
  EXPECT_EQ(FlashCall(kSubSecureErase, kWindow, 0x1000), 0u);
}

TEST_F(FirmwareTest, Faults_AnswerTheConfiguredStatusOnceOrAlways) {
  Firmware.InjectFault(kSubErase, kFwDenied - 10, FaultMode::kOnce);
  FlashStorage[0] = 0;
  EXPECT_EQ(FlashCall(kSubErase, kWindow, 0x1000), kFwDenied - 10);
  EXPECT_EQ(FlashStorage[0], 0x00);  // a faulted call does nothing
  EXPECT_EQ(FlashCall(kSubErase, kWindow, 0x1000), 0u);
  EXPECT_EQ(FlashStorage[0], 0xFF);

  Firmware.InjectFault(kSubGetInfo, 0x8000000000000000ULL, FaultMode::kAlways);
  for (int Repeat = 0; Repeat < 3; ++Repeat) {
    const ServiceArgumentBlock Out = Call(kFlashServiceId, kSubGetInfo);
    EXPECT_EQ(Out.Word[0], 0x8000000000000000ULL);
    EXPECT_EQ(Out.Word[3], 0u);
  }
  Firmware.InjectFault(kServiceTranslate, kFwNotSupported, FaultMode::kOnce);
  EXPECT_EQ(Call(kTranslateAddressId, 0, PoolAddress(0)).Word[0], kFwNotSupported);
  EXPECT_FALSE(FwFailed(Call(kTranslateAddressId, 0, PoolAddress(0)).Word[0]));

  Firmware.InjectFault(kSubSeedDeploy, kFwDenied, FaultMode::kOnce);
  EXPECT_EQ(FlashCall(kSubSeedDeploy, 5), kFwDenied);
  EXPECT_FALSE(Firmware.SeedDeployed());

  Firmware.ClearFaults();
  EXPECT_EQ(FlashCall(kSubGetInfo), 0u);
}

TEST_F(FirmwareTest, CallLog_KeepsTheLastCallsWithTheirRegisters) {
  const ServiceArgumentBlock First = Call(kFlashServiceId, kSubGetInfo, 1, 2, 3);
  const FirmwareCall *Entry = Firmware.FindCall(0);
  ASSERT_NE(Entry, nullptr);
  EXPECT_EQ(Entry->In[0], kFlashServiceId);
  EXPECT_EQ(Entry->In[4], 3u);
  EXPECT_EQ(Entry->In[7], kUntouched);
  for (int Word = 0; Word < 4; ++Word) {
    EXPECT_EQ(Entry->Out[Word], First.Word[Word]);
  }

  const uint64_t Total = SecureFirmwareModel::kCallLogCapacity + 5;
  for (uint64_t Index = 1; Index < Total; ++Index) {
    Call(kFlashServiceId, kSubGetNvInfo, Index);
  }
  EXPECT_EQ(Firmware.CallCount(), Total);
  EXPECT_EQ(Firmware.FindCall(4), nullptr);
  ASSERT_NE(Firmware.FindCall(5), nullptr);
  EXPECT_EQ(Firmware.FindCall(5)->In[2], 5u);
  EXPECT_EQ(Firmware.LastCall()->In[2], Total - 1);
  EXPECT_EQ(Firmware.FindCall(Total), nullptr);
  EXPECT_EQ(Firmware.ServiceCallCount(kSubGetNvInfo), Total - 1);

  Firmware.ClearLog();
  EXPECT_EQ(Firmware.CallCount(), 0u);
  EXPECT_EQ(Firmware.LastCall(), nullptr);
}

}  // namespace
