// SPDX-License-Identifier: BSD-3-Clause
// The scenarios on the host: the driver linked with the models through HostPlatform.
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

#include "driver/RegionAccess.h"
#include "driver/VarnelMmInternal.h"
#include "models/HostPlatform.h"
#include "scenarios/ScenarioRunner.h"

namespace {

class HostWorld final : public scenarios::ScenarioWorld {
 public:
  void Reset(uint64_t FlashSize) override {
    Platform_.reset();
    models::HostPlatformOptions Options;
    Options.FlashSize = FlashSize;
    Platform_ = std::make_unique<models::HostPlatform>(Options);
    // The driver's module data outlives a platform here; the image is loaded afresh in QEMU.
    varnel::SpiNorAclRestore();
  }
  models::MmCoreModel &Core() override { return Platform_->Core(); }
  models::SecureFirmwareModel &Firmware() override { return Platform_->Firmware(); }
  EFI_STATUS StartDriver() override { return Platform_->StartDriver(); }

  EFI_STATUS Request(VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t CommBufferSize,
                     scenarios::RequestShape Shape) override {
    if (Shape == scenarios::RequestShape::kNormal) {
      const models::RequestResult Result = Platform_->Request(Words, CommBufferSize);
      const uint64_t Bytes = CommBufferSize < sizeof(Words) ? CommBufferSize : sizeof(Words);
      memcpy(Words, Result.Words, Bytes);
      return Result.Status;
    }
    const EFI_MM_HANDLER_ENTRY_POINT Handler = Core().FindHandler(varnel::kVarnelMmGuid);
    if (Handler == nullptr) {
      return EFI_NOT_FOUND;
    }
    uint64_t Size = CommBufferSize;
    if (Shape == scenarios::RequestShape::kMisaligned) {
      // The record one byte past an 8-byte boundary, ending where its heap block ends.
      const uint64_t Bytes = CommBufferSize < sizeof(Words) ? CommBufferSize : sizeof(Words);
      std::unique_ptr<uint64_t[]> Block(new uint64_t[CommBufferSize / 8 + 2]);
      uint8_t *Record = reinterpret_cast<uint8_t *>(Block.get()) + 1;
      memcpy(Record, Words, Bytes);
      Core().SetMessageInFlight(Record, CommBufferSize);
      const EFI_STATUS Status = Handler(nullptr, nullptr, Record, &Size);
      Core().SetMessageInFlight(nullptr, 0);
      memcpy(Words, Record, Bytes);
      return Status;
    }
    return Shape == scenarios::RequestShape::kNullCommBuffer
               ? Handler(nullptr, nullptr, nullptr, &Size)
               : Handler(nullptr, nullptr, Words, nullptr);
  }

  uint64_t NormalWorldBase() override { return Platform_->NormalWorldBase(); }
  uint8_t *NormalWorld(uint64_t Address, uint64_t Length) override {
    return Platform_->NormalWorld(Address, Length);
  }
  uint64_t BreakpointCount() override { return Platform_->BreakpointCount(); }
  scenarios::ConsoleRegisters Console() override {
    const models::Pl011Registers Registers = Platform_->Uart().Registers();
    return {Registers.Cr, Registers.LcrH, Registers.Ibrd, Registers.Fbrd};
  }
  void ConsoleBegin(uint32_t, uint32_t) override { Mark_ = Platform_->ConsoleText().size(); }
  bool ConsoleEnd(uint32_t, uint32_t, const char *Expected) override {
    const std::string Text = Platform_->ConsoleText().substr(Mark_);
    if (Expected == nullptr ||
        scenarios::ConsoleMatches(Expected, reinterpret_cast<const uint8_t *>(Text.data()),
                                  Text.size())) {
      return true;
    }
    printf("  console was \"");
    for (const char Byte : Text) {
      if (Byte == '\r') {
        printf("\\r");
      } else if (Byte == '\n') {
        printf("\\n");
      } else {
        putchar(Byte);
      }
    }
    printf("\"\n");
    return false;
  }
  void Report(const char *Line) override { printf("%s\n", Line); }

 private:
  std::unique_ptr<models::HostPlatform> Platform_;
  size_t Mark_ = 0;
};

}  // namespace

int main() {
  HostWorld World;
  const uint32_t Failures = scenarios::RunAllScenarios(World);
  return Failures == 0 ? 0 : 1;
}
