// SPDX-License-Identifier: BSD-3-Clause
// The platform seam on the real CPU, at EL0 inside the secure partition.
#include "arch/Arch.h"

extern "C" {

void CallSecureService(ServiceArgumentBlock *Block) {
  // Each word pinned to its register; x0..x3 are both argument and result.
  register uint64_t X0 asm("x0") = Block->Word[0];
  register uint64_t X1 asm("x1") = Block->Word[1];
  register uint64_t X2 asm("x2") = Block->Word[2];
  register uint64_t X3 asm("x3") = Block->Word[3];
  register uint64_t X4 asm("x4") = Block->Word[4];
  register uint64_t X5 asm("x5") = Block->Word[5];
  register uint64_t X6 asm("x6") = Block->Word[6];
  register uint64_t X7 asm("x7") = Block->Word[7];
  asm volatile("svc #0"
               : "+r"(X0), "+r"(X1), "+r"(X2), "+r"(X3)
               : "r"(X4), "r"(X5), "r"(X6), "r"(X7)
               : "memory");
  Block->Word[0] = X0;
  Block->Word[1] = X1;
  Block->Word[2] = X2;
  Block->Word[3] = X3;
}

void BreakpointTrap(void) {
  asm volatile("svc #0xDBDB" ::: "memory");
}

uint32_t MmioRead32(uint64_t Address) {
  return *reinterpret_cast<volatile uint32_t *>(Address);
}

void MmioWrite32(uint64_t Address, uint32_t Value) {
  *reinterpret_cast<volatile uint32_t *>(Address) = Value;
}

void MmioWrite8(uint64_t Address, uint8_t Value) {
  *reinterpret_cast<volatile uint8_t *>(Address) = Value;
}

}  // extern "C"
