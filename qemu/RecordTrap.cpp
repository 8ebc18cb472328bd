// SPDX-License-Identifier: BSD-3-Clause
// The record's loads counted at the memory: see RecordTrap.h.
#include "qemu/RecordTrap.h"

#include "driver/RequestTable.h"
#include "qemu/MemoryMap.h"
#include "qemu/Semihosting.h"

extern "C" char __el0_text_start[], __el0_text_end[];

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

constexpr uint64_t kWordBytes = 8;

RecordWatch gWatch = {};
bool gWatching = false;
RecordTally gTally = {};
bool gFunctionKnown = false;
uint64_t gFunction = 0;
uint64_t gAccesses = 0;
// The first load of the watch, kept for the report when it is judged only at the end.
TrapFrame gFirstLoad = {};
bool gLoaded = false;

// The words a request may load, from the driver's own request table: none when the handler must
// refuse without reading (no record, misaligned, shorter than a word), word 0 alone when the
// function number is out of range or the size is short for its row, else the row's words.
uint32_t AllowedLoads(uint64_t Function) {
  if (!gWatch.Handed || (gWatch.Record & (kWordBytes - 1)) != 0 ||
      gWatch.CommBufferSize < kWordBytes) {
    return 0;
  }
  if (Function > varnel::kHighestFunction ||
      gWatch.CommBufferSize < varnel::BytesNeeded(varnel::kRequests[Function])) {
    return 1;
  }
  return varnel::kRequests[Function].ReadWords;
}

[[noreturn]] void Reject(const char *What, uint64_t Word, const TrapFrame *Frame) {
  Line Out;
  Out.Str("RECORD ").Str(What).Str(": word ").Dec(Word);
  if (gFunctionKnown) {
    Out.Str(", function ").Dec(gFunction);
  }
  Out.Str(", CommBufferSize ").Dec(gWatch.CommBufferSize).Str(", loads");
  for (uint32_t Index = 0; Index < 6; ++Index) {
    Out.Put(' ').Dec(gTally.Loads[Index]);
  }
  Out.Send();
  FatalTrap(What, Frame, kExitRecordAccess);
}

uint64_t LoadAt(uint64_t Address, uint8_t Bytes) {
  switch (Bytes) {
    case 1:
      return *reinterpret_cast<const volatile uint8_t *>(Address);
    case 2:
      return *reinterpret_cast<const volatile uint16_t *>(Address);
    case 4:
      return *reinterpret_cast<const volatile uint32_t *>(Address);
    default:
      return *reinterpret_cast<const volatile uint64_t *>(Address);
  }
}

void StoreAt(uint64_t Address, uint8_t Bytes, uint64_t Value) {
  switch (Bytes) {
    case 1:
      *reinterpret_cast<volatile uint8_t *>(Address) = static_cast<uint8_t>(Value);
      break;
    case 2:
      *reinterpret_cast<volatile uint16_t *>(Address) = static_cast<uint16_t>(Value);
      break;
    case 4:
      *reinterpret_cast<volatile uint32_t *>(Address) = static_cast<uint32_t>(Value);
      break;
    default:
      *reinterpret_cast<volatile uint64_t *>(Address) = Value;
      break;
  }
}

// The value a load leaves in its register: sign-extended from its size when SSE says so, then cut
// to the register's width (a W register's upper half is zero).
uint64_t Extend(uint64_t Value, const DataAccess &Access) {
  const uint32_t Bits = Access.Bytes * 8u;
  if (Access.SignExtend && Bits < 64 && (Value >> (Bits - 1)) != 0) {
    Value |= ~0ULL << Bits;
  }
  return Access.SixtyFour ? Value : (Value & 0xFFFFFFFFULL);
}

