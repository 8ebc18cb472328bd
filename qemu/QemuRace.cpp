// SPDX-License-Identifier: BSD-3-Clause
// Race mode: the real image meets a normal world that really runs beside it. QEMU runs two vCPUs
// in parallel (-smp 2 -accel tcg,thread=multi). CPU 0 serves a random stream of signed and plain
// flash requests to the driver at EL0; CPU 1, started with PSCI CPU_ON, rewrites the record's
// words in a tight loop for as long as each request runs: word 0 (to another signed function) of
// the signed requests, Offset, Length, Buffer and AuthInfo, each time to a hostile value and back.
//
// Every secure call the driver makes is checked as the secure firmware receives it: a secure
// operation must be the one the firmware accepted in the same request (function, Offset, Length
// and Buffer of the authenticated bytes), and an operation that changes the flash must lie in the
// access table in force (the boot table fitted to the flash, or the run-time table once the
// stream has locked it down halfway). Each disagreement is a divergence; any divergence fails the
// run. The record counter stays on throughout.
#include "config/VarnelMmConfig.h"
#include "driver/RequestTable.h"
#include "models/SipHash.h"
#include "qemu/MemoryMap.h"
#include "qemu/Mmu.h"
#include "qemu/QemuModels.h"
#include "qemu/RecordTrap.h"
#include "qemu/Semihosting.h"
#include "qemu/Supervisor.h"
#include "qemu/Trap.h"

extern "C" char SecondaryStart[];

