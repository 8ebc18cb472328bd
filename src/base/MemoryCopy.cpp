// Overlap-safe memory copy in the widest unit (8, 4 or 1 byte) that the alignment of both
// addresses allows. It must never become a call to memcpy/memmove: no_builtin stops the optimiser
// from recognising the loops, and the image links no C library.
#include "base/BaseLib.h"
#include "log/DebugLog.h"

namespace {

// Views of arbitrary bytes in units of 8, 4 and 1 byte: may_alias makes the wide accesses legal on
// any object type.
template <uint64_t Size>
struct UnitOf;
template <>
struct UnitOf<8> {
  typedef uint64_t __attribute__((may_alias)) Type;
};
template <>
struct UnitOf<4> {
  typedef uint32_t __attribute__((may_alias)) Type;
};
template <>
struct UnitOf<1> {
  typedef uint8_t Type;
};

template <uint64_t kUnit>
__attribute__((no_builtin)) void CopyAscending(uint8_t *To, const uint8_t *From, uint64_t Length) {
  using Unit = typename UnitOf<kUnit>::Type;
  uint64_t Offset = 0;
  for (; Length - Offset >= kUnit; Offset += kUnit) {
    *reinterpret_cast<Unit *>(To + Offset) = *reinterpret_cast<const Unit *>(From + Offset);
  }
  for (; Offset < Length; ++Offset) {
    To[Offset] = From[Offset];
  }
}

// From the top end down. Bytes above the last whole unit (Length not a multiple of the unit) go
// first, one at a time, so every unit access stays aligned and every source byte is read before
// the destination overwrites it.
template <uint64_t kUnit>
__attribute__((no_builtin)) void CopyDescending(uint8_t *To, const uint8_t *From, uint64_t Length) {
  using Unit = typename UnitOf<kUnit>::Type;
  const uint64_t Whole = Length - Length % kUnit;
  for (uint64_t Offset = Length; Offset > Whole; --Offset) {
    To[Offset - 1] = From[Offset - 1];
  }
  for (uint64_t Offset = Whole; Offset > 0; Offset -= kUnit) {
    *reinterpret_cast<Unit *>(To + Offset - kUnit) =
        *reinterpret_cast<const Unit *>(From + Offset - kUnit);
  }
}

// The direction follows from the addresses alone: upwards when the destination lies below the
// source, downwards otherwise, so overlapping ranges end up with the source's original bytes.
template <uint64_t kUnit>
void CopyUnits(uint8_t *To, const uint8_t *From, uint64_t Length, bool Ascending) {
  if (Ascending) {
    CopyAscending<kUnit>(To, From, Length);
  } else {
    CopyDescending<kUnit>(To, From, Length);
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
  const bool Ascending = Destination < Source;
  // The unit depends on the alignment of both addresses only, never on the length.
  const uint64_t Alignment = Destination | Source;
  if ((Alignment & 7) == 0) {
    CopyUnits<8>(To, From, Length, Ascending);
  } else if ((Alignment & 3) == 0) {
    CopyUnits<4>(To, From, Length, Ascending);
  } else {
    CopyUnits<1>(To, From, Length, Ascending);
  }
  return DestinationBuffer;
}

}  // extern "C"
