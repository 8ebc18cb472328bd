// SPDX-License-Identifier: BSD-3-Clause
// The record counter's description of a data abort, on instruction words as the assembler encodes
// them: each single-register form gives the fields and address its syndrome would, and every
// other form (pair, write-back, exclusive, atomic, SIMD, prefetch, unprivileged), a syndrome that
// is not a permission fault, or a decode that disagrees with ESR or FAR is refused.
#include <gtest/gtest.h>

#include "qemu/DataAbort.h"

namespace {

using supervisor::DataAccess;
using supervisor::DecodeDataAbort;
using supervisor::TrapFrame;

constexpr uint64_t kLoadFault = 0x9200000F;  // EC 0x24, IL, permission fault at level 3
constexpr uint64_t kWnR = 0x40;
constexpr uint64_t kBase = 0x40801FD0;   // x2
constexpr uint64_t kStack = 0x4081FF00;  // SP_EL0

TrapFrame Frame() {
  TrapFrame Result = {};
  Result.X[2] = kBase;
  Result.X[6] = 0xFFFFFFFF00000001ULL;  // as a W index: 1; sign-extended as SXTW: 1
  Result.SpEl0 = kStack;
  return Result;
}

struct Form {
  const char *Text;
  uint32_t Instruction;
  uint64_t Address;
  DataAccess Want;  // Bytes, SignExtend, Register, SixtyFour, Write, AcquireRelease
};

TEST(DataAbortTest, SingleRegisterFormsGiveTheirSyndromeFields) {
  const Form kForms[] = {
      {"ldr x1, [x2]", 0xF9400041, kBase, {8, false, 1, true, false, false, 0}},
      {"ldr x1, [x2, #16]", 0xF9400841, kBase + 16, {8, false, 1, true, false, false, 0}},
      {"ldrb w3, [x2, #7]", 0x39401C43, kBase + 7, {1, false, 3, false, false, false, 0}},
      {"ldrsb x3, [x2, #7]", 0x39801C43, kBase + 7, {1, true, 3, true, false, false, 0}},
      {"ldrsb w3, [x2, #7]", 0x39C01C43, kBase + 7, {1, true, 3, false, false, false, 0}},
      {"ldrsh w3, [x2, #6]", 0x79C00C43, kBase + 6, {2, true, 3, false, false, false, 0}},
      {"ldrsw x3, [x2, #12]", 0xB9800C43, kBase + 12, {4, true, 3, true, false, false, 0}},
      {"ldur x4, [x2, #-1]", 0xF85FF044, kBase - 1, {8, false, 4, true, false, false, 0}},
      {"ldr x5, [x2, x6, lsl #3]",
       0xF8667845,
       kBase + (0xFFFFFFFF00000001ULL << 3),
       {8, false, 5, true, false, false, 0}},
      {"ldr x5, [x2, w6, sxtw]", 0xF866C845, kBase + 1, {8, false, 5, true, false, false, 0}},
      {"ldr w5, [x2, w6, uxtw #2]", 0xB8665845, kBase + 4, {4, false, 5, false, false, false, 0}},
      {"str w7, [x2, #4]", 0xB9000447, kBase + 4, {4, false, 7, false, true, false, 0}},
      {"strh w7, [x2, #2]", 0x79000447, kBase + 2, {2, false, 7, false, true, false, 0}},
      {"stur x7, [x2, #1]", 0xF8001047, kBase + 1, {8, false, 7, true, true, false, 0}},
      {"str xzr, [x2, #40]", 0xF900145F, kBase + 40, {8, false, 31, true, true, false, 0}},
      {"ldar x8, [x2]", 0xC8DFFC48, kBase, {8, false, 8, true, false, true, 0}},
      {"stlr w8, [x2]", 0x889FFC48, kBase, {4, false, 8, false, true, true, 0}},
      {"ldr x1, [sp, #8]", 0xF94007E1, kStack + 8, {8, false, 1, true, false, false, 0}},
  };
  for (const Form &Case : kForms) {
    SCOPED_TRACE(Case.Text);
    const uint64_t Esr = kLoadFault | (Case.Want.Write ? kWnR : 0);
    DataAccess Got = {};
    ASSERT_TRUE(DecodeDataAbort(
        Esr, Case.Instruction,
        [&] {
          TrapFrame F = Frame();
          F.Far = Case.Address;
          return F;
        }(),
        &Got));
    EXPECT_EQ(Got.Bytes, Case.Want.Bytes);
    EXPECT_EQ(Got.SignExtend, Case.Want.SignExtend);
    EXPECT_EQ(Got.Register, Case.Want.Register);
    EXPECT_EQ(Got.SixtyFour, Case.Want.SixtyFour);
    EXPECT_EQ(Got.Write, Case.Want.Write);
    EXPECT_EQ(Got.AcquireRelease, Case.Want.AcquireRelease);
    EXPECT_EQ(Got.Address, Case.Address);
    // A syndrome that does carry the fields must carry these; one field off is refused.
    const uint64_t Iss = (1ULL << 24) | (static_cast<uint64_t>(__builtin_ctz(Got.Bytes)) << 22) |
                         (Got.SignExtend ? 1ULL << 21 : 0) | (uint64_t{Got.Register} << 16) |
                         (Got.SixtyFour ? 1ULL << 15 : 0) | (Got.AcquireRelease ? 1ULL << 14 : 0);
    TrapFrame F = Frame();
    F.Far = Case.Address;
    EXPECT_TRUE(DecodeDataAbort(Esr | Iss, Case.Instruction, F, &Got));
    EXPECT_FALSE(DecodeDataAbort(Esr | (Iss ^ (1ULL << 16)), Case.Instruction, F, &Got));
  }
}

TEST(DataAbortTest, EverythingElseIsRefused) {
  struct Refused {
    const char *Text;
    uint32_t Instruction;
    uint64_t Esr;
    uint64_t Address;
  };
  const Refused kRefused[] = {
      {"ldp x0, x1, [x2]", 0xA9400440, kLoadFault, kBase},
      {"ldr x1, [x2], #8", 0xF8408441, kLoadFault, kBase},
      {"ldr x1, [x2, #8]!", 0xF8408C41, kLoadFault, kBase + 8},
      {"ldxr x1, [x2]", 0xC85F7C41, kLoadFault, kBase},
      {"stxr w3, x1, [x2]", 0xC8037C41, kLoadFault | kWnR, kBase},
      {"ldaxr x1, [x2]", 0xC85FFC41, kLoadFault, kBase},
      {"ldadd x1, x3, [x2]", 0xF8210043, kLoadFault, kBase},
      {"ldr q0, [x2]", 0x3DC00040, kLoadFault, kBase},
      {"ldr d0, [x2]", 0xFD400040, kLoadFault, kBase},
      {"prfm pldl1keep, [x2]", 0xF9800040, kLoadFault, kBase},
      {"ldtr x1, [x2]", 0xF8400841, kLoadFault, kBase},
      {"ldr x5, [x2, w6, option 000]", 0xF8661845, kLoadFault, kBase + 8},
      {"ldr x1, [x2] at another FAR", 0xF9400041, kLoadFault, kBase + 8},
      {"ldr x1, [x2] reported as a write", 0xF9400041, kLoadFault | kWnR, kBase},
      {"str x7, [x2] reported as a read", 0xF9000047, kLoadFault, kBase},
      {"ldr x1, [x2] on an alignment fault", 0xF9400041, 0x92000021, kBase},
      {"ldr x1, [x2] on a translation fault", 0xF9400041, 0x92000007, kBase},
      {"ldr x1, [x2] with FAR not valid", 0xF9400041, kLoadFault | (1ULL << 10), kBase},
      {"ldr x1, [x2] as a data abort at EL1", 0xF9400041, 0x9600000F, kBase},
  };
  for (const Refused &Case : kRefused) {
    SCOPED_TRACE(Case.Text);
    TrapFrame F = Frame();
    F.Far = Case.Address;
    DataAccess Got = {};
    EXPECT_FALSE(DecodeDataAbort(Case.Esr, Case.Instruction, F, &Got));
  }
}

}  // namespace