// Counts a load of words First..Last (and judges it) before it is performed.
void CountLoad(uint32_t First, uint32_t Last, uint64_t Word0, const TrapFrame *Frame) {
  if (!gLoaded) {
    gLoaded = true;
    gFirstLoad = *Frame;
  }
  for (uint32_t Word = First; Word <= Last; ++Word) {
    if (Word == 0 && !gFunctionKnown) {
      gFunctionKnown = true;
      gFunction = Word0;
    }
    ++gTally.Loads[Word];
  }
  if (!gWatch.Judged) {
    return;
  }
  for (uint32_t Word = First; Word <= Last; ++Word) {
    if (gTally.Loads[Word] > 1) {
      Reject("record word loaded twice", Word, Frame);
    }
    // Before word 0 is known only the refusals that read nothing can be judged; a later load of
    // word 0 judges the words loaded before it.
    const uint32_t Allowed = AllowedLoads(gFunctionKnown ? gFunction : 0);
    if (gFunctionKnown) {
      for (uint32_t Earlier = 0; Earlier < 6; ++Earlier) {
        if (gTally.Loads[Earlier] != 0 && (Allowed & (1u << Earlier)) == 0) {
          Reject("record word its request does not use loaded", Earlier, Frame);
        }
      }
    } else if (AllowedLoads(0) == 0) {
      Reject("record loaded by a request that must not read it", Word, Frame);
    }
  }
}

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
    if ((Instruction & 0x3B000000u) == 0x39000000u) {  // unsigned immediate, scaled
      Decoded.Address = Base + (static_cast<uint64_t>((Instruction >> 10) & 0xFFF) << Size);
    } else if ((Instruction & 0x3B200C00u) == 0x38000000u) {  // unscaled immediate (LDUR, STUR)
      const uint64_t Imm9 = (Instruction >> 12) & 0x1FF;
      Decoded.Address = Base + ((Imm9 & 0x100) != 0 ? Imm9 - 0x200 : Imm9);
    } else if ((Instruction & 0x3B200C00u) == 0x38200800u) {  // register offset
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

void BeginRecordWatch(const RecordWatch &Watch) {
  gWatch = Watch;
  gTally = {};
  gFunctionKnown = false;
  gFunction = 0;
  gLoaded = false;
  gWatching = true;
}

RecordTally EndRecordWatch() {
  gWatching = false;
  // Words loaded without word 0: no row admits them.
  if (gWatch.Judged && gLoaded && !gFunctionKnown) {
    Reject("record word loaded without the function number", 0, &gFirstLoad);
  }
  return gTally;
}

const RecordTally &LastRecordTally() {
  return gTally;
}

uint64_t RecordAccessCount() {
  return gAccesses;
}

bool ServeRecordAccess(TrapFrame *Frame) {
  const uint64_t Address = Frame->Far;
  // Only the permission faults the EL1-only mapping causes are the counter's; an alignment fault
  // (an unaligned exclusive, say) stays a driver fault.
  if (Address < kCommBufferAddress || Address >= kCommBufferAddress + kCommBufferBytes ||
      (Frame->Esr & kDfscPermissionMask) != kDfscPermission) {
    return false;
  }
  DataAccess Access = {};
  const uint64_t El0Text = reinterpret_cast<uint64_t>(__el0_text_start);
  const bool InEl0Text =
      Frame->Elr >= El0Text && Frame->Elr < reinterpret_cast<uint64_t>(__el0_text_end);
  if (!(InEl0Text || IsEl0Memory(Frame->Elr, sizeof(uint32_t))) ||
      !DecodeDataAbort(Frame->Esr, *reinterpret_cast<const volatile uint32_t *>(Frame->Elr), *Frame,
                       &Access)) {
    FatalTrap("record access not a single-register load or store (pair, write-back, exclusive?)",
              Frame, kExitRecordAccess);
  }
  if (!gWatching) {
    FatalTrap("communication page touched outside a handler call", Frame, kExitRecordAccess);
  }
  const uint64_t Record = gWatch.Record;
  // A record placed flush against the end of the page may be shorter than six words.
  const uint64_t PageEnd = kCommBufferAddress + kCommBufferBytes;
  const uint64_t RecordEnd =
      PageEnd - Record < varnel::kRecordBytes ? PageEnd : Record + varnel::kRecordBytes;
  if (Address < Record || Address + Access.Bytes > RecordEnd) {
    FatalTrap("access outside the record", Frame, kExitRecordAccess);
  }
  const auto First = static_cast<uint32_t>((Address - Record) / kWordBytes);
  const auto Last = static_cast<uint32_t>((Address + Access.Bytes - 1 - Record) / kWordBytes);
  ++gAccesses;
  if (Access.Write) {
    for (uint32_t Word = First; Word <= Last; ++Word) {
      ++gTally.Stores[Word];
    }
    const uint64_t Value = Access.Register == 31 ? 0 : Frame->X[Access.Register];
    if (Access.AcquireRelease) {
      asm volatile("dmb ish" ::: "memory");
    }
    StoreAt(Address, Access.Bytes, Value);
  } else {
    const uint64_t Raw = LoadAt(Address, Access.Bytes);
    const bool WholeWord = (Address - Record) % kWordBytes == 0 && Access.Bytes == kWordBytes;
    if (WholeWord && gTally.Loads[First] == 0) {
      gTally.Loaded[First] = Raw;
    }
    const bool WholeWord0 = WholeWord && First == 0;
    CountLoad(First, Last, WholeWord0 ? Raw : LoadAt(Record, kWordBytes), Frame);
    if (Access.Register != 31) {
      Frame->X[Access.Register] = Extend(Raw, Access);
    }
    if (Access.AcquireRelease) {
      asm volatile("dmb ish" ::: "memory");
    }
  }
  Frame->Elr += 4;
  return true;
}

}  // namespace supervisor
