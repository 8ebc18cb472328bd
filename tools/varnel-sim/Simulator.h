// The machine varnel-sim drives: the VarnelMm driver started through its entry point on the
// MM-core model, the secure-firmware model over a copy of the caller's flash image, a
// normal-world memory window for request buffers, and a PL011 whose bytes go to a console sink.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "base/UefiTypes.h"

namespace varnelsim {

struct Answer {
  EFI_STATUS Status;  // what the handler (or the MM core's dispatch) returned
  uint64_t Words[6];  // the record as the handler left it
};

class Simulator {
 public:
  // Flash must hold FlashSize bytes and outlive the simulator. Console receives the driver's
  // console bytes as they are written (flushed after every request).
  Simulator(uint8_t *Flash, uint64_t FlashSize, std::FILE *Console);
  ~Simulator();
  Simulator(const Simulator &) = delete;
  Simulator &operator=(const Simulator &) = delete;

  // Copies the flash contents back into the caller's storage when anything was programmed or
  // erased (the destructor does it too).
  void SaveFlash();

  // Calls the driver's entry point with the MM services table; returns its status.
  EFI_STATUS Start();

  // Sends one record through GUID dispatch with *CommBufferSize = BufferSize (at least 48 bytes
  // are always provided behind CommBuffer).
  Answer Request(const uint64_t (&Words)[6], uint64_t BufferSize = 48);

  // The normal-world memory window that Buffer words point into.
  uint64_t WindowBase() const;
  uint64_t WindowSize() const;
  uint8_t *WindowBytes();

  // The SipHash-2-4 MAC of a signed part under the 16-byte key.
  static uint64_t Mac(const uint8_t (&Key)[16], const void *Bytes, uint64_t Length);
  // The secure firmware's factory key, used for signing until a seed is deployed.
  static void ProvisionedKey(uint8_t (&Key)[16]);
  // The key the secure firmware derives from a deployed seed, as sixteen bytes.
  static void SeedKey(uint64_t Seed, uint8_t (&Key)[16]);

 private:
  struct State;
  std::unique_ptr<State> Impl;
};

}  // namespace varnelsim
