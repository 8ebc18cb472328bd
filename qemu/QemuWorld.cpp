// The scenario world in QEMU: the models at EL1 behind the supervisor calls, the real image at
// EL0, QEMU's PL011 as the console. Console bytes cannot be read back from the UART, so each step
// is bracketed by marker lines on the UART (SOH 'B' scenario.step LF ... SOH 'E' LF) and its
// expected bytes go to the host by semihosting ("CONSOLE scenario.step hex"); the host-side
// checker (qemu/run-qemu.py) compares the two.
#include <stddef.h>

#include "console/Pl011Registers.h"
#include "driver/MmServices.h"
#include "models/MmCoreModel.h"
#include "models/NorFlash.h"
#include "models/SecureFirmwareModel.h"
#include "models/TextLine.h"
#include "qemu/MemoryMap.h"
#include "qemu/Semihosting.h"
#include "qemu/Supervisor.h"
#include "qemu/Trap.h"
#include "scenarios/ScenarioRunner.h"

namespace {
// A scenario-step marker on the UART.
class MarkerLine : public models::TextLine<MarkerLine, 32> {};
}  // namespace

inline void *operator new(size_t, void *Where) noexcept {
  return Where;
}

extern "C" char El0AllocatePool[], El0FreePool[], El0HandlerRegister[];

namespace supervisor {
namespace {

constexpr uint64_t kCommBufferSizeAddress = kServicesTableAddress + 0x800;

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

bool El0Pointer(uint64_t Address, uint64_t Length) {
  return IsEl0Memory(Address, Length);
}

alignas(models::NorFlash) uint8_t gFlashStorage[sizeof(models::NorFlash)];
alignas(models::SecureFirmwareModel) uint8_t gFirmwareStorage[sizeof(models::SecureFirmwareModel)];
alignas(models::MmCoreModel) uint8_t gCoreStorage[sizeof(models::MmCoreModel)];
models::NorFlash *gFlash = nullptr;
models::SecureFirmwareModel *gFirmware = nullptr;
models::MmCoreModel *gCore = nullptr;

// ---- The EL1 side of the driver's supervisor calls ------------------------------------------

void ServeSecureService(TrapFrame *Frame) {
  ServiceArgumentBlock Block;
  for (int Index = 0; Index < 8; ++Index) {
    Block.Word[Index] = Frame->X[Index];
  }
  gFirmware->Handle(&Block);
  for (int Index = 0; Index < 4; ++Index) {
    Frame->X[Index] = Block.Word[Index];
  }
}

void ServeAllocatePool(TrapFrame *Frame) {
  if (!El0Pointer(Frame->X[2], sizeof(uint64_t))) {
    FatalTrap("MmAllocatePool: result pointer outside EL0 memory", Frame, kExitDriverFault);
  }
  Frame->X[0] = gCore->AllocatePool(static_cast<EFI_MEMORY_TYPE>(Frame->X[0]), Frame->X[1],
                                    reinterpret_cast<void **>(Frame->X[2]));
}

void ServeFreePool(TrapFrame *Frame) {
  Frame->X[0] = gCore->FreePool(reinterpret_cast<void *>(Frame->X[0]));
}

void ServeHandlerRegister(TrapFrame *Frame) {
  if (!El0Pointer(Frame->X[1], sizeof(EFI_GUID)) ||
      (Frame->X[2] != 0 && !El0Pointer(Frame->X[2], sizeof(uint64_t)))) {
    FatalTrap("MmiHandlerRegister: pointer outside EL0 memory", Frame, kExitDriverFault);
  }
  Frame->X[0] = gCore->RegisterHandler(reinterpret_cast<EFI_MM_HANDLER_ENTRY_POINT>(Frame->X[0]),
                                       reinterpret_cast<const EFI_GUID *>(Frame->X[1]),
                                       reinterpret_cast<EFI_HANDLE *>(Frame->X[2]));
}

constexpr SupervisorServices kServices = {ServeSecureService, ServeAllocatePool, ServeFreePool,
                                          ServeHandlerRegister};

class QemuWorld final : public scenarios::ScenarioWorld {
 public:
  void Reset(uint64_t FlashSize) override {
    InstallServices(&kServices);
    Image_ = LoadDriverImage();
    if (gCore != nullptr) {
      gCore->~MmCoreModel();
      gFirmware->~SecureFirmwareModel();
      gFlash->~NorFlash();
    }
    if (FlashSize > kFlashStorageBytes) {
      FlashSize = kFlashStorageBytes;
    }
    Fill64(kFlashStorageAddress, FlashSize, ~0ULL);
    Fill64(kNormalWorldAddress, kNormalWorldBytes, 0);
    Fill64(kPoolArenaAddress, kPoolArenaBytes, 0);
    Fill64(kServicesTableAddress, kPageSize, 0);
    gFlash = new (gFlashStorage)
        models::NorFlash(reinterpret_cast<uint8_t *>(kFlashStorageAddress), FlashSize);
    const models::MemoryWindow NormalWorld{
        kNormalWorldAddress, reinterpret_cast<uint8_t *>(kNormalWorldAddress), kNormalWorldBytes};
    gFirmware = new (gFirmwareStorage) models::SecureFirmwareModel(*gFlash, NormalWorld);
    gFirmware->SetPoolArena(kPoolArenaAddress, kPoolArenaBytes);
    gCore = new (gCoreStorage)
        models::MmCoreModel(reinterpret_cast<uint8_t *>(kPoolArenaAddress), kPoolArenaBytes);
    // The UART as QEMU resets it: disabled, no line settings, divisor 0.
    UartWrite(pl011::kCr, pl011::kCrTxe | pl011::kCrRxe);
    UartWrite(pl011::kIbrd, 0);
    UartWrite(pl011::kFbrd, 0);
    UartWrite(pl011::kLcrH, 0);
  }

