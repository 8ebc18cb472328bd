// SPDX-License-Identifier: BSD-3-Clause
// The supervisor's PE32+ loader: copies headers and sections, zero-fills, relocates by the
// distance to the preferred base, and refuses images an MM core could not load.
#include "qemu/PeLoader.h"

#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <vector>

namespace {

using supervisor::LoadedImage;
using supervisor::LoadPeImage;
using supervisor::LoadResult;

constexpr uint64_t kPreferredBase = 0x10000000;
constexpr uint32_t kPe = 0x40;
constexpr uint32_t kOptional = kPe + 24;
constexpr uint32_t kSections = kOptional + 240;
constexpr uint32_t kTextFile = 0x400;
constexpr uint32_t kRelocFile = 0x600;

void Put16(std::vector<uint8_t> &File, uint32_t At, uint16_t Value) {
  memcpy(&File[At], &Value, 2);
}
void Put32(std::vector<uint8_t> &File, uint32_t At, uint32_t Value) {
  memcpy(&File[At], &Value, 4);
}
void Put64(std::vector<uint8_t> &File, uint32_t At, uint64_t Value) {
  memcpy(&File[At], &Value, 8);
}

void PutSection(std::vector<uint8_t> &File, int Index, const char *Name, uint32_t VirtualSize,
                uint32_t VirtualAddress, uint32_t RawSize, uint32_t RawOffset) {
  const uint32_t At = kSections + 40 * Index;
  memcpy(&File[At], Name, strlen(Name));
  Put32(File, At + 8, VirtualSize);
  Put32(File, At + 12, VirtualAddress);
  Put32(File, At + 16, RawSize);
  Put32(File, At + 20, RawOffset);
}

// A two-section image: .text at RVA 0x1000 holding, at RVA 0x1010, the absolute address of RVA
// 0x1008 (one DIR64 relocation plus an ABSOLUTE padding entry), and .reloc at RVA 0x2000.
std::vector<uint8_t> SmallImage() {
  std::vector<uint8_t> File(0x800, 0);
  File[0] = 'M';
  File[1] = 'Z';
  Put32(File, 0x3C, kPe);
  Put32(File, kPe, 0x00004550);
  Put16(File, kPe + 4, 0xAA64);
  Put16(File, kPe + 6, 2);
  Put16(File, kPe + 20, 240);
  Put16(File, kOptional, 0x20B);
  Put32(File, kOptional + 16, 0x1000);  // entry point
  Put64(File, kOptional + 24, kPreferredBase);
  Put32(File, kOptional + 56, 0x3000);  // SizeOfImage
  Put32(File, kOptional + 60, 0x400);   // SizeOfHeaders
  Put32(File, kOptional + 108, 16);
  Put32(File, kOptional + 112 + 8 * 5, 0x2000);
  Put32(File, kOptional + 116 + 8 * 5, 12);
  PutSection(File, 0, ".text", 0x100, 0x1000, 0x200, kTextFile);
  PutSection(File, 1, ".reloc", 12, 0x2000, 0x200, kRelocFile);
  Put64(File, kTextFile + 0x10, kPreferredBase + 0x1008);
  File[kTextFile + 0x150] = 0xEE;  // file padding beyond VirtualSize: must not be loaded
  Put32(File, kRelocFile, 0x1000);
  Put32(File, kRelocFile + 4, 12);
  Put16(File, kRelocFile + 8, (10 << 12) | 0x010);
  Put16(File, kRelocFile + 10, 0);
  return File;
}

struct Destination {
  alignas(4096) uint8_t Bytes[0x4000];
};

TEST(PeLoader, LoadsCopiesZeroFillsAndRelocates) {
  const std::vector<uint8_t> File = SmallImage();
  auto Memory = std::make_unique<Destination>();
  memset(Memory->Bytes, 0xAA, sizeof(Memory->Bytes));
  LoadedImage Image = {};
  ASSERT_EQ(LoadPeImage(File.data(), File.size(), Memory->Bytes, sizeof(Memory->Bytes), &Image),
            LoadResult::kOk);
  const uint64_t Base = reinterpret_cast<uint64_t>(Memory->Bytes);
  EXPECT_EQ(Image.Base, Base);
  EXPECT_EQ(Image.EntryPoint, Base + 0x1000);
  EXPECT_EQ(Image.Size, 0x3000u);
  EXPECT_EQ(Image.Relocations, 1u);
  EXPECT_EQ(memcmp(Memory->Bytes, File.data(), 0x400), 0) << "headers copied";
  uint64_t Pointer;
  memcpy(&Pointer, Memory->Bytes + 0x1010, 8);
  EXPECT_EQ(Pointer, Base + 0x1008);
  EXPECT_EQ(Memory->Bytes[0x1150], 0) << "file padding past VirtualSize is not loaded";
  EXPECT_EQ(Memory->Bytes[0x2FFF], 0) << "the rest of the image is zeroed";
  EXPECT_EQ(Memory->Bytes[0x3000], 0xAA) << "nothing written past SizeOfImage";
}

struct BadImage {
  const char *Name;
  std::function<void(std::vector<uint8_t> &)> Break;
  LoadResult Expected;
};

TEST(PeLoader, RefusesImagesItCannotLoad) {
  const BadImage kCases[] = {
      {"no MZ", [](auto &F) { F[0] = 'X'; }, LoadResult::kNotPe},
      {"no PE signature", [](auto &F) { F[kPe] = 'X'; }, LoadResult::kNotPe},
      {"PE header beyond the file", [](auto &F) { Put32(F, 0x3C, 0x7F0); }, LoadResult::kNotPe},
      {"x86-64", [](auto &F) { Put16(F, kPe + 4, 0x8664); }, LoadResult::kWrongMachine},
      {"PE32", [](auto &F) { Put16(F, kOptional, 0x10B); }, LoadResult::kWrongMachine},
      {"image larger than the room", [](auto &F) { Put32(F, kOptional + 56, 0x5000); },
       LoadResult::kTooLarge},
      {"section beyond the image", [](auto &F) { Put32(F, kSections + 12, 0x2F80); },
       LoadResult::kBadSection},
      {"section data beyond the file", [](auto &F) { Put32(F, kSections + 20, 0x7F0); },
       LoadResult::kBadSection},
      {"HIGHLOW relocation", [](auto &F) { Put16(F, kRelocFile + 8, (3 << 12) | 0x10); },
       LoadResult::kBadRelocation},
      {"relocation target past the image",
       [](auto &F) {
         Put32(F, kRelocFile, 0x2FF8 & ~0xFFFu);
         Put16(F, kRelocFile + 8, (10 << 12) | 0xFFC);
       },
       LoadResult::kBadRelocation},
      {"relocation block longer than its directory", [](auto &F) { Put32(F, kRelocFile + 4, 16); },
       LoadResult::kBadRelocation},
  };
  for (const BadImage &Case : kCases) {
    std::vector<uint8_t> File = SmallImage();
    Case.Break(File);
    auto Memory = std::make_unique<Destination>();
    LoadedImage Image = {};
    EXPECT_EQ(LoadPeImage(File.data(), File.size(), Memory->Bytes, sizeof(Memory->Bytes), &Image),
              Case.Expected)
        << Case.Name;
  }
}

TEST(PeLoader, RefusesADestinationThatIsNotPageAligned) {
  const std::vector<uint8_t> File = SmallImage();
  auto Memory = std::make_unique<Destination>();
  LoadedImage Image = {};
  EXPECT_EQ(LoadPeImage(File.data(), File.size(), Memory->Bytes + 8, 0x3000, &Image),
            LoadResult::kMisaligned);
}

}  // namespace
