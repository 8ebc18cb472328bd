// SPDX-License-Identifier: BSD-3-Clause
// Status name table: the 39 names packed back to back, each ended by its NUL, so the table costs
// only its characters (no pointer per row, no relocations in the image).
#include "print/StatusName.h"

#include "base/PackedText.h"
#include "base/UefiTypes.h"

namespace print {
namespace {

constexpr uint64_t kLastWarning = 5;  // rows 0 to 5: success and the warnings 1 to 5
constexpr uint64_t kLastError = 33;   // rows 6 to 38: the errors 1 to 33

constexpr char kNames[] =
    "Success\0"
    "Warning Unknown Glyph\0"
    "Warning Delete Failure\0"
    "Warning Write Failure\0"
    "Warning Buffer Too Small\0"
    "Warning Stale Data\0"
    "Load Error\0"
    "Invalid Parameter\0"
    "Unsupported\0"
    "Bad Buffer Size\0"
    "Buffer Too Small\0"
    "Not Ready\0"
    "Device Error\0"
    "Write Protected\0"
    "Out of Resources\0"
    "Volume Corrupt\0"
    "Volume Full\0"
    "No Media\0"
    "Media changed\0"
    "Not Found\0"
    "Access Denied\0"
    "No Response\0"
    "No mapping\0"
    "Time out\0"
    "Not started\0"
    "Already started\0"
    "Aborted\0"
    "ICMP Error\0"
    "TFTP Error\0"
    "Protocol Error\0"
    "Incompatible Version\0"
    "Security Violation\0"
    "CRC Error\0"
    "End of Media\0"
    "Reserved (29)\0"
    "Reserved (30)\0"
    "End of File\0"
    "Invalid Language\0"
    "Compromised Data\0";

static_assert(packedtext::Count(kNames) == kLastWarning + 1 + kLastError);

}  // namespace

const char *StatusName(uint64_t Status) {
  uint64_t Row;
  if (!EfiError(Status)) {
    if (Status > kLastWarning) {
      return nullptr;
    }
    Row = Status;
  } else {
    const uint64_t Code = Status & ~kEfiErrorBit;
    if (Code == 0 || Code > kLastError) {
      return nullptr;
    }
    Row = Code + kLastWarning;
  }
  // %r is rare (status assertions only), so a walk over the packed rows is cheap enough.
  return packedtext::Nth(kNames, static_cast<uint32_t>(Row));
}

}  // namespace print
