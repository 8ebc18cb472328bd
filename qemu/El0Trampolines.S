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

// Self-test of the record counter: every single-register form it replays, on a record on the
// trapping communication page. x0 = the record (words 0 and 1 hold known values, word 5 is
// non-zero), x1 = 16 words of EL0 memory for the results: the registers x2..x16 and, last, SP. The stores fill words 2 to 5.
  .global El0RecordForms
El0RecordForms:
  ldrb w2, [x0, #7]
  ldrsb x3, [x0, #7]
  ldrsb w4, [x0, #7]
  ldrh w5, [x0, #6]
  ldrsh x6, [x0, #6]
  ldrsh w7, [x0, #6]
  ldr w8, [x0, #12]
  ldrsw x9, [x0, #12]
  ldur x10, [x0, #8]              // unscaled immediate (aligned: alignment checking is on)
  mov x11, #8
  ldr x11, [x0, x11]              // register offset
  mov x12, #1
  ldr x12, [x0, x12, lsl #3]      // scaled register offset
  ldar x13, [x0]
  ldr xzr, [x0]                   // the zero register: nothing changes, SP least of all
  add x15, x0, #16
  mov w16, #-8
  ldr x14, [x15, w16, sxtw]       // sign-extended 32-bit index
  mov x16, #0xA1
  strb w16, [x0, #16]
  mov x16, #0xB2C3
  strh w16, [x0, #18]
  movz w16, #0xF607
  movk w16, #0xD4E5, lsl #16
  str w16, [x0, #20]
  movz x16, #0x7788
  movk x16, #0x5566, lsl #16
  movk x16, #0x3344, lsl #32
  movk x16, #0x1122, lsl #48
  stur x16, [x0, #24]
  add x15, x0, #32
  stlr x16, [x15]
  str xzr, [x0, #40]
  stp x2, x3, [x1, #0]
  stp x4, x5, [x1, #16]
  stp x6, x7, [x1, #32]
  stp x8, x9, [x1, #48]
  stp x10, x11, [x1, #64]
  stp x12, x13, [x1, #80]
  stp x14, x15, [x1, #96]
  mov x15, sp
  stp x16, x15, [x1, #112]
  ret

// Self-test faults: each must end the run with the driver-fault status, except the pair load on
// the record, which the record counter cannot replay: it ends the run with its own status.
  .global El0FaultPair          // x0: the record on the communication page
El0FaultPair:
  ldp x0, x1, [x0]
  ret

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
