// SPDX-License-Identifier: BSD-3-Clause
// The platform seam: the only functions whose implementation differs between the AArch64 target
// and the host. The core library never contains them; each program links one implementation.
#pragma once

#include <stdint.h>

// Eight 64-bit words standing for x0..x7 of one supervisor call; x0..x3 come back.
struct ServiceArgumentBlock {
  uint64_t Word[8];
};
static_assert(sizeof(ServiceArgumentBlock) == 64);

#ifdef __cplusplus
extern "C" {
#endif

// Loads x0..x7 from the block, issues `svc #0`, stores x0..x3 back into words 0..3.
void CallSecureService(ServiceArgumentBlock *Block);
// Issues `svc #0xDBDB` with no arguments and returns when the supervisor returns.
void BreakpointTrap(void);
// Single volatile device accesses, in program order.
uint32_t MmioRead32(uint64_t Address);
void MmioWrite32(uint64_t Address, uint32_t Value);
void MmioWrite8(uint64_t Address, uint8_t Value);

#ifdef __cplusplus
}
#endif
