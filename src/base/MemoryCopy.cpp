// SPDX-License-Identifier: BSD-3-Clause
// Overlap-safe memory copy in the widest unit (8, 4 or 1 byte) that the alignment of both
// addresses allows. It must never become a call to memcpy/memmove: no_builtin stops the optimiser
// from recognising the loops, and the image links no C library.
#include "base/Assertion.h"
#include "base/MemoryStringRegister.h"

namespace {

// Views of arbitrary bytes as 8- and 4-byte units: may_alias makes the wide accesses legal on any
// object type.
typedef uint64_t __attribute__((may_alias)) Unit64;
typedef uint32_t __attribute__((may_alias)) Unit32;

// One load and one store of the unit's width; both addresses are multiples of the unit.
inline void MoveUnit(uint8_t *To, const uint8_t *From, uint64_t Unit) {
  if (Unit == 8) {
    *reinterpret_cast<Unit64 *>(To) = *reinterpret_cast<const Unit64 *>(From);
  } else if (Unit == 4) {
    *reinterpret_cast<Unit32 *>(To) = *reinterpret_cast<const Unit32 *>(From);
  } else {
    *To = *From;
  }
}

}  // namespace

extern "C" {

__attribute__((no_builtin)) void *MemoryCopy(void *DestinationBuffer, const void *SourceBuffer,
                                             uint64_t Length) {
  // A zero-length copy touches nothing and reports nothing (Length - 1 would wrap below).
  if (Length == 0) {
    return DestinationBuffer;
  }
  const uint64_t Destination = reinterpret_cast<uint64_t>(DestinationBuffer);
  const uint64_t Source = reinterpret_cast<uint64_t>(SourceBuffer);
  if (AssertChecksEnabled()) {
    if ((Length - 1) > (0xFFFFFFFFFFFFFFFFULL - Destination)) {
      AssertReport(__FILE__, __LINE__,
                   "(Length - 1) <= (0xFFFFFFFFFFFFFFFFULL - (UINTN)DestinationBuffer)");
    }
    if ((Length - 1) > (0xFFFFFFFFFFFFFFFFULL - Source)) {
      AssertReport(__FILE__, __LINE__,
                   "(Length - 1) <= (0xFFFFFFFFFFFFFFFFULL - (UINTN)SourceBuffer)");
    }
  }
  if (Destination == Source) {
    return DestinationBuffer;
  }

  auto *To = static_cast<uint8_t *>(DestinationBuffer);
  const auto *From = static_cast<const uint8_t *>(SourceBuffer);
  // The unit depends on the alignment of both addresses only, never on the length.
  const uint64_t Alignment = Destination | Source;
  const uint64_t Unit = (Alignment & 7) == 0 ? 8 : (Alignment & 3) == 0 ? 4 : 1;
  // Bytes past the last whole unit (none for the callers' multiples of 8) move one at a time.
  const uint64_t Whole = Length & ~(Unit - 1);

  if (Destination < Source) {
    // Upwards: every source byte is read before the copy, running behind it, overwrites it.
    for (uint64_t Offset = 0; Offset < Whole; Offset += Unit) {
      MoveUnit(To + Offset, From + Offset, Unit);
    }
    for (uint64_t Offset = Whole; Offset < Length; ++Offset) {
      To[Offset] = From[Offset];
    }
  } else {
    // Downwards from the top end: the bytes past the last whole unit first, so every unit access
    // stays aligned.
    for (uint64_t Offset = Length; Offset > Whole; --Offset) {
      To[Offset - 1] = From[Offset - 1];
    }
    for (uint64_t Offset = Whole; Offset > 0; Offset -= Unit) {
      MoveUnit(To + Offset - Unit, From + Offset - Unit, Unit);
    }
  }
  return DestinationBuffer;
}

}  // extern "C"
