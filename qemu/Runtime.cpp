// SPDX-License-Identifier: BSD-3-Clause
// What the compiler expects of a C++ runtime in freestanding code. memcpy and memset move whole
// words where both sides allow it: the models copy flash contents with them, megabytes per request
// in serve mode, and emulated byte loops would dominate a whole-flash read. (The image has its own,
// src/arch/aarch64/CompilerSupport.cpp.)
#include <stddef.h>
#include <stdint.h>

#include "qemu/Semihosting.h"

extern "C" {

__attribute__((no_builtin("memcpy"))) void *memcpy(void *Destination, const void *Source,
                                                   size_t Length) {
  auto *To = static_cast<uint8_t *>(Destination);
  const auto *From = static_cast<const uint8_t *>(Source);
  size_t Index = 0;
  if (((reinterpret_cast<uintptr_t>(To) ^ reinterpret_cast<uintptr_t>(From)) & 7) == 0) {
    for (; Index < Length && (reinterpret_cast<uintptr_t>(To + Index) & 7) != 0; ++Index) {
      To[Index] = From[Index];
    }
    for (; Length - Index >= 8; Index += 8) {
      *reinterpret_cast<uint64_t *>(To + Index) = *reinterpret_cast<const uint64_t *>(From + Index);
    }
  }
  for (; Index < Length; ++Index) {
    To[Index] = From[Index];
  }
  return Destination;
}

__attribute__((no_builtin("memset"))) void *memset(void *Destination, int Value, size_t Length) {
  auto *To = static_cast<uint8_t *>(Destination);
  const uint64_t Word = static_cast<uint8_t>(Value) * 0x0101010101010101ULL;
  size_t Index = 0;
  for (; Index < Length && (reinterpret_cast<uintptr_t>(To + Index) & 7) != 0; ++Index) {
    To[Index] = static_cast<uint8_t>(Value);
  }
  for (; Length - Index >= 8; Index += 8) {
    *reinterpret_cast<uint64_t *>(To + Index) = Word;
  }
  for (; Index < Length; ++Index) {
    To[Index] = static_cast<uint8_t>(Value);
  }
  return Destination;
}

__attribute__((no_builtin("memmove"))) void *memmove(void *Destination, const void *Source,
                                                     size_t Length) {
  auto *To = static_cast<uint8_t *>(Destination);
  const auto *From = static_cast<const uint8_t *>(Source);
  if (To < From) {
    for (size_t Index = 0; Index < Length; ++Index) {
      To[Index] = From[Index];
    }
  } else {
    for (size_t Index = Length; Index > 0; --Index) {
      To[Index - 1] = From[Index - 1];
    }
  }
  return Destination;
}

int memcmp(const void *Left, const void *Right, size_t Length) {
  const auto *A = static_cast<const uint8_t *>(Left);
  const auto *B = static_cast<const uint8_t *>(Right);
  for (size_t Index = 0; Index < Length; ++Index) {
    if (A[Index] != B[Index]) {
      return A[Index] < B[Index] ? -1 : 1;
    }
  }
  return 0;
}

size_t strlen(const char *Text) {
  size_t Length = 0;
  while (Text[Length] != '\0') {
    ++Length;
  }
  return Length;
}

void __cxa_pure_virtual() {
  supervisor::SemihostWrite("FAULT pure virtual call\n");
  supervisor::SemihostExit(supervisor::kExitSupervisorFault);
}

}  // extern "C"

void operator delete(void *, size_t) noexcept {}
void operator delete(void *) noexcept {}
