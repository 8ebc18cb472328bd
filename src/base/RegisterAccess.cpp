// SPDX-License-Identifier: BSD-3-Clause
// Checked 32-bit device-register access on top of the platform seam's single volatile accesses.
#include "arch/Arch.h"
#include "base/Assertion.h"
#include "base/MemoryStringRegister.h"

extern "C" {

uint32_t RegisterRead32(uint64_t Address) {
  VARNEL_ASSERT((Address & 3) == 0);
  // The access is made even after a failed check: callers pass fixed, aligned register addresses.
  return MmioRead32(Address);
}

uint32_t RegisterWrite32(uint64_t Address, uint32_t Value) {
  VARNEL_ASSERT((Address & 3) == 0);
  MmioWrite32(Address, Value);
  return Value;
}

}  // extern "C"
