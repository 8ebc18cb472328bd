// SPDX-License-Identifier: BSD-3-Clause
// NOR flash semantics over caller-provided storage.
#include "models/NorFlash.h"

namespace models {

NorFlash::NorFlash(uint8_t *Storage, uint64_t Size) : Storage_(Storage), Size_(Size) {}

bool NorFlash::Contains(uint64_t Offset, uint64_t Length) const {
  return Offset <= Size_ && Length <= Size_ - Offset;
}

bool NorFlash::OverlapsLockedRegion(uint64_t Offset, uint64_t Length) const {
  if (Length == 0) {
    return false;
  }
  const uint64_t Last = Offset + (Length - 1);
  for (uint32_t Index = 0; Index < LockedCount_; ++Index) {
    const NorLockedRegion &Region = Locked_[Index];
    const uint64_t RegionLast = Region.Offset + (Region.Length - 1);
    if (Offset <= RegionLast && Region.Offset <= Last) {
      return true;
    }
  }
  return false;
}

NorResult NorFlash::Read(uint64_t Offset, uint64_t Length, uint8_t *Destination) const {
  if (!Contains(Offset, Length)) {
    return NorResult::kOutOfRange;
  }
  ++Reads_;
  if (Length != 0) {
    __builtin_memcpy(Destination, Storage_ + Offset, Length);
  }
  return NorResult::kOk;
}

NorResult NorFlash::Program(uint64_t Offset, uint64_t Length, const uint8_t *Source) {
  if (!Contains(Offset, Length)) {
    return NorResult::kOutOfRange;
  }
  if (OverlapsLockedRegion(Offset, Length)) {
    return NorResult::kLocked;
  }
  ++Programs_;
  for (uint64_t Index = 0; Index < Length; ++Index) {
    Storage_[Offset + Index] &= Source[Index];
  }
  return NorResult::kOk;
}

NorResult NorFlash::Erase(uint64_t Offset, uint64_t Length) {
  if (!Contains(Offset, Length)) {
    return NorResult::kOutOfRange;
  }
  if (Offset % kSectorSize != 0 || Length % kSectorSize != 0) {
    return NorResult::kMisaligned;
  }
  if (OverlapsLockedRegion(Offset, Length)) {
    return NorResult::kLocked;
  }
  ++Erases_;
  if (Length != 0) {
    __builtin_memset(Storage_ + Offset, 0xFF, Length);
  }
  return NorResult::kOk;
}

NorResult NorFlash::LockRegion(uint64_t Offset, uint64_t Length) {
  if (RegionLockLocked_) {
    return NorResult::kRegionLockLocked;
  }
  if (!Contains(Offset, Length)) {
    return NorResult::kOutOfRange;
  }
  if (Length == 0) {
    return NorResult::kOk;
  }
  if (LockedCount_ == kMaxLockedRegions) {
    return NorResult::kLockTableFull;
  }
  Locked_[LockedCount_++] = NorLockedRegion{Offset, Length};
  return NorResult::kOk;
}

void NorFlash::EraseAll() {
  if (Size_ != 0) {
    __builtin_memset(Storage_, 0xFF, Size_);
  }
}

void NorFlash::Reset() {
  LockedCount_ = 0;
  RegionLockLocked_ = false;
}

}  // namespace models
