// SPDX-License-Identifier: BSD-3-Clause
// libFuzzer target for the request handler.
//
// An input is a start-up (services-table revision, the secure firmware's answer to the flash
// information query, the registration status) followed by up to 16 requests. Each request brings
// its record words, the size behind CommBufferSize, optional null pointers, an optional misaligned
// record and an optional rewrite of record words by a racing normal world at any event the
// request causes (each pool call, secure call, console register access and breakpoint). Every
// secure call, pool allocation and pool release is answered from the input as it happens (success
// with arbitrary result registers, or failure), so every path of the driver is reachable. With the
// top bit of the first byte set the same requests run on the host platform instead: the MM core
// model dispatches them and the secure firmware model (MAC-checked authentication, NOR flash)
// answers every call the harness does not fail itself; requests are signed with the current key or
// not, as the input says.
//
// After the start and after each request the driver's behaviour is compared with the reference
// model (status, record, secure calls and their registers, pool traffic, console bytes,
// breakpoints, state), and these invariants are checked on their own:
//  - the record is a heap block of exactly min(size, record) bytes: AddressSanitizer catches any
//    access at or behind the size;
//  - every pool buffer obtained is released exactly once, within the request;
//  - a request that does not answer success makes no write, erase, lock or seed call that the
//    firmware carries out (on the platform: the flash model's program, erase and lock state and
//    the firmware's seed are unchanged);
//  - once the seed is deployed, no plain read, write, erase, region lock or region-lock lock
//    reaches the firmware;
//  - once locked down, no write, erase or lock reaches the firmware outside the run-time table;
//  - a secure operation runs only after an accepted authentication in the same request, on
//    exactly the Offset, Length and Buffer of the bytes that were authenticated, and those bytes
//    name the function carried out.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arch/host/HostSeam.h"
#include "console/ConsoleSettings.h"
#include "driver/DriverState.h"
#include "driver/MmServices.h"
#include "driver/RegionAccess.h"
#include "driver/VarnelMmInternal.h"
#include "models/HostPlatform.h"
#include "tests/fuzz/FuzzInput.h"
#include "tests/reference/ReferenceModel.h"

namespace {

using reference::Answer;
using reference::Call;

constexpr uint64_t kFlashService = VARNELMM_FLASH_SERVICE_ID;
constexpr uint64_t kTranslateService = VARNELMM_TRANSLATE_ADDRESS_ID;
constexpr uint64_t kWindowBase = VARNELMM_FLASH_WINDOW_BASE;
constexpr unsigned kMaxRequests = 16;
constexpr uint64_t kNormalWorldBase = models::kNormalWorldWindowBase;
using varnel::kRecordBytes;
using varnel::kRecordWords;

[[noreturn]] void Fail(const char *What) {
  std::fprintf(stderr, "fuzz_handler: %s\n", What);
  std::abort();
}

void Expect(bool Condition, const char *What) {
  if (!Condition) Fail(What);
}

struct RecordedCall {
  uint64_t In[8];
  uint64_t Out[4];
  bool HadStaging;        // a staging buffer was live at the time of the call
  uint8_t Staging[0x28];  // its bytes when the call was made
  uint64_t StagingAddress;
  uint64_t StagingSize;
};

// Everything the harness plays: the MM core, the secure firmware and the console.
struct World {
  fuzz::FuzzInput *In = nullptr;
  EFI_MM_SYSTEM_TABLE Table{};
  EFI_MM_HANDLER_ENTRY_POINT Handler = nullptr;
  uint64_t RegisterStatus = 0;
  bool RegisterCalled = false;

  std::vector<RecordedCall> Calls;
  std::string Console;
  uint64_t Breakpoints = 0;

  // Pool traffic of the current request.
  unsigned Allocations = 0;
  unsigned Frees = 0;
  uint64_t AllocationSize = 0;
  void *Live = nullptr;  // the staging buffer while it is allocated
  bool AllocateOk = true;
  uint64_t FreeStatus = 0;

