// SPDX-License-Identifier: BSD-3-Clause
// Exception handling: decode ESR_EL1, serve supervisor calls from EL0, and turn every other
// exception into a report line and a distinct exit status.
#include "qemu/Trap.h"

#include "qemu/MemoryMap.h"
#include "qemu/RecordTrap.h"
#include "qemu/Semihosting.h"

extern "C" uint64_t RunAtEl0(uint64_t Pc, const uint64_t *Arguments, uint64_t StackTop,
                             uint64_t ReturnTrap);
extern "C" char El0ReturnTrap[];

namespace supervisor {
namespace {

constexpr uint64_t kEcShift = 26;
constexpr uint64_t kEcMask = 0x3F;
constexpr uint64_t kEcSvc64 = 0x15;
constexpr uint64_t kEcDataAbortLower = 0x24;
constexpr uint64_t kLowerElSynchronous = 8;

const SupervisorServices *gServices = nullptr;
uint64_t gBreakpoints = 0;
FaultObserver gFaultObserver = nullptr;

const char *ExceptionClassName(uint64_t Ec) {
  switch (Ec) {
    case 0x00:
      return "unknown reason (undefined instruction)";
    case 0x01:
      return "WFI/WFE";
    case 0x07:
      return "floating point or SIMD access trapped";
    case 0x0E:
      return "illegal execution state";
    case 0x15:
      return "SVC from AArch64";
    case 0x18:
      return "system register access";
    case 0x20:
      return "instruction abort from a lower level";
    case 0x21:
      return "instruction abort at EL1";
    case 0x22:
      return "PC alignment fault";
    case 0x24:
      return "data abort from a lower level";
    case 0x25:
      return "data abort at EL1";
    case 0x26:
      return "SP alignment fault";
    case 0x2F:
      return "SError";
    case 0x3C:
      return "BRK instruction";
    default:
      return "other";
  }
}

const char *KindName(uint64_t Kind) {
  static const char *const kNames[] = {
      "EL1t synchronous",    "EL1t IRQ",    "EL1t FIQ",    "EL1t SError",
      "EL1h synchronous",    "EL1h IRQ",    "EL1h FIQ",    "EL1h SError",
      "EL0 synchronous",     "EL0 IRQ",     "EL0 FIQ",     "EL0 SError",
      "AArch32 synchronous", "AArch32 IRQ", "AArch32 FIQ", "AArch32 SError"};
  return Kind < 16 ? kNames[Kind] : "?";
}

}  // namespace

void SetFaultObserver(FaultObserver Observer) {
  gFaultObserver = Observer;
}

void InstallServices(const SupervisorServices *Services) {
  gServices = Services;
}

uint64_t BreakpointCount() {
  return gBreakpoints;
}

uint64_t CallAtEl0(uint64_t Pc, uint64_t A0, uint64_t A1, uint64_t A2, uint64_t A3) {
  const uint64_t Arguments[8] = {A0, A1, A2, A3, 0, 0, 0, 0};
  return RunAtEl0(Pc, Arguments, kEl0StackTop, reinterpret_cast<uint64_t>(El0ReturnTrap));
}

void FatalTrap(const char *What, const TrapFrame *Frame, uint32_t Status) {
  const uint64_t Ec = (Frame->Esr >> kEcShift) & kEcMask;
  Line()
      .Str("FAULT ")
      .Str(What)
      .Str(": EC ")
      .Hex(Ec)
      .Str(" (")
      .Str(ExceptionClassName(Ec))
      .Str(") ESR ")
      .Hex(Frame->Esr)
      .Str(" ELR ")
      .Hex(Frame->Elr)
      .Str(" FAR ")
      .Hex(Frame->Far)
      .Str(" SP_EL0 ")
      .Hex(Frame->SpEl0)
      .Str(" x30 ")
      .Hex(Frame->X[30])
      .Send();
  // Cleared first: a fault inside the observer must not call it again.
  const FaultObserver Observer = gFaultObserver;
  gFaultObserver = nullptr;
  if (Observer != nullptr) {
    Observer(What, Frame, Status);
  }
  SemihostExit(Status);
}

extern "C" uint64_t SupervisorTrap(TrapFrame *Frame, uint64_t Kind) {
  if (Kind != kLowerElSynchronous) {
    if (Kind > kLowerElSynchronous) {
      FatalTrap(KindName(Kind), Frame, kExitDriverFault);
    }
    FatalTrap("in the supervisor", Frame, kExitSupervisorFault);
  }
  const uint64_t Ec = (Frame->Esr >> kEcShift) & kEcMask;
  if (Ec == kEcDataAbortLower && ServeRecordAccess(Frame)) {
    return kTrapResume;
  }
  if (Ec != kEcSvc64) {
    FatalTrap("in the driver at EL0", Frame, kExitDriverFault);
  }
  const uint16_t Immediate = static_cast<uint16_t>(Frame->Esr & 0xFFFF);
  switch (Immediate) {
    case kSvcReturn:
      return kTrapFinish;
    case kSvcBreakpoint:
      ++gBreakpoints;
      return kTrapResume;
    case kSvcSecureService:
      if (gServices != nullptr && gServices->SecureService != nullptr) {
        gServices->SecureService(Frame);
        return kTrapResume;
      }
      break;
    case kSvcAllocatePool:
      if (gServices != nullptr && gServices->AllocatePool != nullptr) {
        gServices->AllocatePool(Frame);
        return kTrapResume;
      }
      break;
    case kSvcFreePool:
      if (gServices != nullptr && gServices->FreePool != nullptr) {
        gServices->FreePool(Frame);
        return kTrapResume;
      }
      break;
    case kSvcHandlerRegister:
      if (gServices != nullptr && gServices->HandlerRegister != nullptr) {
        gServices->HandlerRegister(Frame);
        return kTrapResume;
      }
      break;
    default:
      break;
  }
  FatalTrap("unserved supervisor call", Frame, kExitBadSupervisorCall);
}

}  // namespace supervisor
