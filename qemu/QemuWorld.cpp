// SPDX-License-Identifier: BSD-3-Clause
// The scenario world in QEMU: the models at EL1 behind the supervisor calls, the real image at
// EL0, QEMU's PL011 as the console. Console bytes cannot be read back from the UART, so each step
// is bracketed by marker lines on the UART (SOH 'B' scenario.step LF ... SOH 'E' LF) and its
// expected bytes go to the host by semihosting ("CONSOLE scenario.step hex"); the host-side
// checker (qemu/run-qemu.py) compares the two.
#include "console/Pl011Registers.h"
#include "models/Pl011Model.h"
#include "models/TextLine.h"
#include "qemu/MemoryMap.h"
#include "qemu/QemuModels.h"
#include "qemu/RecordTrap.h"
#include "qemu/Semihosting.h"
#include "qemu/Supervisor.h"
#include "qemu/Trap.h"
#include "scenarios/ScenarioRunner.h"

namespace {
// A scenario-step marker on the UART.
class MarkerLine : public models::TextLine<MarkerLine, 32> {};
}  // namespace

namespace supervisor {
namespace {

uint32_t UartRead(uint64_t Offset) {
  return *reinterpret_cast<volatile uint32_t *>(kUartBase + Offset);
}
void UartWrite(uint64_t Offset, uint32_t Value) {
  *reinterpret_cast<volatile uint32_t *>(kUartBase + Offset) = Value;
}
void UartPut(const char *Text) {
  for (; *Text != '\0'; ++Text) {
    while ((UartRead(pl011::kFr) & pl011::kFrTxff) != 0) {
    }
    *reinterpret_cast<volatile uint8_t *>(kUartBase + pl011::kDr) = static_cast<uint8_t>(*Text);
  }
}

void Fill64(uint64_t Address, uint64_t Bytes, uint64_t Value) {
  auto *Words = reinterpret_cast<volatile uint64_t *>(Address);
  for (uint64_t Index = 0; Index < Bytes / 8; ++Index) {
    Words[Index] = Value;
  }
}

class QemuWorld final : public scenarios::ScenarioWorld {
 public:
  void Reset(uint64_t FlashSize) override {
    Image_ = LoadDriverImage();
    if (FlashSize > kFlashStorageBytes) {
      FlashSize = kFlashStorageBytes;
    }
    Fill64(kFlashStorageAddress, FlashSize, ~0ULL);
    Fill64(kNormalWorldAddress, kNormalWorldBytes, 0);
    const models::MemoryWindow NormalWorld{
        kNormalWorldAddress, reinterpret_cast<uint8_t *>(kNormalWorldAddress), kNormalWorldBytes};
    Models_ = &BuildModels(FlashSize, NormalWorld);
    // The UART as QEMU resets it: disabled, no line settings, divisor 0.
    constexpr models::Pl011Registers kReset = models::Pl011Model::kResetState;
    UartWrite(pl011::kCr, kReset.Cr);
    UartWrite(pl011::kIbrd, kReset.Ibrd);
    UartWrite(pl011::kFbrd, kReset.Fbrd);
    UartWrite(pl011::kLcrH, kReset.LcrH);
  }

  models::MmCoreModel &Core() override { return *Models_->Core; }
  models::SecureFirmwareModel &Firmware() override { return *Models_->Firmware; }

  EFI_STATUS StartDriver() override { return StartDriverAtEl0(Image_); }

  EFI_STATUS Request(VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t CommBufferSize,
                     scenarios::RequestShape Shape) override {
    RecordShape Placement;
    Placement.NullBuffer = Shape == scenarios::RequestShape::kNullCommBuffer;
    Placement.NullSize = Shape == scenarios::RequestShape::kNullCommBufferSize;
    Placement.Misaligned = Shape == scenarios::RequestShape::kMisaligned;
    return CallHandlerAtEl0(Words, CommBufferSize, Placement);
  }

  uint64_t NormalWorldBase() override { return kNormalWorldAddress; }
  uint8_t *NormalWorld(uint64_t Address, uint64_t Length) override {
    return Models_->Firmware->NormalWorld().Resolve(Address, Length);
  }
  uint64_t BreakpointCount() override { return supervisor::BreakpointCount(); }
  scenarios::ConsoleRegisters Console() override {
    return {UartRead(pl011::kCr), UartRead(pl011::kLcrH), UartRead(pl011::kIbrd),
            UartRead(pl011::kFbrd)};
  }

  void ConsoleBegin(uint32_t Scenario, uint32_t Step) override {
    // "\x01" "B" Scenario "." Step "\n"
    MarkerLine Marker;
    Marker.Put('\x01').Put('B').Dec(Scenario).Put('.').Dec(Step).Put('\n');
    UartPut(Marker.Get());
  }

  bool ConsoleEnd(uint32_t Scenario, uint32_t Step, const char *Expected) override {
    UartPut(
        "\x01"
        "E\n");
    if (Expected != nullptr) {
      Line Out;
      Out.Str("CONSOLE ").Dec(Scenario).Put('.').Dec(Step).Put(' ');
      for (const char *At = Expected; *At != '\0'; ++At) {
        const auto Byte = static_cast<uint8_t>(*At);
        Out.Put("0123456789abcdef"[Byte >> 4]).Put("0123456789abcdef"[Byte & 0xF]);
      }
      Out.Send();
    }
    return true;
  }

  void Report(const char *Text) override { Line().Str(Text).Send(); }

 private:
  LoadedImage Image_ = {};
  const ModelSet *Models_ = nullptr;
};

}  // namespace

void ReportImage() {
  const LoadedImage Image = LoadDriverImage();
  Line()
      .Str("VarnelMm.efi loaded at ")
      .Hex(Image.Base)
      .Str(" (preferred base ")
      .Hex(Image.PreferredBase)
      .Str(", ")
      .Dec(Image.Relocations)
      .Str(" DIR64 relocations), entry ")
      .Hex(Image.EntryPoint)
      .Send();
}

void RunScenarios() {
  QemuWorld World;
  ReportImage();
  const uint32_t Failures = scenarios::RunAllScenarios(World);
  Line().Str("record accesses trapped and counted: ").Dec(RecordAccessCount()).Send();
  SemihostExit(Failures == 0 ? kExitPassed : kExitScenarioFailed);
}

void RunDemo() {
  QemuWorld World;
  ReportImage();
  scenarios::RunTotals Totals;
  for (uint32_t Index = 0; Index < scenarios::kScenarioCount; ++Index) {
    if (&scenarios::kScenarios[Index] == &scenarios::kDemoScenario) {
      scenarios::RunScenario(World, Index, scenarios::kDemoScenario, true, &Totals);
    }
  }
  if (Totals.Failures == 0) {
    Line()
        .Str("PASSED: every answer, record word, secure call and console line as expected")
        .Send();
  } else {
    Line().Str("FAILED: ").Dec(Totals.Failures).Str(" checks deviated").Send();
  }
  SemihostExit(Totals.Failures == 0 ? kExitPassed : kExitScenarioFailed);
}

}  // namespace supervisor
