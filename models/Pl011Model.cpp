// SPDX-License-Identifier: BSD-3-Clause
// PL011 register model: registers, scripted transmit flags, captured bytes and access trace.
#include "models/Pl011Model.h"

namespace models {

void Pl011Model::Reset() {
  SetRegisters(kResetState);
  TxFullPolls = 0;
  TxNotEmptyPolls = 0;
  FlagReadCount = 0;
  ClearTransmitted();
  ClearTrace();
}

void Pl011Model::SetRegisters(const Pl011Registers &Registers) {
  Regs = Registers;
  IbrdLatched = Registers.Ibrd;
  FbrdLatched = Registers.Fbrd;
}

void Pl011Model::ClearTransmitted() {
  TxCount = 0;
  TxOverflow = 0;
  TxWhileDisabled = 0;
}

void Pl011Model::ClearTrace() {
  TraceLength = 0;
  TraceDropped = 0;
}

void Pl011Model::Record(Pl011AccessKind Kind, uint8_t Width, uint64_t Offset, uint32_t Value) {
  if (TraceLength < kTraceCapacity) {
    TraceEntries[TraceLength++] = {Kind, Width, static_cast<uint32_t>(Offset), Value};
  } else {
    ++TraceDropped;
  }
}

// The modelled FIFO drains at once, so the transmit flags show "empty" unless a script holds them.
uint32_t Pl011Model::FlagValue() {
  ++FlagReadCount;
  uint32_t Flags = pl011::kFrTxfe | pl011::kFrRxfe;
  if (TxFullPolls > 0) {
    --TxFullPolls;
    Flags = (Flags | pl011::kFrTxff | pl011::kFrBusy) & ~pl011::kFrTxfe;
  }
  if (TxNotEmptyPolls > 0) {
    --TxNotEmptyPolls;
    Flags = (Flags | pl011::kFrBusy) & ~pl011::kFrTxfe;
  }
  return Flags;
}

uint32_t Pl011Model::Read32(uint64_t Offset) {
  uint32_t Value = 0;
  switch (Offset) {
    case pl011::kRsrEcr:
      Value = Regs.Rsr;
      break;
    case pl011::kFr:
      Value = FlagValue();
      break;
    case pl011::kIbrd:
      Value = Regs.Ibrd;
      break;
    case pl011::kFbrd:
      Value = Regs.Fbrd;
      break;
    case pl011::kLcrH:
      Value = Regs.LcrH;
      break;
    case pl011::kCr:
      Value = Regs.Cr;
      break;
    default:  // UARTDR reads an empty receive FIFO; other offsets are not modelled.
      break;
  }
  Record(Pl011AccessKind::Read, 32, Offset, Value);
  return Value;
}

void Pl011Model::Write32(uint64_t Offset, uint32_t Value) {
  Record(Pl011AccessKind::Write, 32, Offset, Value);
  switch (Offset) {
    case pl011::kRsrEcr:
      Regs.Rsr = 0;
      break;
    case pl011::kIbrd:
      Regs.Ibrd = Value & 0xFFFF;
      break;
    case pl011::kFbrd:
      Regs.Fbrd = Value & 0x3F;
      break;
    case pl011::kLcrH:
      // The divisors take effect with a write of the line control register.
      Regs.LcrH = Value & 0xFF;
      IbrdLatched = Regs.Ibrd;
      FbrdLatched = Regs.Fbrd;
      break;
    case pl011::kCr:
      Regs.Cr = Value & 0xFFFF;
      break;
    default:
      break;
  }
}

void Pl011Model::Write8(uint64_t Offset, uint8_t Value) {
  Record(Pl011AccessKind::Write, 8, Offset, Value);
  if (Offset != pl011::kDr) {
    return;
  }
  if ((Regs.Cr & (pl011::kCrUarten | pl011::kCrTxe)) != (pl011::kCrUarten | pl011::kCrTxe)) {
    ++TxWhileDisabled;
  }
  if (TxCount < kTransmitCapacity) {
    TxBytes[TxCount++] = Value;
  } else {
    ++TxOverflow;
  }
}

}  // namespace models
