// What the compiler expects of a C++ runtime in freestanding code, beyond the image's memcpy and
// memset (src/arch/aarch64/CompilerSupport.cpp, built into the supervisor too).
#include <stddef.h>
#include <stdint.h>

#include "qemu/Semihosting.h"

extern "C" {

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
