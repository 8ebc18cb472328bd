// SPDX-License-Identifier: BSD-3-Clause
// What varnel-sim sends requests to: a driver that can be started, handed one communication
// record at a time, and given data through the normal world's memory window. The simulator on
// the host models is one target; another (the real image under QEMU, say) plugs in here.
#pragma once

#include <cstdint>
#include <string>

#include "VarnelMm/Protocol.h"
#include "base/UefiTypes.h"

namespace varnelsim {

struct Answer {
  EFI_STATUS Status;                 // what the handler (or the MM core's dispatch) returned
  VARNELMM_RECORD_WORD_ARRAY Words;  // the record as the handler left it
};

class Target {
 public:
  virtual ~Target() = default;

  // Runs the driver's entry point; returns its status.
  virtual EFI_STATUS Start() = 0;
  // Sends one record through GUID dispatch, telling the handler its size is BufferSize bytes (at
  // least the bytes of the whole record are always provided).
  virtual Answer Send(const VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t BufferSize) = 0;

  // The normal-world window that Buffer words point into, and moving bytes in and out of it at
  // an offset from its base.
  virtual uint64_t WindowBase() const = 0;
  virtual uint64_t WindowSize() const = 0;
  virtual void ToWindow(uint64_t Offset, const uint8_t *Bytes, uint64_t Length) = 0;
  virtual void FromWindow(uint64_t Offset, uint8_t *Bytes, uint64_t Length) = 0;

  // Console bytes the driver wrote since the last call.
  virtual std::string TakeConsole() = 0;

  // The flash contents at a window address without sending a request, where the target can see
  // them (for warnings); false when it cannot.
  virtual bool PeekFlash(uint64_t Address, uint64_t Length, uint8_t *Bytes) {
    (void)Address;
    (void)Length;
    (void)Bytes;
    return false;
  }

  // Ends a run that went well: a target that keeps the flash contents elsewhere (the emulated
  // machine) writes its changes into the caller's flash now, and only now.
  virtual void Finish() {}
};

}  // namespace varnelsim
