// SPDX-License-Identifier: BSD-3-Clause
// Where everything lives on QEMU's virt board (RAM from 0x40000000, run with -m 256M), and which
// exception level may touch it. The supervisor's own image (0x40080000, see Supervisor.ld) is
// EL1-only; everything the driver touches at EL0 lies in the EL0 window.
#pragma once

#include <stdint.h>

#include "models/NormalWorld.h"
#include "qemu/LoaderDevices.h"

namespace supervisor {

constexpr uint64_t kPageSize = 0x1000;

// The PL011 the driver image was built for, its console (QEMU's virt board: 0x09000000, the qemu
// preset's VARNELMM_CONSOLE_BASE).
constexpr uint64_t kUartBase = VARNELMM_CONSOLE_BASE;
constexpr uint64_t kRamBase = 0x40000000;
constexpr uint64_t kRamSize = 0x10000000;

// EL0 pages: read-write at EL0 (and at EL1), never executable at EL1. Everything between them
// stays EL1-only, so the page below the EL0 stack and the page after the communication buffer
// act as guards. The communication page itself is EL1-only too: the driver's accesses to the
// record trap, and the supervisor performs and counts them (RecordTrap.h).
constexpr uint64_t kServicesTableAddress = 0x40800000;  // one page: the table and CommBufferSize
constexpr uint64_t kCommBufferAddress = 0x40801000;
constexpr uint64_t kCommBufferBytes = 0x1000;
constexpr uint64_t kEl0StackBase = 0x40810000;
constexpr uint64_t kEl0StackTop = 0x40820000;
constexpr uint64_t kPoolArenaAddress = 0x40820000;
constexpr uint64_t kPoolArenaBytes = 0x10000;

// The driver image, loaded (and relocated) here: 4 KiB-aligned, not 64 KiB-aligned, and far from
// its preferred base 0. Executable at EL0.
constexpr uint64_t kImageLoadAddress = 0x40A03000;
constexpr uint64_t kImageMaxBytes = 0x100000;

// EL1-only: the image file as QEMU's loader device placed it (LoaderDevices.h), the normal
// world's data buffers (only the secure firmware model touches them) and the flash part's storage.
constexpr uint64_t kNormalWorldAddress = 0x45000000;
constexpr uint64_t kNormalWorldBytes = models::kNormalWorldWindowBytes;
constexpr uint64_t kFlashStorageAddress = 0x48000000;
constexpr uint64_t kFlashStorageBytes = 0x4000000;

// True when [Address, Address + Length) lies inside one EL0 data region or the loaded image.
constexpr bool IsEl0Memory(uint64_t Address, uint64_t Length) {
  const auto Inside = [=](uint64_t Base, uint64_t End) {
    return Address >= Base && Address <= End && Length <= End - Address;
  };
  return Inside(kServicesTableAddress, kServicesTableAddress + kPageSize) ||
         Inside(kEl0StackBase, kPoolArenaAddress + kPoolArenaBytes) ||
         Inside(kImageLoadAddress, kImageLoadAddress + kImageMaxBytes);
}

}  // namespace supervisor
