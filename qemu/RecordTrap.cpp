// SPDX-License-Identifier: BSD-3-Clause
// The record's loads counted at the memory: see RecordTrap.h.
#include "qemu/RecordTrap.h"

#include "driver/RequestTable.h"
#include "qemu/MemoryMap.h"
#include "qemu/Semihosting.h"

extern "C" char __el0_text_start[], __el0_text_end[];

namespace supervisor {
namespace {

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
      gWatch.CommBufferSize < varnel::kRequests[Function].BytesNeeded) {
    return 1;
  }
  return varnel::ReadWords(varnel::kRequests[Function]);
}

[[noreturn]] void Reject(const char *What, uint64_t Word, const TrapFrame *Frame) {
  Line Out;
  Out.Str("RECORD ").Str(What).Str(": word ").Dec(Word);
  if (gFunctionKnown) {
    Out.Str(", function ").Dec(gFunction);
  }
  Out.Str(", CommBufferSize ").Dec(gWatch.CommBufferSize).Str(", loads");
  for (uint32_t Index = 0; Index < VARNELMM_RECORD_WORDS; ++Index) {
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
      for (uint32_t Earlier = 0; Earlier < VARNELMM_RECORD_WORDS; ++Earlier) {
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
