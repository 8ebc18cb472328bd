// SPDX-License-Identifier: BSD-3-Clause
// Host implementation of the platform seam: each call is forwarded to a hook that a test, the
// models or a tool installs. Without hooks the seam answers as an idle machine would.
#pragma once

#include <stdint.h>

#include "arch/Arch.h"

struct HostSeamHooks {
  void (*CallSecureService)(void *Context, ServiceArgumentBlock *Block);
  void (*BreakpointTrap)(void *Context);
  uint32_t (*MmioRead32)(void *Context, uint64_t Address);
  void (*MmioWrite32)(void *Context, uint64_t Address, uint32_t Value);
  void (*MmioWrite8)(void *Context, uint64_t Address, uint8_t Value);
  void *Context;
};

// Installs the hooks (copied); a null pointer, or a null member, restores that default.
// Defaults: a secure call answers x0 = -1 (not supported), a breakpoint returns at once, device
// reads answer 0x90 (PL011 flags: transmit FIFO empty, receive FIFO empty) and writes are dropped.
void HostSeamInstall(const HostSeamHooks *Hooks);

// Breakpoint traps taken since the process started (counted whatever hook is installed).
uint64_t HostSeamBreakpointCount();
