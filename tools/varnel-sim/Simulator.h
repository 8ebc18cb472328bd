// SPDX-License-Identifier: BSD-3-Clause
// The target varnel-sim drives by default: the VarnelMm driver started through its entry point on
// the MM-core model, the secure-firmware model working directly on the caller's flash storage (a
// mapped image file: only the pages a run touches are ever read or written), a 1 MiB normal-world
// window for request buffers, and a PL011 whose bytes are collected for the console.
#pragma once

#include <cstdint>
#include <memory>

#include "tools/varnel-sim/Target.h"

namespace varnelsim {

class Simulator : public Target {
 public:
  // Flash must hold FlashSize bytes and outlive the simulator; it is programmed in place. When
  // no command writes, it may be read-only memory.
  Simulator(uint8_t *Flash, uint64_t FlashSize);
  ~Simulator() override;
  Simulator(const Simulator &) = delete;
  Simulator &operator=(const Simulator &) = delete;

  EFI_STATUS Start() override;
  Answer Send(const VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t BufferSize) override;
  uint64_t WindowBase() const override;
  uint64_t WindowSize() const override;
  void ToWindow(uint64_t Offset, const uint8_t *Bytes, uint64_t Length) override;
  void FromWindow(uint64_t Offset, uint8_t *Bytes, uint64_t Length) override;
  std::string TakeConsole() override;
  bool PeekFlash(uint64_t Address, uint64_t Length, uint8_t *Bytes) override;

 private:
  struct State;
  std::unique_ptr<State> Impl;
};

}  // namespace varnelsim
