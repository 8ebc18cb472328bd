// SPDX-License-Identifier: BSD-3-Clause
// Packed texts: short texts back to back in one literal, each ended by its NUL and named by its
// offset there. The image holds each text's characters once and no pointer to relocate. A list of
// X(Id, Text) entries gives both the literal and the offsets, so their order cannot drift apart:
//   constexpr char kTexts[] = LIST(VARNEL_PACKED_TEXT);
//   enum TextOffset : uint16_t { LIST(VARNEL_PACKED_OFFSET) };  // kId: where Text starts
// A too-small underlying type for the offsets does not compile.
#pragma once

#include <stdint.h>

#define VARNEL_PACKED_TEXT(Id, Text) Text "\0"
#define VARNEL_PACKED_OFFSET(Id, Text) k##Id, k##Id##End = k##Id + sizeof(Text) - 1,

namespace packedtext {

constexpr bool Same(const char *A, const char *B) {
  uint32_t Index = 0;
  while (A[Index] != '\0' && A[Index] == B[Index]) {
    ++Index;
  }
  return A[Index] == B[Index];
}

// The text after Index others, counting from the literal's start. Walking is cheap enough for
// the rare lookups that use it (status names); everything else names its texts by offset.
constexpr const char *Nth(const char *Texts, uint32_t Index) {
  for (; Index > 0; --Index) {
    while (*Texts != '\0') {
      ++Texts;
    }
    ++Texts;
  }
  return Texts;
}

// The number of texts in a packed literal (the literal's own closing NUL ends none).
template <uint32_t Bytes>
constexpr uint32_t Count(const char (&Texts)[Bytes]) {
  uint32_t Found = 0;
  for (uint32_t Index = 0; Index + 1 < Bytes; ++Index) {
    Found += Texts[Index] == '\0' ? 1 : 0;
  }
  return Found;
}

}  // namespace packedtext
