// SPDX-License-Identifier: BSD-3-Clause
// What a data abort from EL0 did, in the terms of the Arm architecture's data-abort syndrome:
// used by the record counter (RecordTrap.h) to perform the access at EL1. Plain C++, so the host
// tests it too.
#pragma once

#include <stdint.h>

#include "qemu/Trap.h"

namespace supervisor {

// One single-register access, in the fields a data abort's syndrome (ESR_EL1.ISS with ISV = 1)
// gives them.
struct DataAccess {
  uint8_t Bytes;        // 1, 2, 4 or 8 (SAS)
  bool SignExtend;      // SSE: the loaded value is sign-extended
  uint8_t Register;     // SRT: the transfer register; 31 is the zero register
  bool SixtyFour;       // SF: the register is Xt (else Wt, whose upper half is cleared)
  bool Write;           // WnR
  bool AcquireRelease;  // AR
  uint64_t Address;     // the address the instruction computes
};

// Describes the access of a permission fault taken from EL0. For a stage-1 fault taken to EL1 the
// architecture leaves ISV at 0 (the instruction syndrome is reported to EL2 for stage-2 faults),
// so the access is decoded from the instruction word itself, the forms the syndrome would
// describe and nothing more: LDR/STR (B, H, W, X, and the sign-extending loads) with an unsigned
// immediate, an unscaled immediate or a register offset, LDAR and STLR. Frame supplies the base and
// index registers. The decode must agree with ESR (WnR; every ISS field when ISV is 1) and its
// address with FAR. False for anything else: a pair, a write-back form, an exclusive, an atomic,
// a SIMD register, a prefetch, an unprivileged form, a syndrome that is not a permission fault of
// a 32-bit instruction with a valid FAR, or a decode that disagrees.
bool DecodeDataAbort(uint64_t Esr, uint32_t Instruction, const TrapFrame &Frame,
                     DataAccess *Access);

}  // namespace supervisor
