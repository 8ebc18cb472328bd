// SPDX-License-Identifier: BSD-3-Clause
// NOR flash semantics: ranges, sector erase, bit-clearing program, region locks.
#include "models/NorFlash.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using models::NorFlash;
using models::NorResult;

constexpr uint64_t kSector = NorFlash::kSectorSize;

class NorFlashTest : public ::testing::Test {
 protected:
  NorFlashTest() : Storage(16 * kSector, 0x00), Flash(Storage.data(), Storage.size()) {
    Flash.EraseAll();
  }
  std::vector<uint8_t> Storage;
  NorFlash Flash;
};

TEST_F(NorFlashTest, Ranges_OutsideThePartFail) {
  const uint64_t Size = Flash.Size();
  uint8_t Byte = 0;
  EXPECT_EQ(Flash.Read(Size - 1, 1, &Byte), NorResult::kOk);
  EXPECT_EQ(Flash.Read(Size - 1, 2, &Byte), NorResult::kOutOfRange);
  EXPECT_EQ(Flash.Read(Size, 0, &Byte), NorResult::kOk);
  EXPECT_EQ(Flash.Read(Size + 1, 0, &Byte), NorResult::kOutOfRange);
  EXPECT_EQ(Flash.Program(~0ULL, 2, &Byte), NorResult::kOutOfRange);  // would wrap
  EXPECT_EQ(Flash.Erase(Size, kSector), NorResult::kOutOfRange);
  EXPECT_EQ(Flash.LockRegion(0, Size + 1), NorResult::kOutOfRange);
}

TEST_F(NorFlashTest, Program_OnlyClearsBits) {
  const uint8_t First[2] = {0xF0, 0x0F};
  const uint8_t Second[2] = {0x3C, 0xFF};
  ASSERT_EQ(Flash.Program(100, 2, First), NorResult::kOk);
  ASSERT_EQ(Flash.Program(100, 2, Second), NorResult::kOk);
  EXPECT_EQ(Storage[100], 0x30);
  EXPECT_EQ(Storage[101], 0x0F);
  EXPECT_EQ(Storage[99], 0xFF);
  EXPECT_EQ(Storage[102], 0xFF);
}

TEST_F(NorFlashTest, Erase_WholeAlignedSectorsOnly) {
  for (uint64_t Offset = 0; Offset < 3 * kSector; ++Offset) {
    Storage[Offset] = 0;
  }
  EXPECT_EQ(Flash.Erase(kSector + 1, kSector), NorResult::kMisaligned);
  EXPECT_EQ(Flash.Erase(kSector, kSector - 1), NorResult::kMisaligned);
  EXPECT_EQ(Flash.Erase(kSector, kSector + 0x200), NorResult::kMisaligned);
  EXPECT_EQ(Storage[kSector], 0x00);  // a refused erase changes nothing

  ASSERT_EQ(Flash.Erase(kSector, kSector), NorResult::kOk);
  EXPECT_EQ(Storage[kSector - 1], 0x00);
  EXPECT_EQ(Storage[kSector], 0xFF);
  EXPECT_EQ(Storage[2 * kSector - 1], 0xFF);
  EXPECT_EQ(Storage[2 * kSector], 0x00);
  EXPECT_EQ(Flash.EraseCount(), 1u);
}

TEST_F(NorFlashTest, LockedRegion_RefusesOverlappingProgramAndErase) {
  ASSERT_EQ(Flash.LockRegion(2 * kSector + 0x10, 0x20), NorResult::kOk);
  const uint8_t Zeros[0x40] = {};
  // Touching the first or last locked byte is refused; the bytes just outside are not.
  EXPECT_EQ(Flash.Program(2 * kSector + 0x2F, 1, Zeros), NorResult::kLocked);
  EXPECT_EQ(Flash.Program(2 * kSector, 0x11, Zeros), NorResult::kLocked);
  EXPECT_EQ(Flash.Program(2 * kSector, 0x10, Zeros), NorResult::kOk);
  EXPECT_EQ(Flash.Program(2 * kSector + 0x30, 0x10, Zeros), NorResult::kOk);
  EXPECT_EQ(Storage[2 * kSector + 0x10], 0xFF);
  EXPECT_EQ(Flash.Erase(2 * kSector, kSector), NorResult::kLocked);
  EXPECT_EQ(Flash.Erase(0, 8 * kSector), NorResult::kLocked);
  EXPECT_EQ(Flash.Erase(3 * kSector, kSector), NorResult::kOk);
  // Reads are never refused.
  uint8_t Byte = 0;
  EXPECT_EQ(Flash.Read(2 * kSector + 0x10, 1, &Byte), NorResult::kOk);
  // A power cycle drops the locks.
  Flash.Reset();
  EXPECT_EQ(Flash.Erase(2 * kSector, kSector), NorResult::kOk);
}

TEST_F(NorFlashTest, LockRegionLock_RefusesLaterRegionLocksOnly) {
  ASSERT_EQ(Flash.LockRegion(0, kSector), NorResult::kOk);
  Flash.LockRegionLock();
  EXPECT_EQ(Flash.LockRegion(kSector, kSector), NorResult::kRegionLockLocked);
  EXPECT_EQ(Flash.LockedRegionCount(), 1u);
  EXPECT_EQ(Flash.Erase(kSector, kSector), NorResult::kOk);
  EXPECT_EQ(Flash.Erase(0, kSector), NorResult::kLocked);
}

TEST_F(NorFlashTest, LockTable_HasFixedCapacity) {
  for (uint32_t Index = 0; Index < NorFlash::kMaxLockedRegions; ++Index) {
    ASSERT_EQ(Flash.LockRegion(Index * 8, 4), NorResult::kOk);
  }
  EXPECT_EQ(Flash.LockRegion(kSector, 4), NorResult::kLockTableFull);
  EXPECT_EQ(Flash.LockRegion(kSector, 0), NorResult::kOk);  // nothing to add
}

}  // namespace
