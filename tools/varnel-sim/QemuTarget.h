// SPDX-License-Identifier: BSD-3-Clause
// The real VarnelMm.efi as varnel-sim's target: QemuMachine (qemu/host) behind the Target
// interface. QEMU maps the image file privately, so a run costs the pages it touches, not the
// flash size. Each call that cannot be answered (a fault of the image, a hang, a QEMU failure, a
// stop signal while the image does not answer) hands the console bytes the driver wrote before it
// to the console sink and throws qemuhost::QemuError; the caller's flash changes only in Finish.
#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "qemu/host/QemuMachine.h"
#include "tools/varnel-sim/Files.h"
#include "tools/varnel-sim/Target.h"

namespace varnelsim {

class QemuTarget : public Target {
 public:
  using ConsoleSink = std::function<void(const std::string &)>;

  // FlashFile: the descriptor of the image file Flash maps, or -1 for a flash held in memory.
  QemuTarget(const qemuhost::QemuSettings &Settings, uint8_t *Flash, uint64_t FlashSize,
             int FlashFile, ConsoleSink Console)
      : Machine(Stoppable(Settings), Flash, FlashSize, FlashFile), Console(std::move(Console)) {}

  EFI_STATUS Start() override {
    return Guarded([&] { return Machine.Start(); });
  }
  Answer Send(const VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t BufferSize) override {
    const qemuhost::QemuAnswer Result = Guarded([&] { return Machine.Request(Words, BufferSize); });
    Answer Out;
    Out.Status = Result.Status;
    std::memcpy(Out.Words, Result.Words, sizeof(Out.Words));
    return Out;
  }
  uint64_t WindowBase() const override { return Machine.WindowBase(); }
  uint64_t WindowSize() const override { return Machine.WindowSize(); }
  void ToWindow(uint64_t Offset, const uint8_t *Bytes, uint64_t Length) override {
    Machine.ToWindow(Offset, Bytes, Length);
  }
  void FromWindow(uint64_t Offset, uint8_t *Bytes, uint64_t Length) override {
    Machine.FromWindow(Offset, Bytes, Length);
  }
  std::string TakeConsole() override { return Machine.TakeConsole(); }
  bool PeekFlash(uint64_t Address, uint64_t Length, uint8_t *Bytes) override {
    return Guarded([&] { return Machine.PeekFlash(Address, Length, Bytes); });
  }
  void Finish() override {
    Guarded([&] { Machine.SaveFlash(); });
  }

 private:
  // SIGINT, SIGTERM or SIGHUP end a wait for an image that does not answer.
  static qemuhost::QemuSettings Stoppable(qemuhost::QemuSettings Settings) {
    Settings.ShouldStop = [] { return StopSignal() != 0; };
    return Settings;
  }

  template <typename Call>
  decltype(std::declval<const Call &>()()) Guarded(const Call &Work) {
    try {
      return Work();
    } catch (const qemuhost::QemuError &Error) {
      Console(Machine.TakeConsole());
      if (Error.What == qemuhost::QemuError::Kind::kStopped) {
        throw qemuhost::QemuError(Error.What, "signal " + std::to_string(StopSignal()) + ": " +
                                                  Error.what() +
                                                  "; QEMU was ended and the flash file keeps "
                                                  "what it held before the run");
      }
      throw;
    }
  }

  qemuhost::QemuMachine Machine;
  ConsoleSink Console;
};

}  // namespace varnelsim
