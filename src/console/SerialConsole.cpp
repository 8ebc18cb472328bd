// SPDX-License-Identifier: BSD-3-Clause
// Polled, write-only PL011 console: bring-up with the fixed line settings, and byte transmission.
#include "console/SerialConsole.h"

#include "arch/Arch.h"
#include "base/MemoryStringRegister.h"
#include "console/ConsoleSettings.h"
#include "console/Pl011Registers.h"

namespace {

constexpr uint64_t Register(uint64_t Offset) {
  return console::kBase + Offset;
}

// True when the device already runs with the wanted settings. Stops at the first register that
// differs; only UARTEN of the control register matters.
bool AlreadyConfigured() {
  if ((RegisterRead32(Register(pl011::kCr)) & pl011::kCrUarten) == 0) {
    return false;
  }
  if (RegisterRead32(Register(pl011::kLcrH)) != console::kLineControl) {
    return false;
  }
  if (RegisterRead32(Register(pl011::kIbrd)) != console::kIntegerDivisor) {
    return false;
  }
  return RegisterRead32(Register(pl011::kFbrd)) == console::kFractionalDivisor;
}

}  // namespace

extern "C" {

uint64_t SerialConsoleInit(void) {
  if (AlreadyConfigured()) {
    return 0;
  }
  // Let whatever is still queued leave before the device is reprogrammed.
  while ((RegisterRead32(Register(pl011::kFr)) & pl011::kFrTxfe) == 0) {
  }
  RegisterWrite32(Register(pl011::kCr), 0);
  // The divisors are taken over by the line-control write that follows them.
  RegisterWrite32(Register(pl011::kIbrd), console::kIntegerDivisor);
  RegisterWrite32(Register(pl011::kFbrd), console::kFractionalDivisor);
  RegisterWrite32(Register(pl011::kLcrH), console::kLineControl);
  RegisterWrite32(Register(pl011::kRsrEcr), 0);
  RegisterWrite32(Register(pl011::kCr), console::kControl);
  return 0;
}

void SerialConsoleWrite(const uint8_t *Buffer, uint64_t Count) {
  for (uint64_t Index = 0; Index < Count; ++Index) {
    while ((RegisterRead32(Register(pl011::kFr)) & pl011::kFrTxff) != 0) {
    }
    MmioWrite8(Register(pl011::kDr), Buffer[Index]);
  }
}

}  // extern "C"
