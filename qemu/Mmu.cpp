// SPDX-License-Identifier: BSD-3-Clause
// Translation tables for the identity map. Level 1 covers 4 GiB in 1 GiB entries; each 1 GiB
// slot in use gets a level-2 table of 2 MiB blocks, and a 2 MiB block that needs finer
// permissions is split into a level-3 table of 4 KiB pages carrying the block's attributes.
#include "qemu/Mmu.h"

namespace supervisor {
namespace {

constexpr uint64_t kEntries = 512;
constexpr uint64_t kTablePool = 24;
constexpr uint64_t kBlock = 0x200000;
constexpr uint64_t kPage = 0x1000;

// Descriptor bits.
constexpr uint64_t kValid = 1ULL << 0;
constexpr uint64_t kTableOrPage = 1ULL << 1;
constexpr uint64_t kAttrIndexShift = 2;  // MAIR index
constexpr uint64_t kApEl0 = 1ULL << 6;   // AP[1]: EL0 access
constexpr uint64_t kApReadOnly = 1ULL << 7;
constexpr uint64_t kInnerShareable = 3ULL << 8;
constexpr uint64_t kAccessFlag = 1ULL << 10;
constexpr uint64_t kPxn = 1ULL << 53;
constexpr uint64_t kUxn = 1ULL << 54;
constexpr uint64_t kAddressMask = 0x0000FFFFFFFFF000ULL;

constexpr uint64_t kMairNormal = 0;  // attribute 0: Normal, inner/outer write-back RW-allocate
constexpr uint64_t kMairDevice = 1;  // attribute 1: Device-nGnRE
constexpr uint64_t kMairValue = 0xFFULL | (0x04ULL << 8);

alignas(4096) uint64_t gLevel1[kEntries];
alignas(4096) uint64_t gTables[kTablePool][kEntries];
uint64_t gTablesUsed = 0;

uint64_t Attributes(MemoryKind Kind) {
  const uint64_t Normal = (kMairNormal << kAttrIndexShift) | kInnerShareable | kAccessFlag;
  const uint64_t Device = (kMairDevice << kAttrIndexShift) | kAccessFlag;
  switch (Kind) {
    case MemoryKind::kEl1Data:
      return Normal | kPxn | kUxn;
    case MemoryKind::kEl1Code:
      return Normal | kApReadOnly | kUxn;
    case MemoryKind::kEl1Device:
      return Device | kPxn | kUxn;
    case MemoryKind::kEl0Data:
      return Normal | kApEl0 | kPxn | kUxn;
    case MemoryKind::kEl0Code:
      return Normal | kApEl0 | kApReadOnly | kPxn;
    case MemoryKind::kEl0CodeData:
      return Normal | kApEl0 | kPxn;
    case MemoryKind::kEl0Device:
      return Device | kApEl0 | kPxn | kUxn;
  }
  return 0;
}

uint64_t *NewTable() {
  if (gTablesUsed == kTablePool) {
    return nullptr;
  }
  uint64_t *Table = gTables[gTablesUsed++];
  for (uint64_t Index = 0; Index < kEntries; ++Index) {
    Table[Index] = 0;
  }
  return Table;
}

// The next-level table behind *Entry, made (and filled from a block entry) when needed.
uint64_t *NextTable(uint64_t *Entry, uint64_t BlockSize, bool ChildrenArePages) {
  if ((*Entry & (kValid | kTableOrPage)) == (kValid | kTableOrPage)) {
    return reinterpret_cast<uint64_t *>(*Entry & kAddressMask);
  }
  uint64_t *Table = NewTable();
  if (Table == nullptr) {
    return nullptr;
  }
  if ((*Entry & kValid) != 0) {
    const uint64_t Step = BlockSize / kEntries;
    const uint64_t Output = *Entry & kAddressMask & ~(BlockSize - 1);
    const uint64_t Bits = *Entry & ~kAddressMask & ~kTableOrPage;
    for (uint64_t Index = 0; Index < kEntries; ++Index) {
      Table[Index] = (Output + Index * Step) | Bits | (ChildrenArePages ? kTableOrPage : 0);
    }
  }
  *Entry = reinterpret_cast<uint64_t>(Table) | kValid | kTableOrPage;
  return Table;
}

}  // namespace

bool MapRange(uint64_t Base, uint64_t Size, MemoryKind Kind) {
  const uint64_t Bits = Attributes(Kind) | kValid;
  uint64_t Address = Base;
  const uint64_t End = Base + Size;
  while (Address < End) {
    uint64_t *Level2 = NextTable(&gLevel1[(Address >> 30) & 3], 1ULL << 30, false);
    if (Level2 == nullptr) {
      return false;
    }
    uint64_t *Entry2 = &Level2[(Address >> 21) & (kEntries - 1)];
    if ((Address & (kBlock - 1)) == 0 && End - Address >= kBlock) {
      *Entry2 = Address | Bits;  // a 2 MiB block
      Address += kBlock;
      continue;
    }
    uint64_t *Level3 = NextTable(Entry2, kBlock, true);
    if (Level3 == nullptr) {
      return false;
    }
    Level3[(Address >> 12) & (kEntries - 1)] = Address | Bits | kTableOrPage;
    Address += kPage;
  }
  return true;
}

void EnableMmu() {
  // TCR: T0SZ 32 (4 GiB), walks inner/outer write-back and inner shareable, 4 KiB granule,
  // TTBR1 walks off (EPD1), 40-bit physical addresses.
  const uint64_t Tcr = 32 | (1ULL << 8) | (1ULL << 10) | (3ULL << 12) | (1ULL << 23) | (2ULL << 32);
  // SCTLR: M, A, C, SA, SA0 (bits 0 to 4), I (bit 12) and the RES1 bits; WXN off. Alignment
  // checks (A) are on, so a misaligned load faults at EL0 as it would on a strictly mapped record.
  const uint64_t Sctlr = 0x30D00800ULL | 0x101F;
  asm volatile(
      "dsb sy\n"
      "msr mair_el1, %0\n"
      "msr tcr_el1, %1\n"
      "msr ttbr0_el1, %2\n"
      "isb\n"
      "tlbi vmalle1\n"
      "dsb sy\n"
      "ic iallu\n"
      "isb\n"
      "msr sctlr_el1, %3\n"
      "isb\n" ::"r"(kMairValue),
      "r"(Tcr), "r"(reinterpret_cast<uint64_t>(gLevel1)), "r"(Sctlr)
      : "memory");
}

void SyncInstructions(uint64_t Base, uint64_t Size) {
  for (uint64_t Line = Base & ~63ULL; Line < Base + Size; Line += 64) {
    asm volatile("dc cvau, %0" ::"r"(Line) : "memory");
  }
  asm volatile("dsb ish\nic iallu\ndsb ish\nisb" ::: "memory");
}

}  // namespace supervisor
