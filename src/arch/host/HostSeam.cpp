// SPDX-License-Identifier: BSD-3-Clause
// Host seam: forwards the five platform calls to installable hooks.
#include "arch/host/HostSeam.h"

namespace {

void DefaultSecureService(void *, ServiceArgumentBlock *Block) {
  Block->Word[0] = ~0ULL;
}
void DefaultBreakpoint(void *) {}
uint32_t DefaultRead32(void *, uint64_t) {
  return 0x90;
}
void DefaultWrite32(void *, uint64_t, uint32_t) {}
void DefaultWrite8(void *, uint64_t, uint8_t) {}

constexpr HostSeamHooks kDefaultHooks = {DefaultSecureService, DefaultBreakpoint, DefaultRead32,
                                         DefaultWrite32,       DefaultWrite8,     nullptr};

HostSeamHooks gHooks = kDefaultHooks;
uint64_t gBreakpoints = 0;

}  // namespace

void HostSeamInstall(const HostSeamHooks *Hooks) {
  gHooks = kDefaultHooks;
  if (Hooks == nullptr) {
    return;
  }
  gHooks.Context = Hooks->Context;
  if (Hooks->CallSecureService != nullptr) gHooks.CallSecureService = Hooks->CallSecureService;
  if (Hooks->BreakpointTrap != nullptr) gHooks.BreakpointTrap = Hooks->BreakpointTrap;
  if (Hooks->MmioRead32 != nullptr) gHooks.MmioRead32 = Hooks->MmioRead32;
  if (Hooks->MmioWrite32 != nullptr) gHooks.MmioWrite32 = Hooks->MmioWrite32;
  if (Hooks->MmioWrite8 != nullptr) gHooks.MmioWrite8 = Hooks->MmioWrite8;
}

uint64_t HostSeamBreakpointCount() {
  return gBreakpoints;
}

extern "C" {

void CallSecureService(ServiceArgumentBlock *Block) {
  gHooks.CallSecureService(gHooks.Context, Block);
}

void BreakpointTrap(void) {
  ++gBreakpoints;
  gHooks.BreakpointTrap(gHooks.Context);
}

uint32_t MmioRead32(uint64_t Address) {
  return gHooks.MmioRead32(gHooks.Context, Address);
}

void MmioWrite32(uint64_t Address, uint32_t Value) {
  gHooks.MmioWrite32(gHooks.Context, Address, Value);
}

void MmioWrite8(uint64_t Address, uint8_t Value) {
  gHooks.MmioWrite8(gHooks.Context, Address, Value);
}

}  // extern "C"
