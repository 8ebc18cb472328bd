// SPDX-License-Identifier: BSD-3-Clause
// Supervisor start: memory map and MMU, then the run mode (scenarios, demo, self-test, one of the
// deliberate driver faults that prove a fault ends the run, or serving a host's requests).
#include "qemu/Supervisor.h"

#include "qemu/MemoryMap.h"
#include "qemu/Mmu.h"
#include "qemu/RecordTrap.h"
#include "qemu/Semihosting.h"
#include "qemu/Trap.h"

extern "C" char __supervisor_start[], __el0_text_start[], __el0_text_end[];
extern "C" char El0CheckRegisters[], El0FaultFloatingPoint[], El0FaultLoad[], El0FaultUndefined[],
    El0FaultUnaligned[], El0RecordForms[], El0FaultPair[];

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

// A record flush against the end of the communication page.
constexpr uint64_t kSelfTestRecord = kCommBufferAddress + kCommBufferBytes - VARNELMM_RECORD_BYTES;

// Every access form the record counter replays, at EL0 on the trapping page: the registers each
// load leaves, the bytes each store leaves, and the count per word.
void CheckRecordForms() {
  auto *Record = reinterpret_cast<volatile uint64_t *>(kSelfTestRecord);
  Record[0] = 0x8877665544332211ULL;
  Record[1] = 0xF0E0D0C0B0A09080ULL;
  Record[2] = 0;
  Record[3] = 0;
  Record[4] = 0;
  Record[5] = ~0ULL;
  auto *Out = reinterpret_cast<volatile uint64_t *>(kPoolArenaAddress);
  BeginRecordWatch({kSelfTestRecord, VARNELMM_RECORD_BYTES, false, true});
  CallAtEl0(Address(El0RecordForms), kSelfTestRecord, kPoolArenaAddress);
  const RecordTally Tally = EndRecordWatch();
  static constexpr uint64_t kLoaded[] = {0x88,
                                         0xFFFFFFFFFFFFFF88ULL,
                                         0xFFFFFF88,
                                         0x8877,
                                         0xFFFFFFFFFFFF8877ULL,
                                         0xFFFF8877,
                                         0xF0E0D0C0,
                                         0xFFFFFFFFF0E0D0C0ULL,
                                         0xF0E0D0C0B0A09080ULL,
                                         0xF0E0D0C0B0A09080ULL,
                                         0xF0E0D0C0B0A09080ULL,
                                         0x8877665544332211ULL,
                                         0xF0E0D0C0B0A09080ULL,
                                         kSelfTestRecord + 32,
                                         0x1122334455667788ULL,
                                         kEl0StackTop};
  for (uint64_t Index = 0; Index < sizeof(kLoaded) / sizeof(kLoaded[0]); ++Index) {
    if (Out[Index] != kLoaded[Index]) {
      Line().Str("record form ").Dec(Index).Str(" left ").Hex(Out[Index]).Send();
    }
    Check(Out[Index] == kLoaded[Index], "each load form leaves its register as the load would");
  }
  Check(Record[2] == 0xD4E5F607B2C300A1ULL && Record[3] == 0x1122334455667788ULL &&
            Record[4] == 0x1122334455667788ULL && Record[5] == 0,
        "each store form writes its bytes and no others");
  static constexpr uint32_t kLoads[VARNELMM_RECORD_WORDS] = {8, 6, 0, 0, 0, 0};
  static constexpr uint32_t kStores[VARNELMM_RECORD_WORDS] = {0, 0, 3, 1, 1, 1};
  for (uint32_t Word = 0; Word < VARNELMM_RECORD_WORDS; ++Word) {
    Check(Tally.Loads[Word] == kLoads[Word] && Tally.Stores[Word] == kStores[Word],
          "every record access counted against each word it touches");
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
  // Alignment checking is on for EL1 and EL0 alike, as a strict mapping would have it: a
  // misaligned access faults (fault mode "unaligned" shows it at EL0).
  uint64_t SystemControl = 0;
  asm volatile("mrs %0, sctlr_el1" : "=r"(SystemControl));
  Check((SystemControl & 2) != 0, "alignment checking on (SCTLR_EL1.A)");
  CheckRecordForms();
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
    case kModeFaultPair:
      BeginRecordWatch({kSelfTestRecord, VARNELMM_RECORD_BYTES, true, true});
      CallAtEl0(Address(El0FaultPair), kSelfTestRecord);
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
    case kModeFaultPair:
      RunFault(Mode);
    case kModeDemo:
      RunDemo();
    case kModeServe:
      RunServe();
    case kModeRace:
      RunRace();
  }
  Line().Str("FAULT unknown run mode ").Dec(Mode).Send();
  SemihostExit(kExitSupervisorFault);
}

}  // namespace supervisor
