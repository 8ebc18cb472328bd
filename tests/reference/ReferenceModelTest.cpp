// SPDX-License-Identifier: BSD-3-Clause
// The reference model against the documented corner cases of the request handler, so that the
// fuzz target's oracle is checked on its own and not only against the driver it judges.
#include <gtest/gtest.h>

#include "tests/reference/ReferenceModel.h"

namespace {

using namespace reference;

constexpr uint64_t kNv = kWindowBase + 0x2F0000;  // writable in both tables

// A secure world that answers every call with the given x0 (and fixed result registers).
Firmware Answering(uint64_t X0, uint64_t X1 = 0x11, uint64_t X2 = 0x0000000200001000,
                   uint64_t X3 = 0x2000000) {
  return [=](size_t, const Call &) { return Answer{{X0, X1, X2, X3}}; };
}

// Fails exactly the call with the given index.
Firmware FailingCall(size_t Failing) {
  return [=](size_t Index, const Call &) {
    return Answer{{Index == Failing ? kErrorBit : 0, 0, 0, 0}};
  };
}

Request Make(uint64_t Function, uint64_t Offset = kNv, uint64_t Length = 0x1000) {
  Request R{};
  R.Words[0] = Function;
  R.Words[1] = Offset;
  R.Words[2] = Length;
  R.Words[3] = 0x80000000;
  R.Words[4] = 0x44;
  R.Words[5] = 0x55;
  R.Size = 48;
  return R;
}

const Pool kPoolOk{true, 0};

TEST(ReferenceModel, FunctionAbove14LeavesTheRecordAlone) {
  for (const uint64_t Function : {uint64_t{15}, uint64_t{0x100000000}}) {
    const Prediction P = Predict(BuiltState(), Make(Function), kPoolOk, Answering(0));
    EXPECT_EQ(P.Status, kEfiAccessDenied);
    EXPECT_EQ(P.Words[0], Function);
    EXPECT_TRUE(P.Calls.empty());
    ASSERT_EQ(P.Console.size(), 1u);
    EXPECT_EQ(P.Console[0].Text, "VarnelMmiHandler Unsupported function ID\r\n");
  }
}

TEST(ReferenceModel, InformationQueriesFillTheirWords) {
  const Prediction Info = Predict(BuiltState(), Make(0, 0x99), kPoolOk, Answering(0));
  EXPECT_EQ(Info.Words[0], kWordSuccess);
  EXPECT_EQ(Info.Words[1], 0u);
  EXPECT_EQ(Info.Words[2], 0x1000u);
  EXPECT_EQ(Info.Words[3], 2u);
  EXPECT_EQ(Info.Words[4], 0x2000000u);
  EXPECT_EQ(Info.Words[5], 0x55u);

  const Prediction Nv = Predict(BuiltState(), Make(5), kPoolOk, Answering(1));
  EXPECT_EQ(Nv.Status, kEfiSuccess);
  EXPECT_EQ(Nv.Words[1], 0x11u);
  EXPECT_EQ(Nv.Words[2], 0x0000000200001000u);
  EXPECT_EQ(Nv.Words[3], 0x80000000u);
}

TEST(ReferenceModel, PermissionRefusalIsSuccessWithItsOwnWord) {
  const Prediction P =
      Predict(BuiltState(), Make(2, kWindowBase + 0x11F000, 0x2000), kPoolOk, Answering(0));
  EXPECT_EQ(P.Status, kEfiSuccess);
  EXPECT_EQ(P.Words[0], kWordNoPermission);
  EXPECT_TRUE(P.Calls.empty());
  ASSERT_EQ(P.Console.size(), 1u);
  EXPECT_EQ(P.Console[0].Text, "SpiNorWrite No write permission Offset 91B1F000 - Len 2000\r\n");
}

TEST(ReferenceModel, SeedGateRefusesPlainAccessSilently) {
  State S = BuiltState();
  S.SeedDeployed = true;
  for (const uint64_t Function : {1, 2, 3, 12, 14}) {
    const Prediction P = Predict(S, Make(Function), kPoolOk, Answering(0));
    EXPECT_EQ(P.Status, kEfiDeviceError) << Function;
    EXPECT_EQ(P.Words[0], kWordFailure) << Function;
    EXPECT_TRUE(P.Calls.empty() && P.Console.empty()) << Function;
  }
  EXPECT_EQ(Predict(S, Make(9), kPoolOk, Answering(0)).Words[0], kWordSuccess);
}

TEST(ReferenceModel, AuthenticationComesBeforeThePermissionCheck) {
  const Request Outside = Make(10, kWindowBase + 0x180000);
  const Prediction Refused = Predict(BuiltState(), Outside, kPoolOk, FailingCall(1));
  EXPECT_EQ(Refused.Words[0], kWordAuthRefused);
  EXPECT_EQ(Refused.Status, kEfiDeviceError);
  EXPECT_TRUE(Refused.Frees);
  const Prediction Accepted = Predict(BuiltState(), Outside, kPoolOk, Answering(0));
  EXPECT_EQ(Accepted.Words[0], kWordNoPermission);
  EXPECT_EQ(Accepted.Calls.size(), 2u) << "translation and authentication only";
  EXPECT_EQ(Accepted.Calls[1].In[3], 0x28u);
  EXPECT_EQ(Accepted.Calls[1].In[4], 0x55u) << "AuthInfo of a secure write is word 5";
}

TEST(ReferenceModel, AllocationFailureMakesNoCall) {
  const Prediction P = Predict(BuiltState(), Make(11), Pool{false, 0}, Answering(0));
  EXPECT_EQ(P.Status, kEfiOutOfResources);
  EXPECT_EQ(P.Words[0], kWordFailure);
  EXPECT_TRUE(P.Calls.empty() && P.Console.empty() && !P.Frees);
}

TEST(ReferenceModel, LockDownSwitchesTables) {
  State S = BuiltState();
  const Prediction Lock = Predict(S, Make(7), kPoolOk, Answering(0));
  EXPECT_TRUE(Lock.After.RunTimeLocked);
  EXPECT_TRUE(WriteAllowed(S, kWindowBase + 0x100000, 1));
  EXPECT_FALSE(WriteAllowed(Lock.After, kWindowBase + 0x100000, 1));
  EXPECT_TRUE(WriteAllowed(Lock.After, kNv, 0x100000));
}

TEST(ReferenceModel, PatchCases) {
  State S = BuiltState();
  PatchBootTable(S, true, 0x1700001);
  EXPECT_FALSE(WriteAllowed(S, kNv, 0x1000)) << "row 1 now ends the table";
  S = BuiltState();
  PatchBootTable(S, true, 0x100000000);
  EXPECT_EQ(S.Boot[1].Last, 0xFFFFFFFFu);
  EXPECT_FALSE(WriteAllowed(S, kWindowBase + 0x1700000, 0));
}

}  // namespace
