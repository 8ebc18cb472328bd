// SPDX-License-Identifier: BSD-3-Clause
// PE32+ loading: header and section walk, copy, and base relocation.
#include "qemu/PeLoader.h"

namespace supervisor {
namespace {

constexpr uint16_t kMachineArm64 = 0xAA64;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kRelocationDirectory = 5;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocDir64 = 10;

uint16_t Read16(const uint8_t *At) {
  return static_cast<uint16_t>(At[0] | (At[1] << 8));
}
uint32_t Read32(const uint8_t *At) {
  return Read16(At) | (static_cast<uint32_t>(Read16(At + 2)) << 16);
}
uint64_t Read64(const uint8_t *At) {
  return Read32(At) | (static_cast<uint64_t>(Read32(At + 4)) << 32);
}

// True when [Offset, Offset + Length) lies within Size bytes.
bool Within(uint64_t Offset, uint64_t Length, uint64_t Size) {
  return Offset <= Size && Length <= Size - Offset;
}

}  // namespace

LoadResult LoadPeImage(const uint8_t *File, uint64_t FileSize, uint8_t *Destination, uint64_t Room,
                       LoadedImage *Image) {
  if ((reinterpret_cast<uint64_t>(Destination) & 0xFFF) != 0) {
    return LoadResult::kMisaligned;
  }
  if (FileSize < 0x40 || File[0] != 'M' || File[1] != 'Z') {
    return LoadResult::kNotPe;
  }
  const uint64_t Pe = Read32(File + 0x3C);
  if (!Within(Pe, 24, FileSize) || Read32(File + Pe) != 0x00004550) {
    return LoadResult::kNotPe;
  }
  const uint16_t Machine = Read16(File + Pe + 4);
  const uint16_t SectionCount = Read16(File + Pe + 6);
  const uint16_t OptionalSize = Read16(File + Pe + 20);
  const uint64_t Optional = Pe + 24;
  if (!Within(Optional, OptionalSize, FileSize) || OptionalSize < 112 + 8 * 6) {
    return LoadResult::kNotPe;
  }
  if (Machine != kMachineArm64 || Read16(File + Optional) != kMagicPe32Plus) {
    return LoadResult::kWrongMachine;
  }
  const uint32_t EntryRva = Read32(File + Optional + 16);
  const uint64_t PreferredBase = Read64(File + Optional + 24);
  const uint32_t ImageSize = Read32(File + Optional + 56);
  const uint32_t HeaderSize = Read32(File + Optional + 60);
  const uint32_t DirectoryCount = Read32(File + Optional + 108);
  if (ImageSize > Room) {
    return LoadResult::kTooLarge;
  }
  if (HeaderSize > ImageSize || !Within(0, HeaderSize, FileSize) || EntryRva >= ImageSize) {
    return LoadResult::kNotPe;
  }

  for (uint64_t Index = 0; Index < ImageSize; ++Index) {
    Destination[Index] = 0;
  }
  for (uint64_t Index = 0; Index < HeaderSize; ++Index) {
    Destination[Index] = File[Index];
  }
  const uint64_t Sections = Optional + OptionalSize;
  if (!Within(Sections, 40ULL * SectionCount, FileSize)) {
    return LoadResult::kNotPe;
  }
  for (uint16_t Section = 0; Section < SectionCount; ++Section) {
    const uint8_t *Header = File + Sections + 40ULL * Section;
    const uint32_t VirtualSize = Read32(Header + 8);
    const uint32_t VirtualAddress = Read32(Header + 12);
    const uint32_t RawSize = Read32(Header + 16);
    const uint32_t RawOffset = Read32(Header + 20);
    // The bytes in the file beyond VirtualSize are padding; the image keeps zeros there.
    const uint32_t CopySize = RawSize < VirtualSize ? RawSize : VirtualSize;
    if (!Within(VirtualAddress, VirtualSize, ImageSize) || !Within(RawOffset, CopySize, FileSize)) {
      return LoadResult::kBadSection;
    }
    for (uint64_t Index = 0; Index < CopySize; ++Index) {
      Destination[VirtualAddress + Index] = File[RawOffset + Index];
    }
  }

  const uint64_t Base = reinterpret_cast<uint64_t>(Destination);
  const uint64_t Delta = Base - PreferredBase;
  uint64_t Applied = 0;
  if (DirectoryCount > kRelocationDirectory) {
    const uint32_t RelocRva = Read32(File + Optional + 112 + 8 * kRelocationDirectory);
    const uint32_t RelocSize = Read32(File + Optional + 116 + 8 * kRelocationDirectory);
    if (!Within(RelocRva, RelocSize, ImageSize)) {
      return LoadResult::kBadRelocation;
    }
    uint64_t Block = RelocRva;
    const uint64_t End = static_cast<uint64_t>(RelocRva) + RelocSize;
    while (Block + 8 <= End) {
      const uint32_t PageRva = Read32(Destination + Block);
      const uint32_t BlockSize = Read32(Destination + Block + 4);
      if (BlockSize < 8 || !Within(Block, BlockSize, End)) {
        return LoadResult::kBadRelocation;
      }
      for (uint64_t Entry = Block + 8; Entry + 2 <= Block + BlockSize; Entry += 2) {
        const uint16_t Word = Read16(Destination + Entry);
        const uint16_t Type = Word >> 12;
        const uint64_t Target = static_cast<uint64_t>(PageRva) + (Word & 0xFFF);
        if (Type == kRelocAbsolute) {
          continue;
        }
        if (Type != kRelocDir64 || !Within(Target, 8, ImageSize)) {
          return LoadResult::kBadRelocation;
        }
        const uint64_t Value = Read64(Destination + Target) + Delta;
        for (uint64_t Byte = 0; Byte < 8; ++Byte) {
          Destination[Target + Byte] = static_cast<uint8_t>(Value >> (8 * Byte));
        }
        ++Applied;
      }
      Block += BlockSize;
    }
  }

  Image->Base = Base;
  Image->Size = ImageSize;
  Image->EntryPoint = Base + EntryRva;
  Image->PreferredBase = PreferredBase;
  Image->Relocations = Applied;
  return LoadResult::kOk;
}

const char *LoadResultName(LoadResult Result) {
  switch (Result) {
    case LoadResult::kOk:
      return "loaded";
    case LoadResult::kNotPe:
      return "not a PE image";
    case LoadResult::kWrongMachine:
      return "not a PE32+ AArch64 image";
    case LoadResult::kTooLarge:
      return "image larger than its room";
    case LoadResult::kBadSection:
      return "section outside the file or the image";
    case LoadResult::kBadRelocation:
      return "bad base relocation";
    case LoadResult::kMisaligned:
      return "load address not 4 KiB-aligned";
  }
  return "?";
}

}  // namespace supervisor