  models::MmCoreModel &Core() override { return *gCore; }
  models::SecureFirmwareModel &Firmware() override { return *gFirmware; }

  EFI_STATUS StartDriver() override {
    gCore->Activate();
    // The table the driver sees: the model's header and data, and EL0 trampolines in place of
    // the services it uses. Services it must not use stay null, so calling one faults.
    auto *Table = reinterpret_cast<EFI_MM_SYSTEM_TABLE *>(kServicesTableAddress);
    const EFI_MM_SYSTEM_TABLE *Model = gCore->Table();
    *Table = EFI_MM_SYSTEM_TABLE{};
    Table->Hdr = Model->Hdr;
    Table->CurrentlyExecutingCpu = Model->CurrentlyExecutingCpu;
    Table->NumberOfCpus = Model->NumberOfCpus;
    Table->MmAllocatePool = reinterpret_cast<EFI_ALLOCATE_POOL>(El0AllocatePool);
    Table->MmFreePool = reinterpret_cast<EFI_FREE_POOL>(El0FreePool);
    Table->MmiHandlerRegister = reinterpret_cast<EFI_MM_INTERRUPT_REGISTER>(El0HandlerRegister);
    return CallAtEl0(Image_.EntryPoint, Image_.Base, kServicesTableAddress);
  }

  EFI_STATUS Request(uint64_t (&Words)[6], uint64_t CommBufferSize,
                     scenarios::RequestShape Shape) override {
    const EFI_MM_HANDLER_ENTRY_POINT Handler = gCore->FindHandler(varnel::kVarnelMmGuid);
    if (Handler == nullptr) {
      return EFI_NOT_FOUND;
    }
    if (CommBufferSize > kCommBufferBytes) {
      CommBufferSize = kCommBufferBytes;
    }
    // The record starts on a word boundary, as a PI communicate buffer's message does, and ends
    // where the EL0 window ends (up to 7 bytes before it for a size that is not a whole number of
    // words): an access past the window faults. A misaligned record starts one byte earlier.
    const uint64_t Record =
        ((kCommBufferAddress + kCommBufferBytes - CommBufferSize) & ~uint64_t{7}) -
        (Shape == scenarios::RequestShape::kMisaligned ? 1 : 0);
    const uint64_t Bytes = CommBufferSize < sizeof(Words) ? CommBufferSize : sizeof(Words);
    Fill64(kCommBufferAddress, kCommBufferBytes, 0);
    Copy(Record, reinterpret_cast<uint64_t>(Words), Bytes);
    *reinterpret_cast<volatile uint64_t *>(kCommBufferSizeAddress) = CommBufferSize;
    const uint64_t Buffer = Shape == scenarios::RequestShape::kNullCommBuffer ? 0 : Record;
    const uint64_t Size =
        Shape == scenarios::RequestShape::kNullCommBufferSize ? 0 : kCommBufferSizeAddress;
    gCore->SetMessageInFlight(reinterpret_cast<uint8_t *>(Record), CommBufferSize);
    const EFI_STATUS Status = CallAtEl0(reinterpret_cast<uint64_t>(Handler), 0, 0, Buffer, Size);
    gCore->SetMessageInFlight(nullptr, 0);
    Copy(reinterpret_cast<uint64_t>(Words), Record, Bytes);
    return Status;
  }

  uint64_t NormalWorldBase() override { return kNormalWorldAddress; }
  uint8_t *NormalWorld(uint64_t Address, uint64_t Length) override {
    return gFirmware->NormalWorld().Resolve(Address, Length);
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
  static void Copy(uint64_t To, uint64_t From, uint64_t Bytes) {
    for (uint64_t Index = 0; Index < Bytes; ++Index) {
      reinterpret_cast<volatile uint8_t *>(To)[Index] =
          reinterpret_cast<const volatile uint8_t *>(From)[Index];
    }
  }

  LoadedImage Image_ = {};
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
