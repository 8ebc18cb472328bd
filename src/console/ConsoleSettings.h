// SPDX-License-Identifier: BSD-3-Clause
// Where the console sits and the fixed line settings it runs with. The console driver programs
// them at bring-up; the PL011 model offers them as its "already set up" state, so a test that
// starts from a configured console starts from exactly what the driver would have left.
#pragma once

#include <stdint.h>

#include "console/Pl011Registers.h"

// The one platform setting: the build passes the PL011's register base (CMake option
// VARNELMM_CONSOLE_BASE).
#ifndef VARNELMM_CONSOLE_BASE
#error "VARNELMM_CONSOLE_BASE (the console PL011's register base) comes from the build"
#endif

namespace console {

constexpr uint64_t kBase = VARNELMM_CONSOLE_BASE;
static_assert((kBase & 3) == 0, "PL011 registers are 32-bit registers on 32-bit boundaries");

constexpr uint32_t kIntegerDivisor = 1;  // bit rate = reference clock / 16
constexpr uint32_t kFractionalDivisor = 0;
// 8 data bits, FIFOs on; no parity and one stop bit (their bits stay clear).
constexpr uint32_t kLineControl = pl011::kLcrHWlen8 | pl011::kLcrHFen;
constexpr uint32_t kControl = pl011::kCrUarten | pl011::kCrTxe | pl011::kCrRxe;

}  // namespace console
