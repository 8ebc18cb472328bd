// SPDX-License-Identifier: BSD-3-Clause
// Arm semihosting, the supervisor's channel to the host: its own report lines and its exit status.
// The UART stays the driver's (plus the scenario markers), so the two streams never mix.
#pragma once

#include <stdint.h>

#include "models/TextLine.h"

namespace supervisor {

// Exit statuses of a run; each failure kind has its own.
enum ExitStatus : uint32_t {
  kExitPassed = 0,
  kExitScenarioFailed = 1,
  kExitWrongLevel = 2,  // not started at EL1 (set in Start.S)
  kExitDriverFault = 3,
  kExitSupervisorFault = 4,
  kExitBadImage = 5,
  kExitBadSupervisorCall = 6,
  kExitSelfTestFailed = 7,
  kExitRecordAccess = 8,    // a record access refused by the counter (RecordTrap.h)
  kExitRaceDivergence = 9,  // the racing core found the driver acting on other bytes
};

// Writes a NUL-terminated string to the host (SYS_WRITE0).
void SemihostWrite(const char *Text);
// Ends QEMU with Status (SYS_EXIT with ADP_Stopped_ApplicationExit and a status).
[[noreturn]] void SemihostExit(uint32_t Status);

// Host files, for the request channel of the serve mode. Open answers a handle or -1; Mode is
// the semihosting mode number (1 "rb", 5 "wb"). Read and Write answer the number of bytes NOT
// transferred, as the calls themselves do: a read of a pipe may return part of what was asked.
constexpr uint64_t kSemihostModeReadBinary = 1;
constexpr uint64_t kSemihostModeWriteBinary = 5;
int64_t SemihostOpen(const char *Path, uint64_t Mode);
uint64_t SemihostRead(int64_t Handle, void *Buffer, uint64_t Length);
uint64_t SemihostWriteFile(int64_t Handle, const void *Buffer, uint64_t Length);

// A line under construction, written to the host in one piece.
class Line : public models::TextLine<Line, 512> {
 public:
  // Appends "\n", writes the line and empties it.
  void Send();
};

}  // namespace supervisor
