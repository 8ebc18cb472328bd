/* SPDX-License-Identifier: BSD-3-Clause */
// Code that runs at EL0 on the supervisor's behalf, on pages of its own mapped EL0-executable.
//
// The MM services table hands the driver these addresses: each service is one supervisor call
// with an immediate of its own, served at EL1, followed by a return with the driver's x30 (which
// the trap preserves). El0ReturnTrap is the return address of every EL0 call the supervisor
// makes; its supervisor call ends the call. The remaining routines are the self-test's.

  .section .el0.text, "ax"

  .global El0ReturnTrap
El0ReturnTrap:
  svc #0x1FF
  b El0ReturnTrap

  .global El0AllocatePool
El0AllocatePool:
  svc #0x100
  ret

  .global El0FreePool
El0FreePool:
  svc #0x101
  ret

  .global El0HandlerRegister
El0HandlerRegister:
  svc #0x102
  ret

// Self-test: fills x4..x29 with known values, issues `svc #0` (whose answer the self-test sets
// to x0..x3 = 0xA0..0xA3) and then `svc #0xDBDB`, and answers 0 when x0..x3 hold that answer and
// every other register kept its value, else 100 + n for a wrong xn of the answer or n for a
// changed xn. x0 = the base of the known values.
  .global El0CheckRegisters
El0CheckRegisters:
  stp x29, x30, [sp, #-96]!
  stp x19, x20, [sp, #16]
  stp x21, x22, [sp, #32]
  stp x23, x24, [sp, #48]
  stp x25, x26, [sp, #64]
  stp x27, x28, [sp, #80]
  mov x30, x0
  .irp n, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29
  add x\n, x30, #\n
  .endr
  mov x0, xzr
  mov x1, xzr
  svc #0
  svc #0xDBDB
  .irp n, 0, 1, 2, 3
  cmp x\n, #(0xA0 + \n)
  mov x0, #(100 + \n)
  b.ne 1f
  mov x0, #0xA0                 // x0 was compared first; restore it for the next comparisons
  .endr
  .irp n, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29
  add x0, x30, #\n
  cmp x0, x\n
  mov x0, #\n
  b.ne 1f
  .endr
  mov x0, xzr
1:ldp x19, x20, [sp, #16]
  ldp x21, x22, [sp, #32]
  ldp x23, x24, [sp, #48]
  ldp x25, x26, [sp, #64]
  ldp x27, x28, [sp, #80]
  ldp x29, x30, [sp], #96
  ret

// Self-test faults: each must end the run with the driver-fault status.
  .global El0FaultFloatingPoint
El0FaultFloatingPoint:
  .inst 0x9e670000              // fmov d0, x0 (spelled out: the supervisor is built without FP)
  ret

  .global El0FaultLoad          // x0: an address EL0 may not read
El0FaultLoad:
  ldr x0, [x0]
  ret

  .global El0FaultUndefined
El0FaultUndefined:
  udf #0
  ret

  .global El0FaultUnaligned     // x0: an address that is not a multiple of 8
El0FaultUnaligned:
  ldxr x0, [x0]                 // exclusive accesses must be aligned, even to Normal memory
  ret
