// SPDX-License-Identifier: BSD-3-Clause
// SipHash-2-4: two compression rounds per 8-byte block, four finalisation rounds.
#include "models/SipHash.h"

namespace models {
namespace {

constexpr uint64_t Rotl(uint64_t Value, int Bits) {
  return (Value << Bits) | (Value >> (64 - Bits));
}

struct SipState {
  uint64_t V0, V1, V2, V3;

  void Round() {
    V0 += V1;
    V1 = Rotl(V1, 13);
    V1 ^= V0;
    V0 = Rotl(V0, 32);
    V2 += V3;
    V3 = Rotl(V3, 16);
    V3 ^= V2;
    V0 += V3;
    V3 = Rotl(V3, 21);
    V3 ^= V0;
    V2 += V1;
    V1 = Rotl(V1, 17);
    V1 ^= V2;
    V2 = Rotl(V2, 32);
  }

  void Absorb(uint64_t Block) {
    V3 ^= Block;
    Round();
    Round();
    V0 ^= Block;
  }
};

uint64_t ReadLittleEndian64(const uint8_t *Bytes) {
  uint64_t Value = 0;
  for (int Index = 7; Index >= 0; --Index) {
    Value = (Value << 8) | Bytes[Index];
  }
  return Value;
}

}  // namespace

SipHashKey SipHashKeyFromBytes(const uint8_t (&Bytes)[16]) {
  return SipHashKey{ReadLittleEndian64(Bytes), ReadLittleEndian64(Bytes + 8)};
}

uint64_t SipHash24(const SipHashKey &Key, const void *Data, uint64_t Length) {
  const uint8_t *Bytes = static_cast<const uint8_t *>(Data);
  SipState State{Key.K0 ^ 0x736F6D6570736575ULL, Key.K1 ^ 0x646F72616E646F6DULL,
                 Key.K0 ^ 0x6C7967656E657261ULL, Key.K1 ^ 0x7465646279746573ULL};

  const uint64_t WholeBlocks = Length / 8;
  for (uint64_t Block = 0; Block < WholeBlocks; ++Block) {
    State.Absorb(ReadLittleEndian64(Bytes + Block * 8));
  }

  // Last block: the remaining bytes, zero padding, and the length modulo 256 in the top byte.
  uint64_t Last = (Length & 0xFF) << 56;
  const uint8_t *Tail = Bytes + WholeBlocks * 8;
  for (uint64_t Index = 0; Index < (Length & 7); ++Index) {
    Last |= static_cast<uint64_t>(Tail[Index]) << (8 * Index);
  }
  State.Absorb(Last);

  State.V2 ^= 0xFF;
  for (int Round = 0; Round < 4; ++Round) {
    State.Round();
  }
  return State.V0 ^ State.V1 ^ State.V2 ^ State.V3;
}

}  // namespace models
