// SPDX-License-Identifier: BSD-3-Clause
// Supervisor start: memory map and MMU, then the run mode (scenarios, demo, self-test, one of the
// deliberate driver faults that prove a fault ends the run, or serving a host's requests).
#include "qemu/Supervisor.h"

#include "qemu/MemoryMap.h"
#include "qemu/Mmu.h"
#include "qemu/Semihosting.h"
#include "qemu/Trap.h"

extern "C" char __supervisor_start[], __el0_text_start[], __el0_text_end[];
extern "C" char El0CheckRegisters[], El0FaultFloatingPoint[], El0FaultLoad[], El0FaultUndefined[],
    El0FaultUnaligned[];

namespace supervisor {
namespace {

uint64_t Address(const void *Pointer) {
  return reinterpret_cast<uint64_t>(Pointer);
}

void Check(bool Ok, const char *What) {
  if (!Ok) {
    Line().Str("SELF-TEST FAILED: ").Str(What).Send();
    SemihostExit(kExitSelfTestFailed);
  }
}

void SetUpMemory() {
  bool Ok = MapRange(kUartBase & ~0x1FFFFFULL, 0x200000, MemoryKind::kEl1Device);
  Ok = Ok && MapRange(kUartBase, kPageSize, MemoryKind::kEl0Device);
  Ok = Ok && MapRange(kRamBase, kRamSize, MemoryKind::kEl1Data);
  Ok =
      Ok && MapRange(Address(__supervisor_start),
                     Address(__el0_text_start) - Address(__supervisor_start), MemoryKind::kEl1Code);
  Ok = Ok && MapRange(Address(__el0_text_start),
                      Address(__el0_text_end) - Address(__el0_text_start), MemoryKind::kEl0Code);
  // The communication page stays EL1-only: every access the driver makes to the record traps
  // and is counted (RecordTrap.h). The page after it stays EL1-only as well, so an access past
  // the end of a record placed flush against it is a plain driver fault; so is one below the EL0
  // stack.
  Ok = Ok && MapRange(kServicesTableAddress, kPageSize, MemoryKind::kEl0Data);
  Ok = Ok && MapRange(kEl0StackBase, kPoolArenaAddress + kPoolArenaBytes - kEl0StackBase,
                      MemoryKind::kEl0Data);
  Ok = Ok && MapRange(kImageLoadAddress, kImageMaxBytes, MemoryKind::kEl0CodeData);
  if (!Ok) {
    SemihostWrite("FAULT translation table pool exhausted\n");
    SemihostExit(kExitSupervisorFault);
  }
  EnableMmu();
}

// Secure calls in the self-test: x0..x3 come back as 0xA0..0xA3.
void SelfTestSecureService(TrapFrame *Frame) {
  for (uint64_t Index = 0; Index < 4; ++Index) {
    Frame->X[Index] = 0xA0 + Index;
  }
}

[[noreturn]] void RunSelfTest() {
  static constexpr SupervisorServices kServices = {SelfTestSecureService, nullptr, nullptr,
                                                   nullptr};
  InstallServices(&kServices);
  const uint64_t Breakpoints = BreakpointCount();
  const uint64_t Changed = CallAtEl0(Address(El0CheckRegisters), 0x1234500000000000ULL);
  if (Changed != 0) {
    Line().Str("register check answered ").Dec(Changed).Send();
  }
  Check(Changed == 0, "x0-x3 carry the svc #0 answer and every other register survives the traps");
  Check(BreakpointCount() == Breakpoints + 1, "svc #0xDBDB counted once");
  // An unaligned access to Normal memory works with the MMU on.
  volatile uint8_t Bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const uint64_t Unaligned =
      *reinterpret_cast<volatile uint64_t *>(reinterpret_cast<uint64_t>(&Bytes[0]) + 1);
  Check(Unaligned == 0x0908070605040302ULL, "unaligned load from Normal memory");
  Line().Str("SELF-TEST PASSED").Send();
  SemihostExit(kExitPassed);
}

[[noreturn]] void RunFault(RunMode Mode) {
  Line().Str("Running a deliberately faulting EL0 routine (mode ").Dec(Mode).Str(")").Send();
  switch (Mode) {
    case kModeFaultFloatingPoint:
      CallAtEl0(Address(El0FaultFloatingPoint));
      break;
    case kModeFaultLoad:
      CallAtEl0(Address(El0FaultLoad), kNormalWorldAddress);
      break;
    case kModeFaultUndefined:
      CallAtEl0(Address(El0FaultUndefined));
      break;
    default:
      CallAtEl0(Address(El0FaultUnaligned), kCommBufferAddress + 1);
      break;
  }
  Line().Str("the faulting routine returned").Send();
  SemihostExit(kExitSelfTestFailed);
}

}  // namespace

LoadedImage LoadDriverImage() {
  LoadedImage Image = {};
  const LoadResult Result =
      LoadPeImage(reinterpret_cast<const uint8_t *>(kImageFileAddress), kImageFileMaxBytes,
                  reinterpret_cast<uint8_t *>(kImageLoadAddress), kImageMaxBytes, &Image);
  if (Result != LoadResult::kOk) {
    Line()
        .Str("FAULT driver image at ")
        .Hex(kImageFileAddress)
        .Str(": ")
        .Str(LoadResultName(Result))
        .Send();
    SemihostExit(kExitBadImage);
  }
  SyncInstructions(Image.Base, Image.Size);
  return Image;
}

extern "C" [[noreturn]] void SupervisorMain() {
  SetUpMemory();
  const auto Mode = static_cast<RunMode>(*reinterpret_cast<volatile uint32_t *>(kModeAddress));
  switch (Mode) {
    case kModeScenarios:
      RunScenarios();
    case kModeSelfTest:
      RunSelfTest();
    case kModeFaultFloatingPoint:
    case kModeFaultLoad:
    case kModeFaultUndefined:
    case kModeFaultUnaligned:
      RunFault(Mode);
    case kModeDemo:
      RunDemo();
    case kModeServe:
      RunServe();
  }
  Line().Str("FAULT unknown run mode ").Dec(Mode).Send();
  SemihostExit(kExitSupervisorFault);
}

}  // namespace supervisor
