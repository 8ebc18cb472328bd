// SPDX-License-Identifier: BSD-3-Clause
// What QEMU's loader devices place where before the supervisor starts: the run mode word (and the
// race mode's words after it) and the driver image file. The supervisor reads them there; the host
// side (QemuMachine) and run-qemu.py put them there. Freestanding, and free of the console base
// the supervisor is built with, so the host tools include it as well.
#pragma once

#include <stdint.h>

namespace supervisor {

// What a run does, read from kModeAddress (written by QEMU's loader device:
// -device loader,addr=0x43FFF000,data=N,data-len=4). Zero, the reset value, runs the scenarios.
enum RunMode : uint32_t {
  kModeScenarios = 0,
  kModeSelfTest = 1,
  kModeFaultFloatingPoint = 2,
  kModeFaultLoad = 3,
  kModeFaultUndefined = 4,
  kModeFaultUnaligned = 5,
  kModeDemo = 6,
  kModeServe = 7,
  kModeFaultPair = 8,  // a pair load on the record: the counter's loud failure
  kModeRace = 9,       // two vCPUs: requests on one, record rewrites on the other (QemuRace.cpp)
};
constexpr uint64_t kModeAddress = 0x43FFF000;
// The race mode's 32-bit words after the mode word: the request count, the stream's seed, and
// flags (bit 0: the record counter only counts).
constexpr uint64_t kRaceRequestsOffset = 4;
constexpr uint64_t kRaceSeedOffset = 8;
constexpr uint64_t kRaceFlagsOffset = 12;

// EL1-only: the image file as QEMU's loader device placed it (see MemoryMap.h).
constexpr uint64_t kImageFileAddress = 0x44000000;
constexpr uint64_t kImageFileMaxBytes = 0x400000;

}  // namespace supervisor
