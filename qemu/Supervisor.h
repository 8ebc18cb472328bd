// SPDX-License-Identifier: BSD-3-Clause
// The supervisor's start-up and the driver image it serves.
#pragma once

#include <stdint.h>

#include "qemu/PeLoader.h"

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

// Loads (again) the image QEMU placed at kImageFileAddress into kImageLoadAddress, with fresh
// data and relocations; ends the run with kExitBadImage when it cannot.
LoadedImage LoadDriverImage();

// Run modes, each ending the run.
[[noreturn]] void RunScenarios();
[[noreturn]] void RunDemo();
// Serves the host's requests over the channel of ServeProtocol.h (QemuServe.cpp).
[[noreturn]] void RunServe();
// Serves a random request stream while the second CPU rewrites the record. The request count,
// the stream's seed and flags (bit 0: the record counter only counts) are the words after the
// mode word.
[[noreturn]] void RunRace();

}  // namespace supervisor
