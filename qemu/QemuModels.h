// SPDX-License-Identifier: BSD-3-Clause
// The driver's world at EL1, shared by every mode that runs the image (scenarios, demo, serve):
// the MM core, secure firmware and NOR flash models in static storage, the supervisor calls they
// answer, the services table the driver is started with, and the call of its handler with a
// record placed at the end of the EL0 communication page.
#pragma once

#include <stdint.h>

#include "VarnelMm/Protocol.h"
#include "driver/MmServices.h"
#include "models/MmCoreModel.h"
#include "models/NorFlash.h"
#include "models/SecureFirmwareModel.h"
#include "qemu/PeLoader.h"

namespace supervisor {

struct ModelSet {
  models::NorFlash *Flash;
  models::SecureFirmwareModel *Firmware;
  models::MmCoreModel *Core;
};

// Replaces the models: a NOR flash over FlashSize bytes at kFlashStorageAddress (its contents as
// they are), the secure firmware over it and NormalWorld, and an MM core over the EL0 pool arena
// (cleared, as is the services-table page). Installs the supervisor calls that reach them.
const ModelSet &BuildModels(uint64_t FlashSize, const models::MemoryWindow &NormalWorld);

// Told after every secure call that programmed or erased the flash, with the call's x2 and x3
// (the flash-window address and length); null: nobody.
using FlashChangeObserver = void (*)(uint64_t WindowAddress, uint64_t Length);
void SetFlashChangeObserver(FlashChangeObserver Observer);

// Writes the services table the driver sees and calls the image's entry point at EL0.
EFI_STATUS StartDriverAtEl0(const LoadedImage &Image);

// How the record reaches the handler: normally 8-byte aligned and ending where the EL0
// communication page ends (up to 7 bytes before it), so an access past the page faults.
struct RecordShape {
  bool NullBuffer = false;  // CommBuffer is null
  bool NullSize = false;    // CommBufferSize is null
  bool Misaligned = false;  // the record starts one byte before its aligned place
};

// Told after every secure call with its registers in (x0..x7) and out (x0..x3); null: nobody.
using SecureCallObserver = void (*)(const uint64_t (&In)[8], const uint64_t (&Out)[4]);
void SetSecureCallObserver(SecureCallObserver Observer);

// Whether the record counter fails the run on a second load or a load the row does not use (the
// default), or only counts: the racing core's own checks are shown that way without it.
void SetRecordVerdicts(bool On);

// Where CallHandlerAtEl0 places a record handed over with CommBufferSize.
uint64_t RecordAddress(uint64_t CommBufferSize, RecordShape Shape = RecordShape{});

// Calls the handler registered for the driver's GUID at EL0 with the first CommBufferSize bytes
// (at most the record) of Words as the record and *CommBufferSize = CommBufferSize; Words gets
// those bytes back as the handler left them. EFI_NOT_FOUND when no handler is registered.
EFI_STATUS CallHandlerAtEl0(VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t CommBufferSize,
                            RecordShape Shape = RecordShape{});

}  // namespace supervisor
