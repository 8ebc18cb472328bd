// SPDX-License-Identifier: BSD-3-Clause
// Register model of an Arm PL011 UART as the console driver sees it: the registers it programs, a
// flag register whose transmit flags a test can script, the bytes written to the data register,
// and an ordered trace of every access. Portable freestanding C++: fixed capacities, no heap.
#pragma once

#include <stdint.h>

#include "console/ConsoleSettings.h"
#include "console/Pl011Registers.h"

namespace models {

enum class Pl011AccessKind : uint8_t { Read, Write };

// One register access as the device saw it. Offset is relative to the device base.
struct Pl011Access {
  Pl011AccessKind Kind;
  uint8_t Width;  // bits: 8 or 32
  uint32_t Offset;
  uint32_t Value;  // value read or written

  bool operator==(const Pl011Access &) const = default;
};

// Programmable registers, for giving the device a starting state.
struct Pl011Registers {
  uint32_t Cr;    // UARTCR
  uint32_t LcrH;  // UARTLCR_H
  uint32_t Ibrd;  // UARTIBRD
  uint32_t Fbrd;  // UARTFBRD
  uint32_t Rsr;   // UARTRSR (error flags; cleared by any write to UARTECR)
};

class Pl011Model {
 public:
  // Size of the register window the device decodes.
  static constexpr uint64_t kWindowSize = 0x1000;

  // State after a hardware reset: UART off with TXE and RXE set, no divisor, line control 0.
  static constexpr Pl011Registers kResetState = {pl011::kCrTxe | pl011::kCrRxe, 0, 0, 0, 0};
  // State the console driver programs (its line settings), with no error flags.
  static constexpr Pl011Registers kConsoleState = {console::kControl, console::kLineControl,
                                                   console::kIntegerDivisor,
                                                   console::kFractionalDivisor, 0};

  static constexpr uint64_t kTransmitCapacity = 64 * 1024;
  static constexpr uint64_t kTraceCapacity = 16 * 1024;

  Pl011Model() { Reset(); }

  // Back to the reset state; forgets captured bytes, the trace and any scripted flags.
  void Reset();
  // Sets the programmable registers (no trace entry). The divisors count as latched.
  void SetRegisters(const Pl011Registers &Registers);
  Pl011Registers Registers() const { return Regs; }

  // Scripted flags: the next Polls reads of UARTFR show TXFF set (and TXFE clear).
  void HoldTransmitFull(uint32_t Polls) { TxFullPolls = Polls; }
  // The next Polls reads of UARTFR show TXFE clear (the FIFO still drains).
  void HoldTransmitNotEmpty(uint32_t Polls) { TxNotEmptyPolls = Polls; }
  // Reads of UARTFR made so far.
  uint64_t FlagReads() const { return FlagReadCount; }

  // Device accesses at an offset from the base. Unknown offsets read 0 and ignore writes, and
  // are traced like any other access.
  uint32_t Read32(uint64_t Offset);
  void Write32(uint64_t Offset, uint32_t Value);
  void Write8(uint64_t Offset, uint8_t Value);

  // Bytes written to UARTDR, in order, up to kTransmitCapacity; later ones are only counted.
  const uint8_t *Transmitted() const { return TxBytes; }
  uint64_t TransmittedCount() const { return TxCount; }
  uint64_t TransmitOverflow() const { return TxOverflow; }
  // Bytes written while UARTEN or TXE was clear (captured all the same).
  uint64_t BytesWhileDisabled() const { return TxWhileDisabled; }
  void ClearTransmitted();

  // Divisor values taken over by the last write of UARTLCR_H.
  uint32_t LatchedIbrd() const { return IbrdLatched; }
  uint32_t LatchedFbrd() const { return FbrdLatched; }

  // Ordered access trace, up to kTraceCapacity entries; later ones are only counted.
  const Pl011Access *Trace() const { return TraceEntries; }
  uint64_t TraceCount() const { return TraceLength; }
  uint64_t TraceOverflow() const { return TraceDropped; }
  void ClearTrace();

 private:
  void Record(Pl011AccessKind Kind, uint8_t Width, uint64_t Offset, uint32_t Value);
  uint32_t FlagValue();

  Pl011Registers Regs;
  uint32_t IbrdLatched;
  uint32_t FbrdLatched;
  uint32_t TxFullPolls;
  uint32_t TxNotEmptyPolls;
  uint64_t FlagReadCount;
  uint8_t TxBytes[kTransmitCapacity];
  uint64_t TxCount;
  uint64_t TxOverflow;
  uint64_t TxWhileDisabled;
  Pl011Access TraceEntries[kTraceCapacity];
  uint64_t TraceLength;
  uint64_t TraceDropped;
};

}  // namespace models
