// SPDX-License-Identifier: BSD-3-Clause
// Deliberately broken copies of VarnelMm.efi for the tests of the QEMU target: one instruction of
// the built image replaced (at the entry point, or at a function named in the link map).
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace imagepatch {

constexpr uint32_t kUndefined = 0x00000000;     // udf #0
constexpr uint32_t kBranchToSelf = 0x14000000;  // b .
constexpr uint32_t kLoadFromX0 = 0xF9400000;    // ldr x0, [x0]

inline std::vector<uint8_t> ReadBytes(const std::string &Path) {
  std::ifstream Input(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(Input), std::istreambuf_iterator<char>()};
}

inline uint32_t Read32(const std::vector<uint8_t> &Bytes, size_t At) {
  uint32_t Value = 0;
  if (At + 4 <= Bytes.size()) {
    std::memcpy(&Value, &Bytes[At], sizeof(Value));
  }
  return Value;
}

inline uint32_t EntryRva(const std::string &Image) {
  const std::vector<uint8_t> Bytes = ReadBytes(Image);
  return Read32(Bytes, Read32(Bytes, 0x3C) + 24 + 16);
}

// The RVA of a public symbol in a link map of lld-link's /map format ("0001:... Name Rva+Base").
inline uint32_t SymbolRva(const std::string &Map, const std::string &Name) {
  std::ifstream Input(Map);
  for (std::string Line; std::getline(Input, Line);) {
    std::istringstream Words(Line);
    std::string Address;
    std::string Symbol;
    std::string Rva;
    if (Words >> Address >> Symbol >> Rva && Symbol == Name) {
      return static_cast<uint32_t>(std::stoul(Rva, nullptr, 16));
    }
  }
  return 0;
}

// Writes Image to To with the instruction at Rva replaced; false when no section holds Rva.
inline bool Patch(const std::string &Image, uint32_t Rva, uint32_t Instruction,
                  const std::string &To) {
  std::vector<uint8_t> Bytes = ReadBytes(Image);
  const uint32_t Pe = Read32(Bytes, 0x3C);
  const uint32_t Sections = Pe + 24 + (Read32(Bytes, Pe + 20) & 0xFFFF);
  const uint32_t Count = Read32(Bytes, Pe + 6) & 0xFFFF;
  bool Done = false;
  for (uint32_t Index = 0; Index < Count && !Done; ++Index) {
    const uint32_t Header = Sections + 40 * Index;
    const uint32_t Address = Read32(Bytes, Header + 12);
    const uint32_t At = Read32(Bytes, Header + 20) + Rva - Address;
    if (Rva >= Address && Rva - Address < Read32(Bytes, Header + 8) && At + 4 <= Bytes.size()) {
      std::memcpy(&Bytes[At], &Instruction, 4);
      Done = true;
    }
  }
  std::ofstream(To, std::ios::binary)
      .write(reinterpret_cast<const char *>(Bytes.data()),
             static_cast<std::streamsize>(Bytes.size()));
  return Done;
}

}  // namespace imagepatch