  // The record and the rewrite the normal world makes while the firmware works.
  uint8_t *Record = nullptr;  // may lie one byte past a word boundary
  uint64_t RecordBytes = 0;
  uint8_t RewriteMask = 0;
  VARNELMM_RECORD_WORD_ARRAY RewriteWords = {};
  uint64_t RewriteAt = 0;  // index of the event at which the normal world strikes
  uint64_t Events = 0;     // events of the request so far
  bool Rewritten = false;
  bool PlatformRecord = false;  // the record is the platform's request in flight
};

World gWorld;

void RaceEvent();

// ---- MM core services --------------------------------------------------------------------

const uint64_t kFreeFailures[] = {reference::kEfiInvalidParameter, reference::kEfiDeviceError,
                                  reference::kErrorBit, reference::kErrorBit | 34,
                                  reference::kErrorBit | 0x7FFFFFFF};

EFI_STATUS Allocate(EFI_MEMORY_TYPE Type, uint64_t Size, void **Buffer) {
  World &W = gWorld;
  ++W.Allocations;
  W.AllocationSize = Size;
  Expect(Type == EfiRuntimeServicesData, "pool type is not EfiRuntimeServicesData");
  Expect(W.Live == nullptr, "second staging buffer while one is live");
  const uint8_t Choice = W.In->Byte();
  W.AllocateOk = Choice % 8 != 0;
  RaceEvent();
  if (!W.AllocateOk) return reference::kEfiOutOfResources;
  W.Live = std::malloc(Size);
  std::memset(W.Live, 0xEE, Size);
  *Buffer = W.Live;
  return 0;
}

EFI_STATUS Release(void *Buffer) {
  World &W = gWorld;
  ++W.Frees;
  Expect(Buffer != nullptr && Buffer == W.Live, "release of a buffer that is not the live one");
  std::free(W.Live);
  W.Live = nullptr;
  const uint8_t Choice = W.In->Byte();
  W.FreeStatus = Choice % 8 == 0 ? W.In->Pick(kFreeFailures) : (Choice % 8 == 1 ? 1 : 0);
  RaceEvent();
  return W.FreeStatus;
}

EFI_STATUS Register(EFI_MM_HANDLER_ENTRY_POINT Handler, const EFI_GUID *Type,
                    EFI_HANDLE *DispatchHandle) {
  World &W = gWorld;
  W.RegisterCalled = true;
  static const uint8_t kGuid[16] = {0x38, 0x64, 0xD7, 0xC8, 0x3C, 0x4D, 0xEA, 0x4B,
                                    0xBF, 0x86, 0x92, 0x6B, 0x83, 0x07, 0xA2, 0x39};
  Expect(Type != nullptr && std::memcmp(Type, kGuid, 16) == 0, "registered under a wrong GUID");
  Expect(DispatchHandle != nullptr, "no dispatch handle");
  if (!reference::Negative(W.RegisterStatus)) W.Handler = Handler;
  return W.RegisterStatus;
}

// ---- Secure firmware ---------------------------------------------------------------------

const uint64_t kFailures[] = {reference::kErrorBit, ~0ULL, ~0ULL - 2, 0x8000000000000007ULL,
                              0xFFFFFFFF00000000ULL};
const uint64_t kSuccesses[] = {0, 0, 0, 1, 0x7FFFFFFFFFFFFFFFULL, 0xAABBCCFF};

models::HostPlatform *gPlatform = nullptr;

// One event of the request: the racing normal world rewrites its record at the chosen one.
void RaceEvent() {
  World &W = gWorld;
  if (W.Events++ != W.RewriteAt || W.RewriteMask == 0 || W.Rewritten) return;
  uint8_t *Record = W.PlatformRecord ? gPlatform->CurrentRecord() : W.Record;
  if (Record == nullptr) return;
  for (uint64_t Word = 0; Word < kRecordWords; ++Word) {
    if ((W.RewriteMask & (1u << Word)) && (Word + 1) * 8 <= W.RecordBytes) {
      std::memcpy(Record + Word * 8, &W.RewriteWords[Word], 8);
    }
  }
  W.Rewritten = true;
}

// The call's eight words as the driver made it, and the staging buffer live at that moment.
RecordedCall CaptureCall(const World &W, const ServiceArgumentBlock &Block) {
  RecordedCall C{};
  std::memcpy(C.In, Block.Word, sizeof(C.In));
  C.HadStaging = W.Live != nullptr;
  if (C.HadStaging) {
    C.StagingAddress = reinterpret_cast<uintptr_t>(W.Live);
    C.StagingSize = W.AllocationSize;
    std::memcpy(C.Staging, W.Live, W.AllocationSize);
  }
  return C;
}

void SecureCall(void *, ServiceArgumentBlock *Block) {
  World &W = gWorld;
  RecordedCall C = CaptureCall(W, *Block);
  fuzz::FuzzInput &In = *W.In;
  const uint8_t Choice = In.Byte();
  if (Choice % 5 == 0) {
    C.Out[0] = In.Pick(kFailures);
    C.Out[1] = In.Byte() & 1 ? In.U64() : Block->Word[1];
  } else {
    C.Out[0] = In.Pick(kSuccesses);
    C.Out[1] = (Choice & 0x80) ? In.U64() : 0;
    C.Out[2] = (Choice & 0x40) ? In.U64() : 0;
    C.Out[3] = (Choice & 0x20) ? In.U64() : 0x2000000;
    if (Block->Word[0] == kTranslateService && (Choice & 0x10)) {
      C.Out[1] = 0xE000000000ULL + (C.StagingAddress & 0xFFFFF);
    }
  }
  RaceEvent();
  std::memcpy(Block->Word, C.Out, sizeof(C.Out));
  W.Calls.push_back(C);
}

// ---- Console -----------------------------------------------------------------------------

constexpr uint64_t kConsoleBase = console::kBase;

uint32_t ConsoleRead(void *, uint64_t Address) {
  RaceEvent();
  return Address == kConsoleBase + 0x18 ? 0x90 : 0;  // transmit FIFO empty
}
void ConsoleWrite32(void *, uint64_t Address, uint32_t Value) {
  RaceEvent();
  if (Address == kConsoleBase) gWorld.Console.push_back(static_cast<char>(Value));
}
void ConsoleWrite8(void *, uint64_t Address, uint8_t Value) {
  RaceEvent();
  if (Address == kConsoleBase) gWorld.Console.push_back(static_cast<char>(Value));
}
void Breakpoint(void *) {
  RaceEvent();
  ++gWorld.Breakpoints;
}

// ---- Comparison with the reference model --------------------------------------------------

// The console must hold exactly the predicted lines; an assertion report fixes only its module
// name and condition text (file and line belong to the implementation).
void ExpectConsole(const std::vector<reference::Line> &Lines) {
  const std::string &Text = gWorld.Console;
  size_t Position = 0;
  uint64_t Reports = 0;
  for (const reference::Line &L : Lines) {
    if (!L.Assertion) {
      if (Text.compare(Position, L.Text.size(), L.Text) != 0) {
        std::fprintf(stderr, "expected line: %s\nconsole: %s\n", L.Text.c_str(),
                     Text.substr(Position).c_str());
        Fail("console line differs");
      }
      Position += L.Text.size();
      continue;
    }
    ++Reports;
    const size_t End = Text.find("\r\n", Position);
    Expect(End != std::string::npos, "assertion report missing");
    const std::string Report = Text.substr(Position, End - Position);
    const std::string Tail = "): " + L.Text;
    Expect(Report.rfind("ASSERT [VarnelMm] ", 0) == 0, "assertion report without module name");
    Expect(Report.size() >= Tail.size() &&
               Report.compare(Report.size() - Tail.size(), Tail.size(), Tail) == 0,
           "assertion report with a wrong condition");
    Position = End + 2;
  }
  if (Position != Text.size()) {
    std::fprintf(stderr, "unexpected console bytes: %s\n", Text.substr(Position).c_str());
    Fail("console holds more than predicted");
  }
  Expect(gWorld.Breakpoints == Reports, "breakpoints differ from assertion reports");
}

// Replays the recorded calls to the model, checking each against what the model expects.
reference::Firmware Replay() {
  return [](size_t Index, const Call &C) -> Answer {
    Expect(Index < gWorld.Calls.size(), "model expects a secure call the driver did not make");
    const RecordedCall &R = gWorld.Calls[Index];
    for (int Word = 0; Word < 5; ++Word) {
      if ((C.Compared & (1u << Word)) && R.In[Word] != C.In[Word]) {
        std::fprintf(stderr, "call %zu word %d: driver %llx, model %llx\n", Index, Word,
                     static_cast<unsigned long long>(R.In[Word]),
                     static_cast<unsigned long long>(C.In[Word]));
        Fail("secure call registers differ");
      }
    }
    if (C.StagingInX2) {
      Expect(R.HadStaging && R.In[2] == R.StagingAddress, "translation not of the staging buffer");
    }
    Answer A;
    std::memcpy(A.Out, R.Out, sizeof(A.Out));
    return A;
  };
}

bool Mutating(uint64_t Sub) {
  return Sub == 2 || Sub == 3 || Sub == 8 || Sub == 10 || Sub == 11 || Sub == 12 || Sub == 13 ||
         Sub == 14;
}

// Exact interval arithmetic, independent of the driver's and the model's walks.
bool InsideRunTimeTable(uint64_t Offset, uint64_t Length) {
  const __int128 Start = static_cast<__int128>(Offset) - kWindowBase;
  const __int128 End = Start + static_cast<__int128>(Length);
  auto Inside = [&](__int128 First, __int128 Last) {
    return Start >= First && Start <= Last && End <= Last + 1;
  };
  return Inside(0x0, 0xFFFFF) || Inside(0x2F0000, 0x3EFFFF);
}

// Invariants on the calls of one request, checked without the model's help.
void ExpectCallInvariants(const reference::State &Before, uint64_t Function, uint64_t StatusWord,
                          bool Answered) {
  bool Accepted = false;
  uint8_t Authenticated[0x28] = {};
  uint64_t AuthenticatedSize = 0;
  for (const RecordedCall &C : gWorld.Calls) {
    if (C.In[0] != kFlashService) continue;
    const uint64_t Sub = C.In[1];
    const bool Succeeded = !reference::Negative(C.Out[0]);
    if (Before.SeedDeployed) {
      Expect(Sub != 1 && Sub != 2 && Sub != 3 && Sub != 12 && Sub != 14,
             "plain flash access after seed deployment");
    }
    if (Before.RunTimeLocked &&
        (Sub == 2 || Sub == 3 || Sub == 10 || Sub == 11 || Sub == 12 || Sub == 13)) {
      Expect(InsideRunTimeTable(C.In[2], C.In[3]), "change outside the run-time table");
    }
    if (Sub == 7) {
      Expect(C.HadStaging && C.StagingSize == C.In[3], "authentication of a wrong size");
      Accepted = Succeeded;
      AuthenticatedSize = C.StagingSize;
      std::memcpy(Authenticated, C.Staging, C.StagingSize);
    }
    if (Sub == 9 || Sub == 10 || Sub == 11 || Sub == 13) {
      Expect(Accepted, "secure operation without accepted authentication");
      uint64_t Words[5] = {};
      std::memcpy(Words, Authenticated, AuthenticatedSize);
      Expect(Words[0] == Sub, "secure operation of another function than authenticated");
      Expect(C.In[2] == Words[1] && C.In[3] == Words[2], "secure operation on other values");
      if (Sub == 9 || Sub == 10) Expect(C.In[4] == Words[3], "secure operation on other buffer");
      Expect(!C.HadStaging, "staging buffer held during the flash operation");
    }
    if (Answered && StatusWord != reference::kWordSuccess && Mutating(Sub) && Sub != 7) {
      Expect(!Succeeded, "refused request changed the flash");
    }
  }
  (void)Function;
}

// ---- Input decoding -----------------------------------------------------------------------

const uint32_t kRevisions[] = {0x10032, 0x10032, 0x10033, 0x20000, 0x10031, 0, 0xFFFFFFFF};
const uint64_t kFlashSizes[] = {0x2000000, 0x4000000,   0,         0x1700001, 0x1700000,
                                0x16FFFFF, 0x100000000, 0x1000000, 0x12345678};
const uint64_t kRegisterAnswers[] = {
    0, 0, 0, 1, reference::kEfiOutOfResources, reference::kErrorBit};

const uint64_t kOffsets[] = {kWindowBase,
                             kWindowBase + 0x11F000,
                             kWindowBase + 0x11FFFF,
                             kWindowBase + 0x120000,
                             kWindowBase + 0xFF000,
                             kWindowBase + 0x100000,
                             kWindowBase + 0x180000,
                             kWindowBase + 0x2F0000,
                             kWindowBase + 0x3EFFFF,
                             kWindowBase + 0x1700000,
                             kWindowBase + 0x1FFFFFF,
                             kWindowBase + 0x3FFFFFF,
                             kWindowBase - 1,
                             0,
                             0xFFFFFFFFFFFFFFFFULL,
                             kWindowBase + 0xFFFFFFFFULL};
const uint64_t kLengths[] = {0,
                             1,
                             0x1000,
                             0x2000,
                             0x100000,
                             0x1000,
                             0x10000,
                             0xFFFFFFFF,
                             0x100000000,
                             0x100001000,
                             1,
                             0x6E600000,
                             0xFFFFFFFFFFFFFFFFULL};

uint64_t Word(fuzz::FuzzInput &In, const uint64_t *Table, size_t Count) {
  const uint8_t Choice = In.Byte();
  if (Choice < 200) return Table[Choice % Count] + ((Choice & 0x40) ? In.Byte() : 0);
  return In.U64();
}

uint64_t Function(fuzz::FuzzInput &In) {
  const uint8_t Choice = In.Byte();
  if (Choice < 240) return Choice % 15;
  static const uint64_t kOthers[] = {15,    16,         0x100000000ULL, 0x8000000000000009ULL,
                                     ~0ULL, 0x10000000A};
  return kOthers[Choice % 6];
}

uint64_t RecordSize(fuzz::FuzzInput &In, uint64_t Function) {
  const uint8_t Choice = In.Byte();
  if (Choice < 160) return kRecordBytes;
  if (Choice < 190) return reference::BytesNeeded(Function);
  if (Choice < 220) return reference::BytesNeeded(Function) - 1 - Choice % 8;
  if (Choice < 240) return Choice % 8;
  static const uint64_t kLarge[] = {49, 64, 4096, 0x100000000ULL, ~0ULL};
  return kLarge[Choice % 5];
}

void ResetRequest() {
  World &W = gWorld;
  W.Calls.clear();
  W.Console.clear();
  W.Breakpoints = 0;
  W.Allocations = 0;
  W.Frees = 0;
  W.AllocationSize = 0;
  W.AllocateOk = true;
  W.FreeStatus = 0;
  W.Record = nullptr;
  W.RecordBytes = 0;
  W.RewriteMask = 0;
  W.RewriteAt = 0;
  W.Events = 0;
  W.Rewritten = false;
}

// Draws one request. On the platform the record is at most 64 bytes and never null.
reference::Request DecodeRequest(fuzz::FuzzInput &In, bool Platform) {
  reference::Request R{};
  R.Words[0] = Function(In);
  for (uint64_t Word = 1; Word < kRecordWords; ++Word) {
    R.Words[Word] = Word == 2 ? ::Word(In, kLengths, sizeof(kLengths) / 8)
                              : ::Word(In, kOffsets, sizeof(kOffsets) / 8);
  }
  R.Size = RecordSize(In, R.Words[0]);
  const uint8_t Shape = In.Byte();
  if (Platform) {
    if (R.Size > 64) R.Size = 64;
    if (Shape & 0x10) R.Words[3] = kNormalWorldBase + (Shape & 0x0F) * 0x100;
  } else {
    R.NullBuffer = Shape == 0xFF || Shape == 0xFD;
    R.NullSize = Shape == 0xFE || Shape == 0xFD;
    R.Misaligned = Shape == 0xFC;
  }
  if ((Shape & 0x0F) == 1) {
    R.RewriteMask = In.Byte() & 0x3F;
    // Word 0 is rewritten to a function number (or one just outside the range) as often as not.
    R.RewriteWords[0] = Function(In);
    for (uint64_t Word = 1; Word < kRecordWords; ++Word) {
      R.RewriteWords[Word] = ::Word(In, kOffsets, sizeof(kOffsets) / 8);
    }
    // Any event: 0 to 254 in one byte, later ones (a request with a release failure and its
    // reports causes several hundred) in two more.
    gWorld.RewriteAt = In.Byte();
    if (gWorld.RewriteAt == 0xFF) gWorld.RewriteAt = In.U16();
  }
  const uint64_t Bytes = (R.Size < kRecordBytes ? R.Size : kRecordBytes);
  for (uint64_t Word = 0; Word < kRecordWords; ++Word) {
    if (static_cast<uint64_t>(Word + 1) * 8 > Bytes) R.RewriteMask &= ~(1u << Word);
  }
  return R;
}

// Compares one answered request with the reference model and checks the invariants. Record holds
// the record's first min(size, record) bytes after the request.
reference::State CheckRequest(const reference::Request &R, const reference::State &Before,
                              EFI_STATUS Status, const uint64_t *Record) {
  World &W = gWorld;
  const uint64_t Bytes = (R.Size < kRecordBytes ? R.Size : kRecordBytes);
  Expect(W.Live == nullptr, "staging buffer not released");
  Expect(W.Frees == (W.AllocateOk ? W.Allocations : 0), "pool traffic unbalanced");

  const reference::Pool Pool{W.AllocateOk, W.FreeStatus};
  // The model is told the rewrite only when the normal world got to make it.
  reference::Request Made = R;
  if (!W.Rewritten) Made.RewriteMask = 0;
  const reference::Prediction P = reference::Predict(Before, Made, Pool, Replay());
  static const bool Verbose = std::getenv("FUZZ_HANDLER_VERBOSE") != nullptr;
  if (Verbose) {
    std::fprintf(stderr, "fn %llx size %llx -> %llx word0 %llx calls %zu console \"%s\"\n",
                 static_cast<unsigned long long>(R.Words[0]),
                 static_cast<unsigned long long>(R.Size), static_cast<unsigned long long>(Status),
                 static_cast<unsigned long long>(Bytes >= 8 ? Record[0] : 0), W.Calls.size(),
                 W.Console.c_str());
  }
  if (Status != P.Status) {
    std::fprintf(stderr, "function %llx: driver %llx, model %llx\n",
                 static_cast<unsigned long long>(R.Words[0]),
                 static_cast<unsigned long long>(Status),
                 static_cast<unsigned long long>(P.Status));
    Fail("UEFI status differs from the model");
  }
  Expect(P.Calls.size() == W.Calls.size(), "number of secure calls differs from the model");
  Expect(W.Allocations == (P.Allocates ? 1u : 0u), "allocations differ from the model");
  if (P.Allocates) Expect(W.AllocationSize == P.AllocationSize, "staging size differs");
  Expect((W.Frees != 0) == P.Frees, "releases differ from the model");
  if (std::memcmp(Record, P.Words, Bytes) != 0) {
    for (uint64_t Word = 0; Word * 8 < Bytes; ++Word) {
      std::fprintf(stderr, "word %llu: driver %llx, model %llx\n",
                   static_cast<unsigned long long>(Word),
                   static_cast<unsigned long long>(Record[Word]),
                   static_cast<unsigned long long>(P.Words[Word]));
    }
    Fail("record differs from the model");
  }
  ExpectConsole(P.Console);
  const bool Answered = !R.NullBuffer && !R.NullSize && !R.Misaligned && Bytes >= 8 &&
                        R.Words[0] <= 14 && R.Size >= reference::BytesNeeded(R.Words[0]);
  ExpectCallInvariants(Before, R.Words[0], Answered ? Record[0] : 0, Answered);
  Expect(varnel::RunTimeLocked() == P.After.RunTimeLocked, "lock-down flag differs");
  Expect(varnel::SeedDeployed() == P.After.SeedDeployed, "seed flag differs");
  return P.After;
}

// Runs one request against the harness's own MM core and firmware.
reference::State RunRequest(fuzz::FuzzInput &In, const reference::State &Before) {
  World &W = gWorld;
  ResetRequest();
  const reference::Request R = DecodeRequest(In, false);
  gWorld.Table.CurrentlyExecutingCpu = In.Byte();

  // The record: exactly the bytes below the size, at the end of their heap block (one byte past
  // a word boundary when misaligned).
  const uint64_t Bytes = (R.Size < kRecordBytes ? R.Size : kRecordBytes);
  const uint64_t Skew = R.Misaligned ? 1 : 0;
  auto *Block = static_cast<uint8_t *>(std::malloc(Bytes + Skew == 0 ? 1 : Bytes + Skew));
  uint8_t *Record = Block + Skew;
  std::memcpy(Record, R.Words, Bytes);
  uint64_t Size = R.Size;
  W.Record = Record;
  W.RecordBytes = Bytes;
  W.RewriteMask = R.RewriteMask;
  std::memcpy(W.RewriteWords, R.RewriteWords, sizeof(R.RewriteWords));

  const EFI_STATUS Status =
      W.Handler(nullptr, nullptr, R.NullBuffer ? nullptr : Record, R.NullSize ? nullptr : &Size);
  Expect(Size == R.Size, "handler changed the size");
  VARNELMM_RECORD_WORD_ARRAY Words = {};
  std::memcpy(Words, Record, Bytes);
  const reference::State After = CheckRequest(R, Before, Status, Words);
  std::free(Block);
  W.Record = nullptr;
  return After;
}

void InstallWorld() {
  const HostSeamHooks Hooks = {SecureCall,     Breakpoint,    ConsoleRead,
                               ConsoleWrite32, ConsoleWrite8, nullptr};
  HostSeamInstall(&Hooks);
}

// ---- Platform world: the MM core, secure firmware and NOR flash models ---------------------
//
// The same requests go through the MM core model's dispatch, with the firmware model answering
// (MAC-checked authentication, a real flash). The harness still sees every call first: it may
// fail a call itself instead of passing it on, and rewrites the record on the first call.

void PlatformSecureCall(void *, ServiceArgumentBlock *Block) {
  World &W = gWorld;
  RecordedCall C = CaptureCall(W, *Block);
  RaceEvent();
  if (W.In->Byte() % 8 == 0) {
    Block->Word[0] = W.In->Pick(kFailures);
  } else {
    gPlatform->Firmware().Handle(Block);
  }
  std::memcpy(C.Out, Block->Word, sizeof(C.Out));
  W.Calls.push_back(C);
}

void PoolSeen(void *, models::PoolEvent Event, void *Buffer, uint64_t Size, EFI_STATUS Status) {
  World &W = gWorld;
  if (Event == models::PoolEvent::kAllocate) {
    Expect(W.Live == nullptr, "second staging buffer while one is live");
    ++W.Allocations;
    W.AllocationSize = Size;
    W.AllocateOk = !reference::Negative(Status);
    if (W.AllocateOk) W.Live = Buffer;
    RaceEvent();
    return;
  }
  ++W.Frees;
  Expect(Buffer != nullptr && Buffer == W.Live, "release of a buffer that is not the live one");
  W.FreeStatus = Status;
  W.Live = nullptr;
  RaceEvent();
}

struct FlashState {
  uint64_t Programs, Erases;
  uint32_t Locks;
  bool RegionLockLocked, Seed;
  bool operator==(const FlashState &) const = default;
};

FlashState Snapshot(models::HostPlatform &P) {
  return {P.Flash().ProgramCount(), P.Flash().EraseCount(), P.Flash().LockedRegionCount(),
          P.Flash().RegionLockLocked(), P.Firmware().SeedDeployed()};
}

int RunPlatformCase(fuzz::FuzzInput &In, uint32_t Revision, uint64_t RegisterStatus, bool InfoFails,
                    uint64_t FlashSize) {
  World &W = gWorld;
  models::HostPlatformOptions Options;
  // A 4 MiB part covers every region both tables permit below 0x400000; the size the firmware
  // reports for the start-up patch is set on its own. Offsets past the part fail in the firmware.
  Options.FlashSize = 0x400000;
  Options.BlankFlash = false;
  Options.NormalWorldBase = kNormalWorldBase;
  Options.NormalWorldSize = 0x10000;
  Options.Revision = Revision;
  models::HostPlatform Platform(Options);
  gPlatform = &Platform;
  const HostSeamHooks Hooks = {PlatformSecureCall, Breakpoint,    ConsoleRead,
                               ConsoleWrite32,     ConsoleWrite8, nullptr};
  HostSeamInstall(&Hooks);
  Platform.Core().SetPoolObserver(PoolSeen, nullptr);
  Platform.Core().SetRegisterAnswer(RegisterStatus);
  Platform.Firmware().SetReportedFlashSize(FlashSize);
  if (InfoFails) Platform.Firmware().InjectFault(0, models::kFwDenied, models::FaultMode::kOnce);

  // Start-up: the harness passes the information query on.
  static const uint8_t kPass[1] = {1};
  fuzz::FuzzInput Pass(kPass, 1);
  W.In = &Pass;
  const EFI_STATUS Status = Platform.StartDriver();
  W.In = &In;
  const reference::StartPrediction S =
      reference::PredictStart(reference::BuiltState(), Revision, RegisterStatus, Replay());
  Expect(Status == S.Status, "entry status differs from the model (platform)");
  if (!S.Registered) {
    gPlatform = nullptr;
    return 0;
  }
  Expect(W.Calls.size() == 1, "start-up made other secure calls than the information query");
  ExpectConsole(S.Console);

  reference::State State = S.After;
  for (unsigned Request = 0; Request < kMaxRequests && !In.Empty(); ++Request) {
    ResetRequest();
    reference::Request R = DecodeRequest(In, true);
    const uint8_t Arrange = In.Byte();
    if (Arrange & 1) {
      // A valid MAC for the current key: over the record as sent, or over the record as the
      // normal world's own rewrite will leave it (how a function swap during staging is tried).
      VARNELMM_RECORD_WORD_ARRAY Signed;
      std::memcpy(Signed, R.Words, sizeof(Signed));
      for (uint64_t Word = 0; (Arrange & 8) && Word < kRecordWords; ++Word) {
        if (R.RewriteMask & (1u << Word)) Signed[Word] = R.RewriteWords[Word];
      }
      if (Platform.Sign(Signed)) {
        const int AuthWord = Signed[0] == 9 || Signed[0] == 10 ? 5 : 4;
        R.Words[AuthWord] = Signed[AuthWord];
      }
    }
    if (Arrange % 6 == 2) Platform.Core().FailAllocation(Platform.Core().AllocateCallCount());
    if (Arrange % 6 == 4) {
      Platform.Core().SetFreeAnswer(In.Pick(kFreeFailures), models::FreeFaultMode::kOnce, true);
    }
    uint8_t Message[64] = {};
    std::memcpy(Message, R.Words, (R.Size < kRecordBytes ? R.Size : kRecordBytes));
    uint8_t After[64] = {};
    W.RecordBytes = (R.Size < kRecordBytes ? R.Size : kRecordBytes);
    W.RewriteMask = R.RewriteMask;
    std::memcpy(W.RewriteWords, R.RewriteWords, sizeof(R.RewriteWords));
    W.PlatformRecord = true;
    const FlashState FlashBefore = Snapshot(Platform);

    const EFI_STATUS Answer = Platform.RequestRaw(Message, R.Size, After);
    W.PlatformRecord = false;
    Platform.Core().ClearPoolFaults();

    VARNELMM_RECORD_WORD_ARRAY Record = {};
    std::memcpy(Record, After, W.RecordBytes);
    Expect(std::memcmp(After + kRecordBytes, Message + kRecordBytes,
                       R.Size > kRecordBytes ? R.Size - kRecordBytes : 0) == 0,
           "bytes behind the record changed");
    const bool Success = W.RecordBytes >= 8 && Record[0] == reference::kWordSuccess &&
                         Answer == reference::kEfiSuccess;
    if (!Success) Expect(Snapshot(Platform) == FlashBefore, "refused request changed the flash");
    State = CheckRequest(R, State, Answer, Record);
  }
  gPlatform = nullptr;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  fuzz::FuzzInput In(Data, Size);
  World &W = gWorld;
  W.In = &In;
  W.Handler = nullptr;
  W.RegisterCalled = false;
  ResetRequest();

  // Start-up configuration. The top bit of the first byte picks the platform world.
  const bool OnPlatform = (In.Peek() & 0x80) != 0;
  const uint32_t Revision = In.Pick(kRevisions);
  W.RegisterStatus = In.Pick(kRegisterAnswers);
  const uint8_t InfoChoice = In.Byte();
  const uint64_t FlashSize = InfoChoice & 0x80 ? In.U64() : In.Pick(kFlashSizes);
  const bool InfoFails = (InfoChoice & 0x07) == 0;
  if (OnPlatform) return RunPlatformCase(In, Revision, W.RegisterStatus, InfoFails, FlashSize);

  InstallWorld();
  std::memset(&W.Table, 0, sizeof(W.Table));
  W.Table.Hdr.Revision = Revision;
  W.Table.MmAllocatePool = Allocate;
  W.Table.MmFreePool = Release;
  W.Table.MmiHandlerRegister = Register;
  // Steer the answer to the start-up information query.
  static uint8_t Start[64];
  size_t StartBytes = 0;
  Start[StartBytes++] = InfoFails ? 0 : 1;  // 0: failure (0 % 5 == 0)
  Start[StartBytes++] = 0;                  // failure value, or success value
  if (InfoFails) {
    Start[StartBytes++] = 0;
  } else {
    Start[0] = 0x21;  // success, x3 given, x1 and x2 zero
    for (int I = 0; I < 8; ++I) Start[StartBytes++] = static_cast<uint8_t>(FlashSize >> (8 * I));
  }
  fuzz::FuzzInput StartInput(Start, StartBytes);
  W.In = &StartInput;

  const reference::State Built = reference::BuiltState();
  const EFI_STATUS Status = VarnelMmEntryPoint(nullptr, &W.Table);
  W.In = &In;
  const reference::StartPrediction S =
      reference::PredictStart(Built, W.Table.Hdr.Revision, W.RegisterStatus, Replay());
  Expect(Status == S.Status, "entry status differs from the model");
  if (!S.ConsoleUp) {
    Expect(W.Calls.empty() && W.Console.empty() && !W.RegisterCalled,
           "refused entry did something");
    return 0;
  }
  Expect(W.Calls.size() == 1, "start-up made other secure calls than the information query");
  ExpectConsole(S.Console);
  for (size_t Row = 0; Row < varnel::kBootRegionRows; ++Row) {
    Expect(varnel::BootRegionRow(Row).First == S.After.Boot[Row].First &&
               varnel::BootRegionRow(Row).Last == S.After.Boot[Row].Last &&
               varnel::BootRegionRow(Row).Permission == S.After.Boot[Row].Permission,
           "boot table differs from the model");
  }
  if (!S.Registered) {
    Expect(W.Handler == nullptr, "handler registered although registration failed");
    return 0;
  }
  Expect(W.Handler != nullptr, "no handler registered");

  reference::State State = S.After;
  for (unsigned Request = 0; Request < kMaxRequests && !In.Empty(); ++Request) {
    State = RunRequest(In, State);
  }
  return 0;
}