namespace supervisor {
namespace {

constexpr uint64_t kPsciCpuOn = 0xC4000003;
constexpr uint64_t kSecondaryMpidr = 1;
constexpr uint32_t kMaxTargets = 5;
constexpr uint64_t kReportedDivergences = 8;

uint64_t Next(uint64_t *State) {  // xorshift64*
  *State ^= *State >> 12;
  *State ^= *State << 25;
  *State ^= *State >> 27;
  return *State * 0x2545F4914F6CDD1DULL;
}

// ---- What CPU 0 tells CPU 1 ---------------------------------------------------------------------

struct Strike {
  uint64_t Address;
  uint64_t Original;
  uint64_t Hostile;
};

struct RacePlan {
  Strike Targets[kMaxTargets];
  uint32_t Count;
};

RacePlan gPlan;
// The request CPU 1 strikes at, with kDisarmed set once the request is over; CPU 1 answers in
// gDone that it has left that request alone.
constexpr uint64_t kDisarmed = 1ULL << 63;
uint64_t gArmed = 0;
uint64_t gDone = 0;
uint64_t gStop = 0;
uint64_t gStopped = 0;
uint64_t gRewrites = 0;
uint64_t gSecondaryUp = 0;

uint64_t LoadAcquire(const uint64_t *Word) {
  return __atomic_load_n(Word, __ATOMIC_ACQUIRE);
}
void StoreRelease(uint64_t *Word, uint64_t Value) {
  __atomic_store_n(Word, Value, __ATOMIC_RELEASE);
}

// ---- The checks ------------------------------------------------------------------------------

const ModelSet *gModels = nullptr;
uint64_t gRequest = 0;
uint64_t gDivergences = 0;
uint64_t gOperations = 0;
uint64_t gAuthentications = 0;
uint64_t gHits = 0;  // requests whose copy holds a value CPU 1 wrote
bool gLockedDown = false;
// The signed part the firmware accepted in the current request, until an operation uses it.
bool gAccepted = false;
uint64_t gAcceptedLength = 0;
uint64_t gAcceptedWords[models::AuthenticationRecord::kMaxCaptured / sizeof(uint64_t)] = {};

void Diverged(const char *What, const uint64_t (&In)[8]) {
  if (gDivergences++ < kReportedDivergences) {
    Line()
        .Str("DIVERGENCE request ")
        .Dec(gRequest)
        .Str(": ")
        .Str(What)
        .Str(" (sub-command ")
        .Dec(In[1])
        .Str(", x2 ")
        .Hex(In[2])
        .Str(", x3 ")
        .Hex(In[3])
        .Str(", x4 ")
        .Hex(In[4])
        .Str(")")
        .Send();
  }
}

// The flash row of a sub-command, from the request table.
const varnel::RequestRow *FlashRow(uint64_t Sub) {
  for (const varnel::RequestRow &Row : varnel::kRequests) {
    if (Row.Path == varnel::RequestPath::kFlash && Row.Sub == Sub) {
      return &Row;
    }
  }
  return nullptr;
}

// The access table in force, judged on its own: [Start, Start + Length) of the flash window lies
// in one row before the table's end row (First <= Start <= Last, end within Last + 1 taken in 32
// bits) whose permission allows changes; lengths beyond 32 bits are never admitted.
bool Admitted(uint64_t Address, uint64_t Length) {
  if (Address < config::kFlashWindowBase || Length > varnel::kLargestJudgedLength) {
    return false;
  }
  const uint64_t Start = Address - config::kFlashWindowBase;
  const uint64_t End = Start + Length;
  const config::RegionAccessEntry *Table =
      gLockedDown ? config::kRunTimeRegionTable : config::kBootRegionTable;
  for (uint32_t Row = 0; Table[Row].First != Table[Row].Last && Table[Row].Permission != 0; ++Row) {
    uint64_t Last = Table[Row].Last;
    if (!gLockedDown && Table[Row].First == config::kBootPatchedRowFirst) {
      Last = static_cast<uint32_t>(gModels->Flash->Size()) - 1;
    }
    const uint64_t Limit = static_cast<uint32_t>(Last + 1);
    if (Table[Row].First <= Start && Start <= Last && End <= Limit) {
      return (Table[Row].Permission & varnel::kPermissionChange) != 0;
    }
  }
  return false;
}

void CheckSecureCall(const uint64_t (&In)[8], const uint64_t (&Out)[4]) {
  if (In[0] != varnel::kFlashServiceId) {
    return;
  }
  if (In[1] == varnel::kSubAuthenticate) {
    ++gAuthentications;
    const models::AuthenticationRecord &Auth = gModels->Firmware->LastAuthentication();
    gAccepted = !models::FwFailed(Out[0]) && Auth.Accepted && Auth.Captured == Auth.Length &&
                Auth.Length <= sizeof(gAcceptedWords);
    if (gAccepted) {
      gAcceptedLength = Auth.Length;
      __builtin_memcpy(gAcceptedWords, Auth.Bytes, Auth.Length);
    }
    return;
  }
  const varnel::RequestRow *Row = FlashRow(In[1]);
  if (Row == nullptr) {
    return;
  }
  ++gOperations;
  if (Row->SignedBytes != 0) {
    const uint64_t Function = gAcceptedWords[0];
    const bool AsSigned = gAccepted && Function <= varnel::kHighestFunction &&
                          varnel::kRequests[Function].Sub == In[1] &&
                          gAcceptedLength == varnel::kRequests[Function].SignedBytes &&
                          gAcceptedWords[varnel::kWordOffset] == In[2] &&
                          gAcceptedWords[varnel::kWordLength] == In[3] &&
                          In[4] == (Row->MovesData ? gAcceptedWords[varnel::kWordBuffer] : 0);
    gAccepted = false;
    if (!AsSigned) {
      Diverged("secure operation other than the one authenticated", In);
    }
  }
  if (Row->PermissionChecked && !Admitted(In[2], In[3])) {
    Diverged("flash change outside the access table in force", In);
  }
}

// ---- The stream ------------------------------------------------------------------------------

uint8_t gSigned[varnel::kHighestFunction + 1];
uint32_t gSignedCount = 0;
uint8_t gPlain[varnel::kHighestFunction + 1];
uint32_t gPlainCount = 0;

void ListFunctions() {
  for (uint64_t Function = 0; Function <= varnel::kHighestFunction; ++Function) {
    const varnel::RequestRow &Row = varnel::kRequests[Function];
    if (Row.Path != varnel::RequestPath::kFlash) {
      continue;
    }
    if (Row.SignedBytes != 0) {
      gSigned[gSignedCount++] = static_cast<uint8_t>(Function);
    } else {
      gPlain[gPlainCount++] = static_cast<uint8_t>(Function);
    }
  }
}

// The rows of a table before its end row.
uint32_t RowsInForce(const config::RegionAccessEntry *Table) {
  uint32_t Rows = 0;
  while (Table[Rows].First != Table[Rows].Last && Table[Rows].Permission != 0) {
    ++Rows;
  }
  return Rows;
}

// An offset near a row boundary of either table, or anywhere in the flash.
uint64_t PickOffset(uint64_t *Random) {
  const uint64_t Choice = Next(Random);
  const uint64_t Size = gModels->Flash->Size();
  if ((Choice & 1) != 0) {
    return (Next(Random) % Size) & ~0xFFFULL;
  }
  const config::RegionAccessEntry *Table =
      (Choice & 2) != 0 ? config::kBootRegionTable : config::kRunTimeRegionTable;
  const config::RegionAccessEntry &Row = Table[(Choice >> 8) % RowsInForce(Table)];
  const uint64_t Edge = (Choice & 4) != 0 ? Row.First : (uint64_t{Row.Last} + 1);
  const uint64_t Step = 0x1000ULL << ((Choice >> 16) % 5);
  const uint64_t Offset = (Choice & 8) != 0 ? Edge - Step : Edge;
  return Offset < Size ? Offset : Size - 0x1000;
}

struct Request {
  VARNELMM_RECORD_WORD_ARRAY Words;
  uint64_t Size;
};

Request MakeRequest(uint64_t *Random, RacePlan *Plan) {
  Request Made = {};
  const uint64_t Choice = Next(Random);
  const bool Signed = (Choice & 1) != 0;
  const uint64_t Function =
      Signed ? gSigned[(Choice >> 8) % gSignedCount] : gPlain[(Choice >> 8) % gPlainCount];
  const varnel::RequestRow &Row = varnel::kRequests[Function];
  static constexpr uint64_t kLengths[] = {0x10, 0x200, 0x1000, 0x2000, 0x10000};
  const uint64_t Length = kLengths[Next(Random) % (sizeof(kLengths) / sizeof(kLengths[0]))];
  Made.Words[0] = Function;
  Made.Words[1] = config::kFlashWindowBase + PickOffset(Random);
  Made.Words[2] = Row.MovesData && Length > 0x2000 ? 0x2000 : Length;
  Made.Words[3] =
      Row.MovesData ? kNormalWorldAddress + ((Next(Random) % (kNormalWorldBytes - 0x2000)) & ~7ULL)
                    : 0;
  const uint64_t AuthWord = Row.SignedBytes / sizeof(uint64_t);
  if (Signed) {
    Made.Words[AuthWord] =
        models::ComputeRequestMac(gModels->Firmware->CurrentKey(), Made.Words, Row.SignedBytes);
  }
  // Mostly exactly the bytes the function needs, so the record ends flush with its page.
  const uint64_t Needed = Row.BytesNeeded;
  Made.Size = Next(Random) % 4 != 0 ? Needed : varnel::kRecordBytes;

  const uint64_t Record = RecordAddress(Made.Size);
  const VARNELMM_RECORD_WORD_ARRAY Hostile = {
      gSigned[(Next(Random) >> 8) % gSignedCount],
      (Choice & 0x400000) != 0 ? config::kFlashWindowBase + 0x1FF000
                               : config::kFlashWindowBase - 0x1000,
      (Choice & 0x800000) != 0 ? 0x3000000 : (1ULL << 32) + Made.Words[2],
      (Choice & 0x1000000) != 0 ? kPoolArenaAddress : Made.Words[3] ^ 0x80000,
      ~Made.Words[4],
      ~Made.Words[5]};
  Plan->Count = 0;
  const uint32_t First = Signed ? 0 : 1;
  const uint32_t Last = Signed ? static_cast<uint32_t>(AuthWord) : Row.LastWordRead;
  for (uint32_t Word = First; Word <= Last && Plan->Count < kMaxTargets; ++Word) {
    if (Word == 0 && Hostile[0] == Function) {
      continue;
    }
    Plan->Targets[Plan->Count++] = {Record + Word * 8, Made.Words[Word], Hostile[Word]};
  }
  return Made;
}

// Serves one request while CPU 1 strikes at it (Strike false: CPU 1 stays away).
EFI_STATUS Serve(Request *Made, bool Strike) {
  ++gRequest;
  gAccepted = false;
  if (Strike) {
    StoreRelease(&gArmed, gRequest);
  }
  const EFI_STATUS Status = CallHandlerAtEl0(Made->Words, Made->Size);
  if (Strike) {
    StoreRelease(&gArmed, gRequest | kDisarmed);
    while (LoadAcquire(&gDone) != gRequest) {
    }
  }
  return Status;
}

// A fault ends the run: say which request of the stream it hit.
void ReportRequest(const char *, const TrapFrame *, uint32_t) {
  Line().Str("RACE fault in request ").Dec(gRequest).Str(" of the stream").Send();
}

void StartSecondary() {
  register uint64_t X0 asm("x0") = kPsciCpuOn;
  register uint64_t X1 asm("x1") = kSecondaryMpidr;
  register uint64_t X2 asm("x2") = reinterpret_cast<uint64_t>(SecondaryStart);
  register uint64_t X3 asm("x3") = 0;
  asm volatile("hvc #0" : "+r"(X0) : "r"(X1), "r"(X2), "r"(X3) : "memory");
  if (X0 != 0) {
    Line().Str("FAULT PSCI CPU_ON answered ").Hex(X0).Str(" (run QEMU with -smp 2)").Send();
    SemihostExit(kExitSupervisorFault);
  }
  while (LoadAcquire(&gSecondaryUp) == 0) {
  }
}

}  // namespace

// CPU 1: strikes at each armed request until CPU 0 disarms it.
extern "C" [[noreturn]] void SecondaryMain() {
  EnableMmu();
  StoreRelease(&gSecondaryUp, 1);
  uint64_t Random = 0x9E3779B97F4A7C15ULL;
  uint64_t Rewrites = 0;
  uint64_t Done = 0;
  for (;;) {
    const uint64_t Armed = LoadAcquire(&gArmed);
    const uint64_t Request = Armed & ~kDisarmed;
    if (Request == 0 || Request == Done) {
      if (LoadAcquire(&gStop) != 0) {
        gRewrites = Rewrites;
        StoreRelease(&gStopped, 1);
        for (;;) {
          asm volatile("wfe");
        }
      }
      continue;
    }
    if ((Armed & kDisarmed) == 0) {
      const RacePlan Plan = gPlan;
      while (__atomic_load_n(&gArmed, __ATOMIC_RELAXED) == Armed && Plan.Count != 0) {
        const uint64_t Pick = Next(&Random);
        const Strike &At = Plan.Targets[Pick % Plan.Count];
        auto *Word = reinterpret_cast<volatile uint64_t *>(At.Address);
        *Word = At.Hostile;
        for (uint64_t Spin = (Pick >> 32) & 31; Spin != 0; --Spin) {
          asm volatile("" ::: "memory");
        }
        *Word = At.Original;
        Rewrites += 2;
      }
    }
    Done = Request;
    StoreRelease(&gDone, Request);
  }
}

[[noreturn]] void RunRace() {
  const auto Word = [](uint64_t Offset) {
    return *reinterpret_cast<volatile uint32_t *>(kModeAddress + Offset);
  };
  const uint64_t Requests = Word(kRaceRequestsOffset);
  uint64_t Random = Word(kRaceSeedOffset) | 0x100000000ULL;
  SetRecordVerdicts((Word(kRaceFlagsOffset) & 1) == 0);
  const LoadedImage Image = LoadDriverImage();
  auto *Flash = reinterpret_cast<volatile uint64_t *>(kFlashStorageAddress);
  for (uint64_t Index = 0; Index < kFlashStorageBytes / 8; ++Index) {
    Flash[Index] = ~0ULL;
  }
  const models::MemoryWindow NormalWorld{
      kNormalWorldAddress, reinterpret_cast<uint8_t *>(kNormalWorldAddress), kNormalWorldBytes};
  gModels = &BuildModels(kFlashStorageBytes, NormalWorld);
  if (StartDriverAtEl0(Image) != EFI_SUCCESS) {
    Line().Str("FAULT the driver did not start").Send();
    SemihostExit(kExitScenarioFailed);
  }
  ListFunctions();
  SetSecureCallObserver(CheckSecureCall);
  SetFaultObserver(ReportRequest);
  StartSecondary();

  uint64_t Answered[4] = {};  // success, no permission, authentication refused, failure
  for (uint64_t Count = 0; Count < Requests; ++Count) {
    if (Count == Requests / 2) {
      // The run-time table from here on: a lock-down nobody races.
      Request LockDown = {{varnel::kFunctionRunTimeLockDown}, 8};
      Serve(&LockDown, false);
      gLockedDown = LockDown.Words[0] == varnel::kStatusSuccess;
      if (!gLockedDown) {
        Line().Str("FAULT the lock-down request failed").Send();
        SemihostExit(kExitScenarioFailed);
      }
    }
    Request Made = MakeRequest(&Random, &gPlan);
    Serve(&Made, true);
    // Whether the driver's copy took a rewritten value: the race reached the driver's loads.
    const RecordTally &Tally = LastRecordTally();
    for (uint32_t Target = 0; Target < gPlan.Count; ++Target) {
      const Strike &At = gPlan.Targets[Target];
      const uint64_t Word = (At.Address - RecordAddress(Made.Size)) / 8;
      if (Tally.Loads[Word] != 0 && Tally.Loaded[Word] == At.Hostile) {
        ++gHits;
        break;
      }
    }
    const uint64_t Status = Made.Words[0];
    ++Answered[Status == varnel::kStatusSuccess                 ? 0
               : Status == varnel::kStatusNoPermission          ? 1
               : Status == varnel::kStatusAuthenticationRefused ? 2
                                                                : 3];
  }
  StoreRelease(&gStop, 1);
  while (LoadAcquire(&gStopped) == 0) {
  }
  const uint64_t Rewrites = gRewrites;
  Line()
      .Str("RACE requests ")
      .Dec(gRequest)
      .Str(", rewrites ")
      .Dec(Rewrites)
      .Str(" (")
      .Dec(Rewrites / (gRequest == 0 ? 1 : gRequest))
      .Str(" per request), requests whose copy took a rewritten word ")
      .Dec(gHits)
      .Str(", authentications ")
      .Dec(gAuthentications)
      .Str(", operations ")
      .Dec(gOperations)
      .Str(", answers success ")
      .Dec(Answered[0])
      .Str(" no-permission ")
      .Dec(Answered[1])
      .Str(" refused ")
      .Dec(Answered[2])
      .Str(" failure ")
      .Dec(Answered[3])
      .Str(", record accesses ")
      .Dec(RecordAccessCount())
      .Str(", divergences ")
      .Dec(gDivergences)
      .Send();
  SemihostExit(gDivergences == 0 ? kExitPassed : kExitRaceDivergence);
}

}  // namespace supervisor
