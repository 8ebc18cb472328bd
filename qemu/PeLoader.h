// SPDX-License-Identifier: BSD-3-Clause
// Loads a PE32+ image as a PI MM core does: headers and sections copied to a page-aligned
// address, the rest of the image zeroed, DIR64 base relocations applied for the distance to the
// preferred base.
#pragma once

#include <stdint.h>

namespace supervisor {

enum class LoadResult : uint8_t {
  kOk,
  kNotPe,          // no MZ/PE signature, or headers outside the file
  kWrongMachine,   // not AArch64 (0xAA64) or not PE32+
  kTooLarge,       // SizeOfImage above the room given
  kBadSection,     // a section outside the file or the image
  kBadRelocation,  // a relocation block outside the image, or a type other than DIR64
  kMisaligned,     // load address not a multiple of 4 KiB
};

struct LoadedImage {
  uint64_t Base;        // where the image now lives
  uint64_t Size;        // SizeOfImage
  uint64_t EntryPoint;  // Base + AddressOfEntryPoint
  uint64_t PreferredBase;
  uint64_t Relocations;  // DIR64 entries applied
};

// Loads the File (FileSize bytes) at Destination, which has room for Room bytes.
LoadResult LoadPeImage(const uint8_t *File, uint64_t FileSize, uint8_t *Destination, uint64_t Room,
                       LoadedImage *Image);

const char *LoadResultName(LoadResult Result);

}  // namespace supervisor
