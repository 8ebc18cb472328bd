// SPDX-License-Identifier: BSD-3-Clause
// The Arm PL011 UART's register map as this project uses it: register offsets from the device base
// and the bits of the flag, line-control and control registers. One map for the console driver,
// the PL011 register model and the QEMU supervisor.
#pragma once

#include <stdint.h>

namespace pl011 {

// Register offsets.
constexpr uint32_t kDr = 0x000;      // UARTDR: data, one transmitted byte per 8-bit write
constexpr uint32_t kRsrEcr = 0x004;  // UARTRSR (read: receive status) / UARTECR (write: clear)
constexpr uint32_t kFr = 0x018;      // UARTFR: flags
constexpr uint32_t kIbrd = 0x024;    // UARTIBRD: integer baud divisor
constexpr uint32_t kFbrd = 0x028;    // UARTFBRD: fractional baud divisor
constexpr uint32_t kLcrH = 0x02C;    // UARTLCR_H: line control
constexpr uint32_t kCr = 0x030;      // UARTCR: control

// Every register is a 32-bit register on a 32-bit boundary.
static_assert((kRsrEcr & 3) == 0 && (kFr & 3) == 0 && (kIbrd & 3) == 0 && (kFbrd & 3) == 0 &&
              (kLcrH & 3) == 0 && (kCr & 3) == 0);

// UARTFR bits.
constexpr uint32_t kFrBusy = 1U << 3;  // transmitting
constexpr uint32_t kFrRxfe = 1U << 4;  // receive FIFO empty
constexpr uint32_t kFrTxff = 1U << 5;  // transmit FIFO full
constexpr uint32_t kFrTxfe = 1U << 7;  // transmit FIFO empty

// UARTLCR_H bits. Parity (PEN) and two stop bits (STP2) are off while their bits are clear.
constexpr uint32_t kLcrHFen = 1U << 4;    // FIFOs enabled
constexpr uint32_t kLcrHWlen8 = 3U << 5;  // word length: 8 data bits

// UARTCR bits.
constexpr uint32_t kCrUarten = 1U << 0;  // UART enable
constexpr uint32_t kCrTxe = 1U << 8;     // transmit enable
constexpr uint32_t kCrRxe = 1U << 9;     // receive enable

}  // namespace pl011
