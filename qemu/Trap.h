// SPDX-License-Identifier: BSD-3-Clause
// The EL1 side of everything the driver does at EL0: supervisor calls and faults.
#pragma once

#include <stdint.h>

namespace supervisor {

// The EL0 state saved by the exception vectors (Start.S).
struct TrapFrame {
  uint64_t X[31];
  uint64_t SpEl0;
  uint64_t Elr;
  uint64_t Spsr;
  uint64_t Esr;
  uint64_t Far;
};
static_assert(sizeof(TrapFrame) == 288);

// What SupervisorTrap tells the vector code to do.
enum TrapAction : uint64_t { kTrapResume = 0, kTrapFinish = 1 };

// Immediates of the supervisor calls the driver (and the trampolines) make.
constexpr uint16_t kSvcSecureService = 0;
constexpr uint16_t kSvcBreakpoint = 0xDBDB;
constexpr uint16_t kSvcAllocatePool = 0x100;
constexpr uint16_t kSvcFreePool = 0x101;
constexpr uint16_t kSvcHandlerRegister = 0x102;
constexpr uint16_t kSvcReturn = 0x1FF;

// The services behind the supervisor calls, provided by whoever runs the driver (the scenario
// world or the self-test). Each receives the frame and writes its results into it.
struct SupervisorServices {
  void (*SecureService)(TrapFrame *Frame);
  void (*AllocatePool)(TrapFrame *Frame);
  void (*FreePool)(TrapFrame *Frame);
  void (*HandlerRegister)(TrapFrame *Frame);
};
void InstallServices(const SupervisorServices *Services);

// Breakpoint calls (svc #0xDBDB) taken since the supervisor started.
uint64_t BreakpointCount();

// Runs Pc at EL0 with up to eight arguments on the EL0 stack and returns its x0.
uint64_t CallAtEl0(uint64_t Pc, uint64_t A0 = 0, uint64_t A1 = 0, uint64_t A2 = 0, uint64_t A3 = 0);

// Told about a fatal exception (or a refused service argument) after its report line and before
// the run ends: the serve mode sends it to its host. Called at most once.
using FaultObserver = void (*)(const char *What, const TrapFrame *Frame, uint32_t Status);
void SetFaultObserver(FaultObserver Observer);

// Reports the exception in the frame and ends the run with Status. Also used when a service
// finds an argument it cannot accept.
[[noreturn]] void FatalTrap(const char *What, const TrapFrame *Frame, uint32_t Status);

}  // namespace supervisor
