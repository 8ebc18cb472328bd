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

#include "VarnelMm/Protocol.h"
#include "qemu/DataAbort.h"
#include "qemu/Trap.h"

namespace supervisor {

// Accesses counted for one request, per record word.
struct RecordTally {
  uint32_t Loads[VARNELMM_RECORD_WORDS];
  uint32_t Stores[VARNELMM_RECORD_WORDS];
  uint64_t Loaded[VARNELMM_RECORD_WORDS];  // the value of the word's first whole-word load
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
