// SPDX-License-Identifier: BSD-3-Clause
// The record's loads counted at the memory. The communication page is mapped EL1-only, so every
// access the driver makes to it at EL0 is a permission fault taken to EL1. The data-abort handler
// describes the access (DecodeDataAbort), performs it on the saved register frame, counts it
// against the record word (or words) it touches, steps past the instruction and returns. An
// access that is not a single-register load or store, or one outside the record, ends the run.
//
// While a request is watched, a load of a word already loaded in that request, or of a word the
// request's row does not use, ends the run too (kExitRecordAccess), with the frame of the
// offending load in the report.
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

// Accesses counted for one request, per record word.
struct RecordTally {
  uint32_t Loads[6];
  uint32_t Stores[6];
  uint64_t Loaded[6];  // the value of the word's first whole-word load
};

// What the watch of a request judges: how the record was handed over.
struct RecordWatch {
  uint64_t Record;          // where the record starts (may be misaligned)
  uint64_t CommBufferSize;  // the size the handler is given
  bool Judged;              // fail the run on a second load or a load the row does not use
  bool Handed;              // false when the handler gets a null pointer for either argument
};

// Starts counting for one handler call; a fresh tally.
void BeginRecordWatch(const RecordWatch &Watch);
// Stops counting; the tally of the call. Accesses outside a watch end the run.
RecordTally EndRecordWatch();
// The tally of the last watch.
const RecordTally &LastRecordTally();
// Record loads and stores served since the supervisor started.
uint64_t RecordAccessCount();

// Serves a data abort from EL0 on the communication page: true when it was one (the access is
// done and ELR stepped on), false for any other data abort. Ends the run for an access it cannot
// describe or a load the watch rejects.
bool ServeRecordAccess(TrapFrame *Frame);

}  // namespace supervisor
