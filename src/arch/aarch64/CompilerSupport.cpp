// SPDX-License-Identifier: BSD-3-Clause
// The compiler turns structure copies and zero-initialisation into calls to memcpy and memset even
// in freestanding code; the image provides them. no_builtin keeps the optimiser from recognising
// the loops and turning them back into calls to themselves.
#include <stddef.h>
#include <stdint.h>

extern "C" {

__attribute__((no_builtin("memcpy"))) void *memcpy(void *Destination, const void *Source,
                                                   size_t Length) {
  auto *To = static_cast<uint8_t *>(Destination);
  const auto *From = static_cast<const uint8_t *>(Source);
  for (size_t Index = 0; Index < Length; ++Index) {
    To[Index] = From[Index];
  }
  return Destination;
}

__attribute__((no_builtin("memset"))) void *memset(void *Destination, int Value, size_t Length) {
  auto *To = static_cast<uint8_t *>(Destination);
  for (size_t Index = 0; Index < Length; ++Index) {
    To[Index] = static_cast<uint8_t>(Value);
  }
  return Destination;
}

}  // extern "C"
