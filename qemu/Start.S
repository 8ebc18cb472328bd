/* SPDX-License-Identifier: BSD-3-Clause */
// Reset entry, exception vectors and the switches between EL1 and EL0.
//
// QEMU starts the supervisor at EL1 with the MMU off. The supervisor runs the driver at EL0 with
// RunAtEl0, which saves its own callee-saved state and erets; every exception taken from EL0
// saves the complete EL0 register state into a TrapFrame on the EL1 stack and calls
// SupervisorTrap. That answers kTrapResume (restore the frame, eret to EL0) or kTrapFinish (the
// EL0 call is over: RunAtEl0 returns the frame's x0 to its caller).

#define FRAME_SIZE 288
#define FRAME_ELR 256
#define FRAME_ESR 272
#define TRAP_FINISH 1

  .section .text.boot, "ax"
  .global _start
_start:
  msr daifset, #0xf
  mrs x0, CurrentEL
  cmp x0, #(1 << 2)
  b.ne wrong_level
  ldr x0, =__stack_top
  mov sp, x0
  ldr x0, =__bss_start
  ldr x1, =__bss_end
1:cmp x0, x1
  b.hs 2f
  str xzr, [x0], #8
  b 1b
2:adr x0, vectors
  msr vbar_el1, x0
  msr cpacr_el1, xzr          // floating point and SIMD trap at EL0 and EL1
  isb
  bl SupervisorMain
3:b 3b

// The second CPU, started by PSCI CPU_ON at EL1 with the MMU off: its own stack, the same
// vectors, floating point trapped; SecondaryMain never returns.
  .global SecondaryStart
SecondaryStart:
  msr daifset, #0xf
  ldr x0, =secondary_stack_top
  mov sp, x0
  adr x0, vectors
  msr vbar_el1, x0
  msr cpacr_el1, xzr
  isb
  bl SecondaryMain
4:b 4b

wrong_level:                  // not at EL1: leave QEMU with status 2 (semihosting SYS_EXIT)
  adr x1, wrong_level_block
  mov x0, #0x18
  hlt #0xf000
  b wrong_level
  .balign 8
wrong_level_block:
  .quad 0x20026, 2

  .text
// Saves x0 and x1, then trap_common saves the rest of the TrapFrame and calls
// SupervisorTrap(frame, kind).
.macro trap_entry kind
  .balign 0x80
  sub sp, sp, #FRAME_SIZE
  stp x0, x1, [sp, #0]
  mov x1, #\kind
  b trap_common
.endm

  .balign 0x800
vectors:
  trap_entry 0    // current EL, SP_EL0: synchronous
  trap_entry 1    //   IRQ
  trap_entry 2    //   FIQ
  trap_entry 3    //   SError
  trap_entry 4    // current EL, SP_ELx: synchronous
  trap_entry 5
  trap_entry 6
  trap_entry 7
  trap_entry 8    // lower EL, AArch64: synchronous
  trap_entry 9
  trap_entry 10
  trap_entry 11
  trap_entry 12   // lower EL, AArch32
  trap_entry 13
  trap_entry 14
  trap_entry 15

trap_common:
  stp x2, x3, [sp, #16]
  stp x4, x5, [sp, #32]
  stp x6, x7, [sp, #48]
  stp x8, x9, [sp, #64]
  stp x10, x11, [sp, #80]
  stp x12, x13, [sp, #96]
  stp x14, x15, [sp, #112]
  stp x16, x17, [sp, #128]
  stp x18, x19, [sp, #144]
  stp x20, x21, [sp, #160]
  stp x22, x23, [sp, #176]
  stp x24, x25, [sp, #192]
  stp x26, x27, [sp, #208]
  stp x28, x29, [sp, #224]
  mrs x10, sp_el0
  stp x30, x10, [sp, #240]
  mrs x10, elr_el1
  mrs x11, spsr_el1
  stp x10, x11, [sp, #FRAME_ELR]
  mrs x10, esr_el1
  mrs x11, far_el1
  stp x10, x11, [sp, #FRAME_ESR]
  mov x0, sp
  bl SupervisorTrap
  cmp x0, #TRAP_FINISH
  b.eq trap_finish
  ldp x10, x11, [sp, #FRAME_ELR]
  msr elr_el1, x10
  msr spsr_el1, x11
  ldp x30, x10, [sp, #240]
  msr sp_el0, x10
  ldp x0, x1, [sp, #0]
  ldp x2, x3, [sp, #16]
  ldp x4, x5, [sp, #32]
  ldp x6, x7, [sp, #48]
  ldp x8, x9, [sp, #64]
  ldp x10, x11, [sp, #80]
  ldp x12, x13, [sp, #96]
  ldp x14, x15, [sp, #112]
  ldp x16, x17, [sp, #128]
  ldp x18, x19, [sp, #144]
  ldp x20, x21, [sp, #160]
  ldp x22, x23, [sp, #176]
  ldp x24, x25, [sp, #192]
  ldp x26, x27, [sp, #208]
  ldp x28, x29, [sp, #224]
  add sp, sp, #FRAME_SIZE
  eret

// The EL0 call is over: return its x0 from RunAtEl0 on the EL1 state RunAtEl0 saved.
trap_finish:
  ldr x0, [sp, #0]
  adrp x9, el1_context
  add x9, x9, :lo12:el1_context
  ldp x19, x20, [x9, #0]
  ldp x21, x22, [x9, #16]
  ldp x23, x24, [x9, #32]
  ldp x25, x26, [x9, #48]
  ldp x27, x28, [x9, #64]
  ldp x29, x30, [x9, #80]
  ldr x10, [x9, #96]
  mov sp, x10
  ret

// uint64_t RunAtEl0(uint64_t Pc, const uint64_t Arguments[8], uint64_t StackTop,
//                   uint64_t ReturnTrap)
// Enters EL0 at Pc with x0..x7 from Arguments, SP_EL0 = StackTop, x30 = ReturnTrap and every
// other register zero. Returns when SupervisorTrap answers kTrapFinish.
  .global RunAtEl0
RunAtEl0:
  adrp x9, el1_context
  add x9, x9, :lo12:el1_context
  stp x19, x20, [x9, #0]
  stp x21, x22, [x9, #16]
  stp x23, x24, [x9, #32]
  stp x25, x26, [x9, #48]
  stp x27, x28, [x9, #64]
  stp x29, x30, [x9, #80]
  mov x10, sp
  str x10, [x9, #96]
  msr elr_el1, x0
  mov x10, #0x3c0             // EL0t with D, A, I and F masked
  msr spsr_el1, x10
  msr sp_el0, x2
  mov x30, x3
  mov x9, x1
  ldp x0, x1, [x9, #0]
  ldp x2, x3, [x9, #16]
  ldp x4, x5, [x9, #32]
  ldp x6, x7, [x9, #48]
  .irp n, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29
  mov x\n, xzr
  .endr
  eret

  .bss
  .balign 16
el1_context:
  .skip 112
  .balign 16
secondary_stack:
  .skip 0x4000
secondary_stack_top:
