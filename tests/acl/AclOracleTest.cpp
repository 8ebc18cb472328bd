// SPDX-License-Identifier: BSD-3-Clause
// SpiNorIsWriteAllowed against an oracle written on its own: a range [Start, End) is allowed when
// some row before the table's end row holds it, with exact integers (no 64-bit wrap) except for
// the rule that a row's limit Last + 1 is taken in 32 bits. Every boundary of every row, of the
// flash window and of the integer widths is tried as offset and as end, in both tables, after
// every kind of start-up patch.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "arch/host/HostSeam.h"
#include "driver/RegionAccess.h"
#include "driver/VarnelMmInternal.h"

namespace {

using Int = __int128;

constexpr uint64_t kWindowBase = VARNELMM_FLASH_WINDOW_BASE;
constexpr Int kTwo32 = Int(1) << 32;
constexpr Int kTwo64 = Int(1) << 64;

struct OracleRow {
  uint32_t First;
  uint32_t Last;
  uint32_t Permission;
};

const std::vector<OracleRow> kBoot = {{0x0, 0x11FFFF, 3},      {0x1700000, 0x3FFFFFF, 3},
                                      {0x120000, 0x12FFFF, 3}, {0x130000, 0x17FFFF, 3},
                                      {0x2F0000, 0x3EFFFF, 3}, {0, 0, 0}};
const std::vector<OracleRow> kRunTime = {{0x0, 0xFFFFF, 3}, {0x2F0000, 0x3EFFFF, 3}, {0, 0, 0}};

// The rows in force: those before the first row whose First equals its Last or whose
// Permission is 0.
std::vector<OracleRow> InForce(const std::vector<OracleRow> &Table) {
  std::vector<OracleRow> Rows;
  for (const OracleRow &Row : Table) {
    if (Row.First == Row.Last || Row.Permission == 0) break;
    Rows.push_back(Row);
  }
  return Rows;
}

bool OracleAllows(const std::vector<OracleRow> &Table, uint64_t Offset, uint32_t Length) {
  const Int Start = Int(Offset) - Int(kWindowBase);
  const Int End = Start + Int(Length);
  for (const OracleRow &Row : InForce(Table)) {
    const Int Limit = (Int(Row.Last) + 1) % kTwo32;
    if (Start >= Row.First && Start <= Row.Last && End <= Limit) {
      return (Row.Permission & 2) != 0;
    }
  }
  return false;
}

// The boot table after the start-up fit, from the size the information query reports.
std::vector<OracleRow> PatchedBoot(bool InfoOk, uint64_t Size) {
  std::vector<OracleRow> Table = kBoot;
  if (!InfoOk || Size == 0) return Table;
  for (OracleRow &Row : Table) {
    if (Row.First == Row.Last || Row.Permission == 0) break;
    if (Row.First == 0x1700000) {
      Row.Last = static_cast<uint32_t>((Int(Size % kTwo32) - 1 + kTwo32) % kTwo32);
      break;
    }
  }
  return Table;
}

// The secure world for SpiNorAclPatch: answers the information query.
struct InfoAnswer {
  bool Ok;
  uint64_t Size;
};

void AnswerInfo(void *Context, ServiceArgumentBlock *Block) {
  const auto *Answer = static_cast<const InfoAnswer *>(Context);
  Block->Word[0] = Answer->Ok ? 0 : ~0ULL;
  Block->Word[1] = 0;
  Block->Word[2] = 0;
  Block->Word[3] = Answer->Size;
}

void PatchDriver(InfoAnswer &Answer) {
  HostSeamHooks Hooks{};
  Hooks.CallSecureService = AnswerInfo;
  Hooks.Context = &Answer;
  HostSeamInstall(&Hooks);
  varnel::SpiNorAclRestore();
  varnel::SpiNorAclPatch();
  HostSeamInstall(nullptr);
}

// Every interesting absolute address: each row's First - 1, First, Last, Last + 1 in the window,
// the window base and its neighbours, and the ends of the 32- and 64-bit ranges.
std::vector<uint64_t> Boundaries(const std::vector<OracleRow> &A, const std::vector<OracleRow> &B) {
  std::set<Int> Points = {Int(kWindowBase) - 1,
                          Int(kWindowBase),
                          Int(kWindowBase) + 1,
                          0,
                          kTwo32 - 1,
                          kTwo32,
                          kTwo64 - 1};
  for (const auto *Table : {&A, &B}) {
    for (const OracleRow &Row : *Table) {
      for (Int Point : {Int(Row.First) - 1, Int(Row.First), Int(Row.Last), Int(Row.Last) + 1}) {
        Points.insert(Int(kWindowBase) + Point);
      }
    }
  }
  std::vector<uint64_t> Addresses;
  for (Int Point : Points) {
    if (Point >= 0 && Point < kTwo64) Addresses.push_back(static_cast<uint64_t>(Point));
  }
  return Addresses;
}

struct PatchCase {
  const char *Name;
  bool Ok;
  uint64_t Size;
};

void PrintTo(const PatchCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

class AclOracle : public testing::TestWithParam<PatchCase> {};

TEST_P(AclOracle, EveryBoundaryMatchesTheOracle) {
  const PatchCase &Case = GetParam();
  InfoAnswer Answer{Case.Ok, Case.Size};
  PatchDriver(Answer);
  const std::vector<OracleRow> Boot = PatchedBoot(Case.Ok, Case.Size);

  // The driver's table holds what the oracle derived.
  for (size_t Row = 0; Row < Boot.size(); ++Row) {
    EXPECT_EQ(varnel::BootRegionRow(Row).First, Boot[Row].First) << "row " << Row;
    EXPECT_EQ(varnel::BootRegionRow(Row).Last, Boot[Row].Last) << "row " << Row;
    EXPECT_EQ(varnel::BootRegionRow(Row).Permission, Boot[Row].Permission) << "row " << Row;
  }

  const std::vector<uint64_t> Points = Boundaries(Boot, kRunTime);
  uint64_t Checked = 0;
  uint64_t Allowed[2] = {};
  for (const bool Locked : {false, true}) {
    const std::vector<OracleRow> &Table = Locked ? kRunTime : Boot;
    for (const uint64_t Offset : Points) {
      std::set<Int> Lengths = {0, 1, kTwo32 - 1};
      for (const uint64_t End : Points) {
        const Int Length = Int(End) - Int(Offset);
        if (Length >= 0 && Length < kTwo32) Lengths.insert(Length);
      }
      for (const Int Length : Lengths) {
        const auto Length32 = static_cast<uint32_t>(Length);
        const bool Want = OracleAllows(Table, Offset, Length32);
        ASSERT_EQ(varnel::SpiNorIsWriteAllowed(Offset, Length32, Locked), Want)
            << Case.Name << (Locked ? ", run-time table" : ", boot table") << ": offset 0x"
            << std::hex << Offset << " length 0x" << Length32;
        Allowed[Locked] += Want;
        ++Checked;
      }
    }
  }
  // The sweep is only worth something if it meets both answers in both tables.
  EXPECT_GT(Allowed[0], 0u);
  EXPECT_GT(Allowed[1], 0u);
  EXPECT_GT(Checked, 400u);
  varnel::SpiNorAclRestore();
}

INSTANTIATE_TEST_SUITE_P(StartUpPatches, AclOracle,
                         testing::Values(PatchCase{"size 0x2000000", true, 0x2000000},
                                         PatchCase{"size 0", true, 0},
                                         PatchCase{"failed query", false, 0x2000000},
                                         PatchCase{"size 0x1700001", true, 0x1700001},
                                         PatchCase{"size below 0x1700000", true, 0x1000000},
                                         PatchCase{"size 0x1700000", true, 0x1700000},
                                         PatchCase{"low 32 bits 0", true, 0x100000000},
                                         PatchCase{"size 2^64-1", true, ~0ULL}),
                         [](const testing::TestParamInfo<PatchCase> &Info) {
                           return std::to_string(Info.index);
                         });

// The table's documented corner cases, stated as window offsets.
struct Example {
  const char *Name;
  uint64_t Size;  // flash size reported at start
  bool Locked;
  uint64_t WindowOffset;
  uint32_t Length;
  bool Allowed;
};

TEST(AclExamples, DocumentedCornersHold) {
  const Example kExamples[] = {
      {"row 0 start", 0x2000000, false, 0x0, 0x1000, true},
      {"end equals row 0 limit", 0x2000000, false, 0x11F000, 0x1000, true},
      {"crosses row 0 into row 2", 0x2000000, false, 0x11F000, 0x2000, false},
      {"in no row", 0x2000000, false, 0x180000, 0x10, false},
      {"row 0 of the boot table", 0x2000000, false, 0x100000, 1, true},
      {"outside the run-time table", 0x2000000, true, 0x100000, 1, false},
      {"NV region, boot", 0x2000000, false, 0x2F0000, 0x100000, true},
      {"NV region, run-time", 0x2000000, true, 0x2F0000, 0x100000, true},
      {"patched row 1 end", 0x2000000, false, 0x1FFF000, 0x1000, true},
      {"past patched row 1", 0x2000000, false, 0x1FFF000, 0x1001, false},
      {"row 1 ends the table at 0x1700001", 0x1700001, false, 0x2F0000, 0x1000, false},
      {"row 1 empty below 0x1700000, walk goes on", 0x1000000, false, 0x2F0000, 0x1000, true},
      {"row 1 to 0xFFFFFFFF admits nothing", 0x100000000, false, 0x1700000, 0, false},
      {"zero length at a row start", 0x2000000, false, 0x120000, 0, true},
  };
  for (const Example &E : kExamples) {
    InfoAnswer Answer{true, E.Size};
    PatchDriver(Answer);
    EXPECT_EQ(varnel::SpiNorIsWriteAllowed(kWindowBase + E.WindowOffset, E.Length, E.Locked),
              E.Allowed)
        << E.Name;
  }
  EXPECT_FALSE(varnel::SpiNorIsWriteAllowed(kWindowBase - 1, 1, false)) << "below the window";
  varnel::SpiNorAclRestore();
}

}  // namespace
