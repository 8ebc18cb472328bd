// Polled, write-only PL011 console: bring-up with the fixed line settings, and byte transmission.
#include "console/SerialConsole.h"

#include "arch/Arch.h"
#include "base/BaseLib.h"
#include "config/VarnelMmConfig.h"

namespace {

// PL011 registers, as offsets from the console base.
constexpr uint64_t kUartDr = 0x000;    // data: one transmitted byte per 8-bit write
constexpr uint64_t kUartEcr = 0x004;   // error clear (read side: receive status)
constexpr uint64_t kUartFr = 0x018;    // flags
constexpr uint64_t kUartIbrd = 0x024;  // integer baud divisor
constexpr uint64_t kUartFbrd = 0x028;  // fractional baud divisor
constexpr uint64_t kUartLcrH = 0x02C;  // line control
constexpr uint64_t kUartCr = 0x030;    // control

constexpr uint32_t kFrTxff = 1U << 5;    // transmit FIFO full
constexpr uint32_t kFrTxfe = 1U << 7;    // transmit FIFO empty
constexpr uint32_t kCrUarten = 1U << 0;  // UART enable

static_assert((kUartEcr & 3) == 0 && (kUartFr & 3) == 0 && (kUartIbrd & 3) == 0 &&
              (kUartFbrd & 3) == 0 && (kUartLcrH & 3) == 0 && (kUartCr & 3) == 0);
static_assert((config::kSerialConsoleBase & 3) == 0);

constexpr uint64_t Register(uint64_t Offset) {
  return config::kSerialConsoleBase + Offset;
}

// True when the device already runs with the wanted settings. Stops at the first register that
// differs; only UARTEN of the control register matters.
bool AlreadyConfigured() {
  if ((RegisterRead32(Register(kUartCr)) & kCrUarten) == 0) {
    return false;
  }
  if (RegisterRead32(Register(kUartLcrH)) != config::kConsoleLineControl) {
    return false;
  }
  if (RegisterRead32(Register(kUartIbrd)) != config::kConsoleIntegerDivisor) {
    return false;
  }
  return RegisterRead32(Register(kUartFbrd)) == config::kConsoleFractionalDivisor;
}

}  // namespace

extern "C" {

uint64_t SerialConsoleInit(void) {
  if (AlreadyConfigured()) {
    return 0;
  }
  // Let whatever is still queued leave before the device is reprogrammed.
  while ((RegisterRead32(Register(kUartFr)) & kFrTxfe) == 0) {
  }
  RegisterWrite32(Register(kUartCr), 0);
  // The divisors are taken over by the line-control write that follows them.
  RegisterWrite32(Register(kUartIbrd), config::kConsoleIntegerDivisor);
  RegisterWrite32(Register(kUartFbrd), config::kConsoleFractionalDivisor);
  RegisterWrite32(Register(kUartLcrH), config::kConsoleLineControl);
  RegisterWrite32(Register(kUartEcr), 0);
  RegisterWrite32(Register(kUartCr), config::kConsoleControl);
  return 0;
}

void SerialConsoleWrite(const uint8_t *Buffer, uint64_t Count) {
  for (uint64_t Index = 0; Index < Count; ++Index) {
    while ((RegisterRead32(Register(kUartFr)) & kFrTxff) != 0) {
    }
    MmioWrite8(Register(kUartDr), Buffer[Index]);
  }
}

}  // extern "C"
