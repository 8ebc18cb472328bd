// SPDX-License-Identifier: BSD-3-Clause
// The supervisor's start-up and the driver image it serves.
#pragma once

#include <stdint.h>

#include "qemu/LoaderDevices.h"
#include "qemu/PeLoader.h"

namespace supervisor {

// The run modes and where QEMU places the mode word: LoaderDevices.h.

// Loads (again) the image QEMU placed at kImageFileAddress into kImageLoadAddress, with fresh
// data and relocations; ends the run with kExitBadImage when it cannot.
LoadedImage LoadDriverImage();

// Run modes, each ending the run.
[[noreturn]] void RunScenarios();
[[noreturn]] void RunDemo();
// Serves the host's requests over the channel of ServeProtocol.h (QemuServe.cpp).
[[noreturn]] void RunServe();
// Serves a random request stream while the second CPU rewrites the record; its settings are the
// words after the mode word (LoaderDevices.h).
[[noreturn]] void RunRace();

}  // namespace supervisor
