// SPDX-License-Identifier: BSD-3-Clause
// The access of a permission fault taken from EL0, decoded from the faulting instruction: see
// DataAbort.h.
#include "qemu/DataAbort.h"

namespace supervisor {
namespace {

// ESR_EL1 fields of a data abort (EC 0x24).
constexpr uint64_t kEcDataAbortLower = 0x24;
constexpr uint64_t kIl = 1ULL << 25;
constexpr uint64_t kIsv = 1ULL << 24;
constexpr uint64_t kSasShift = 22;
constexpr uint64_t kSse = 1ULL << 21;
constexpr uint64_t kSrtShift = 16;
constexpr uint64_t kSf = 1ULL << 15;
constexpr uint64_t kAr = 1ULL << 14;
constexpr uint64_t kFnV = 1ULL << 10;
constexpr uint64_t kEa = 1ULL << 9;
constexpr uint64_t kCm = 1ULL << 8;
constexpr uint64_t kS1ptw = 1ULL << 7;
constexpr uint64_t kWnR = 1ULL << 6;
constexpr uint64_t kDfscPermissionMask = 0x3C;  // DFSC 0b0011xx: permission fault, level xx
constexpr uint64_t kDfscPermission = 0x0C;

}  // namespace

bool DecodeDataAbort(uint64_t Esr, uint32_t Instruction, const TrapFrame &Frame,
                     DataAccess *Access) {
  if (((Esr >> 26) & 0x3F) != kEcDataAbortLower || (Esr & kIl) == 0 ||
      (Esr & (kFnV | kEa | kCm | kS1ptw)) != 0 || (Esr & kDfscPermissionMask) != kDfscPermission) {
    return false;
  }
  const uint32_t Size = Instruction >> 30;
  const uint32_t Rn = (Instruction >> 5) & 0x1F;
  const uint64_t Base = Rn == 31 ? Frame.SpEl0 : Frame.X[Rn];
  DataAccess Decoded = {};
  Decoded.Bytes = static_cast<uint8_t>(1u << Size);
  Decoded.Register = static_cast<uint8_t>(Instruction & 0x1F);
  if ((Instruction & 0x3FBFFC00u) == 0x089FFC00u) {
    // LDAR / STLR: size 001000 1 L 0 11111 1 11111 Rn Rt.
    Decoded.Write = (Instruction & (1u << 22)) == 0;
    Decoded.SixtyFour = Size == 3;
    Decoded.AcquireRelease = true;
    Decoded.Address = Base;
  } else {
    // Load/store register, general-purpose (V = 0): size 111 0 0x opc ...
    const uint32_t Opc = (Instruction >> 22) & 3;
    if ((Instruction & 0x3F000000u) == 0x39000000u) {  // unsigned immediate, scaled
      Decoded.Address = Base + (static_cast<uint64_t>((Instruction >> 10) & 0xFFF) << Size);
    } else if ((Instruction & 0x3F200C00u) == 0x38000000u) {  // unscaled immediate (LDUR, STUR)
      const uint64_t Imm9 = (Instruction >> 12) & 0x1FF;
      Decoded.Address = Base + ((Imm9 & 0x100) != 0 ? Imm9 - 0x200 : Imm9);
    } else if ((Instruction & 0x3F200C00u) == 0x38200800u) {  // register offset
      const uint32_t Option = (Instruction >> 13) & 7;
      const uint32_t Rm = (Instruction >> 16) & 0x1F;
      const uint64_t Index = Rm == 31 ? 0 : Frame.X[Rm];
      uint64_t Offset = 0;
      switch (Option) {
        case 2:  // UXTW
          Offset = Index & 0xFFFFFFFFULL;
          break;
        case 3:  // LSL (UXTX)
        case 7:  // SXTX
          Offset = Index;
          break;
        case 6:  // SXTW
          Offset = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(Index)));
          break;
        default:
          return false;
      }
      Decoded.Address = Base + (Offset << (((Instruction >> 12) & 1) != 0 ? Size : 0));
    } else {
      return false;
    }
    switch (Opc) {
      case 0:  // STR
        Decoded.Write = true;
        Decoded.SixtyFour = Size == 3;
        break;
      case 1:  // LDR, zero-extending
        Decoded.SixtyFour = Size == 3;
        break;
      case 2:  // LDRSB, LDRSH, LDRSW into Xt (size 3 is a prefetch)
        if (Size == 3) {
          return false;
        }
        Decoded.SignExtend = true;
        Decoded.SixtyFour = true;
        break;
      default:  // LDRSB, LDRSH into Wt (sizes 2 and 3 are unallocated)
        if (Size >= 2) {
          return false;
        }
        Decoded.SignExtend = true;
        break;
    }
  }
  // The decode must be the access that faulted.
  if (Decoded.Write != ((Esr & kWnR) != 0) || Decoded.Address != Frame.Far) {
    return false;
  }
  if ((Esr & kIsv) != 0 &&
      (((Esr >> kSasShift) & 3) != Size || ((Esr & kSse) != 0) != Decoded.SignExtend ||
       ((Esr >> kSrtShift) & 0x1F) != Decoded.Register || ((Esr & kSf) != 0) != Decoded.SixtyFour ||
       ((Esr & kAr) != 0) != Decoded.AcquireRelease)) {
    return false;
  }
  *Access = Decoded;
  return true;
}

}  // namespace supervisor
