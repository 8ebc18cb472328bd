// SPDX-License-Identifier: BSD-3-Clause
// A SPI-NOR flash part: erase sets whole 4 KiB sectors to 0xFF, programming can only clear bits,
// and a fixed table of locked regions refuses later programs and erases that touch them. Offsets
// here are flash offsets (0 = first byte of the part); the secure firmware model maps the
// normal world's flash window onto them. Storage is provided by the caller.
#pragma once

#include <stdint.h>

namespace models {

enum class NorResult : uint8_t {
  kOk,
  kOutOfRange,        // the range leaves the part (or wraps)
  kMisaligned,        // erase offset or length is not a whole number of sectors
  kLocked,            // the range overlaps a locked region
  kLockTableFull,     // no free row left in the lock table
  kRegionLockLocked,  // region locks were themselves locked
};

struct NorLockedRegion {
  uint64_t Offset;
  uint64_t Length;
};

class NorFlash {
 public:
  static constexpr uint64_t kSectorSize = 0x1000;
  static constexpr uint64_t kDefaultSize = 64ULL * 1024 * 1024;
  static constexpr uint32_t kMaxLockedRegions = 16;

  // Storage must hold Size bytes and outlive the model. Its contents are taken as they are: call
  // EraseAll() for a blank part, or fill the storage from an image first.
  NorFlash(uint8_t *Storage, uint64_t Size);
  NorFlash(const NorFlash &) = delete;
  NorFlash &operator=(const NorFlash &) = delete;

  uint64_t Size() const { return Size_; }
  uint8_t *Data() { return Storage_; }
  const uint8_t *Data() const { return Storage_; }

  // True when [Offset, Offset + Length) lies inside the part (Length 0 at Offset == Size is in).
  bool Contains(uint64_t Offset, uint64_t Length) const;

  // Copies Length bytes at Offset into Destination.
  NorResult Read(uint64_t Offset, uint64_t Length, uint8_t *Destination) const;
  // Programs Length bytes: each flash byte becomes old AND new, so only 1 -> 0 transitions happen.
  NorResult Program(uint64_t Offset, uint64_t Length, const uint8_t *Source);
  // Erases whole sectors: Offset and Length must be multiples of kSectorSize.
  NorResult Erase(uint64_t Offset, uint64_t Length);
  // Adds [Offset, Offset + Length) to the lock table. A zero length succeeds and adds nothing.
  NorResult LockRegion(uint64_t Offset, uint64_t Length);
  // After this every LockRegion fails with kRegionLockLocked (until Reset).
  void LockRegionLock() { RegionLockLocked_ = true; }

  bool RegionLockLocked() const { return RegionLockLocked_; }
  uint32_t LockedRegionCount() const { return LockedCount_; }
  const NorLockedRegion &LockedRegion(uint32_t Index) const { return Locked_[Index]; }
  // True when any byte of [Offset, Offset + Length) is inside a locked region.
  bool OverlapsLockedRegion(uint64_t Offset, uint64_t Length) const;

  // Sets every byte to 0xFF without looking at locks (manufacturing state).
  void EraseAll();
  // Power cycle: locks and the region-lock lock are volatile and are dropped; contents stay.
  void Reset();

  // Operation counters, for tests and reports.
  uint64_t ProgramCount() const { return Programs_; }
  uint64_t EraseCount() const { return Erases_; }
  uint64_t ReadCount() const { return Reads_; }

 private:
  uint8_t *Storage_;
  uint64_t Size_;
  NorLockedRegion Locked_[kMaxLockedRegions] = {};
  uint32_t LockedCount_ = 0;
  bool RegionLockLocked_ = false;
  mutable uint64_t Reads_ = 0;
  uint64_t Programs_ = 0;
  uint64_t Erases_ = 0;
};

}  // namespace models
