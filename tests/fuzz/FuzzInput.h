// SPDX-License-Identifier: BSD-3-Clause
// Reads a fuzz input as a stream of small decisions; past its end every read answers 0, so any
// input, even an empty one, describes a complete case.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t *Data, size_t Size) : Data_(Data), Size_(Size) {}

  bool Empty() const { return Position_ >= Size_; }

  uint8_t Byte() { return Position_ < Size_ ? Data_[Position_++] : 0; }
  uint8_t Peek() const { return Position_ < Size_ ? Data_[Position_] : 0; }

  uint64_t Bytes(unsigned Count) {
    uint64_t Value = 0;
    for (unsigned I = 0; I < Count; ++I) Value |= static_cast<uint64_t>(Byte()) << (8 * I);
    return Value;
  }

  uint16_t U16() { return static_cast<uint16_t>(Bytes(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Bytes(4)); }
  uint64_t U64() { return Bytes(8); }

  // A value below Bound (Bound > 0).
  uint64_t Below(uint64_t Bound) { return U16() % Bound; }

  // One of the values in a table.
  template <typename T, size_t N>
  T Pick(const T (&Table)[N]) {
    return Table[Byte() % N];
  }

 private:
  const uint8_t *Data_;
  size_t Size_;
  size_t Position_ = 0;
};

}  // namespace fuzz
