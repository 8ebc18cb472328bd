// SPDX-License-Identifier: BSD-3-Clause
// A racing normal world, at every step. The communication record is shared memory that the normal
// world may rewrite from another CPU at any instant while the handler runs. This sweep sends every
// function (plain and authenticated, each of its answer classes, before and after lock-down and
// seed deployment) and, for every event the request causes (each MM pool call, each secure call,
// each console register access, each breakpoint), once for every record word and every hostile
// value, rewrites that word at that event. Each request is then checked on its own:
//  - the secure operation carried out has the dispatched function's sub-command;
//  - the bytes the firmware authenticated are the request as sent, word 0 being the dispatched
//    function, and the operation ran on exactly their Offset, Length and Buffer;
//  - a plain operation ran on the range as sent, and that range was one the table in force allows;
//  - a record one byte short of what the function uses is refused, untouched and unread;
//  - the status word and the UEFI status are those the calls' outcomes call for, the results are
//    the firmware's, and no other word was written;
//  - the staging buffer was released within the request, before the operation;
//  - each word the function uses was loaded at most once and no other word at all, and nothing
//    at or past the size was touched: the record sits on a page with no access and every load
//    and store the handler makes to it is counted at the memory (RecordWatch), whatever
//    instruction makes it.
// The expected answers (the record size, whether the table in force admits a range) come from the
// reference model, which shares no code with the driver.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/DriverState.h"
#include "driver/VarnelMmInternal.h"
#include "models/HostPlatform.h"
#include "tests/reference/ReferenceModel.h"
#include "tests/support/RecordWatch.h"

namespace {

using models::PlatformEventKind;
using namespace varnel;

constexpr uint64_t kWindowBase = VARNELMM_FLASH_WINDOW_BASE;
constexpr uint64_t kNormalBase = 0x80000000;
constexpr uint64_t kFlashService = VARNELMM_FLASH_SERVICE_ID;
constexpr uint64_t kTranslate = VARNELMM_TRANSLATE_ADDRESS_ID;
constexpr uint64_t kAllowed = kWindowBase + 0x2F0000;   // writable in both tables
constexpr uint64_t kRefused = kWindowBase + 0x180000;   // writable in neither
constexpr uint64_t kBootOnly = kWindowBase + 0x100000;  // writable before lock-down only
constexpr uint64_t kFlashSize = 0x400000;
constexpr uint64_t kLength = 0x100;

// What each function is, written here on its own terms.
struct Function {
  uint64_t Number;
  int Sub;              // the operation's sub-command; -1: none
  uint8_t SignedWords;  // 0, 4 or 5
  bool Permission;      // judged by the access table
  bool MovesData;       // Buffer goes to x4
  bool SeedGated;
  uint8_t Results;  // result words written on success (bit n: word n)
};

constexpr Function kFunctions[] = {
    {0, 0, 0, false, false, false, 0x1E}, {1, 1, 0, false, true, true, 0},
    {2, 2, 0, true, true, true, 0},       {3, 3, 0, true, false, true, 0},
    {4, 4, 0, false, false, false, 0x06}, {5, 5, 0, false, false, false, 0x06},
    {6, 6, 0, false, false, false, 0x06}, {7, -1, 0, false, false, false, 0},
    {8, 8, 0, false, false, false, 0},    {9, 9, 5, false, true, false, 0},
    {10, 10, 5, true, true, false, 0},    {11, 11, 4, true, false, false, 0},
    {12, 12, 0, true, false, true, 0},    {13, 13, 4, true, false, false, 0},
    {14, 14, 0, false, false, true, 0},
};

// The record words a function reads (bit n: word n): word 0, its operands, and for a signed one
// the signed part with AuthInfo behind it. No other word may be read at all.
uint32_t WordsRead(const Function &F) {
  if (F.SignedWords != 0) {
    return (2u << F.SignedWords) - 1;
  }
  switch (F.Number) {
    case 1:
    case 2:
      return 0x0F;
    case 3:
    case 12:
      return 0x07;
    case 8:
      return 0x03;
    default:
      return 0x01;
  }
}

// Another function number: the signed function of the same shape, else a secure write.
uint64_t OtherFunction(uint64_t Number) {
  switch (Number) {
    case 9:
      return 10;
    case 10:
      return 9;
    case 11:
      return 13;
    case 13:
      return 11;
    default:
      return 10;
  }
}

// kReleaseFails: the staging buffer's release answers an error, so the request also makes the
// status assertion's error line, its report and its breakpoint, and goes on as served.
enum class Variant { kServed, kOperationFails, kNoPermission, kBadMac, kReleaseFails };

// ---- The racing normal world ------------------------------------------------------------------

struct Race {
  testsupport::RecordWatch *Watch = nullptr;
  uint64_t Size = 0;          // of the request in flight
  uint64_t StrikeAt = ~0ULL;  // index of the event at which the word is rewritten
  uint32_t Word = 0;
  uint64_t Value = 0;
  uint64_t Events = 0;
  bool Struck = false;
};
Race gRace;

// The other CPU's store does not count as the handler's.
void Strike(void *, PlatformEventKind) {
  Race &R = gRace;
  if (R.Events++ != R.StrikeAt) {
    return;
  }
  if ((R.Word + 1) * sizeof(uint64_t) <= R.Size) {
    R.Watch->Write(R.Word * sizeof(uint64_t), &R.Value, sizeof(uint64_t));
    R.Struck = true;
  }
}

// Said once per program where loads cannot be counted.
void SayWhenUncounted() {
  static bool Said = false;
  if (!testsupport::RecordWatch::Available() && !Said) {
    Said = true;
    std::printf("record read counter: skipped, no single step on this machine; loads uncounted\n");
  }
}

struct Outcome {
  EFI_STATUS Status;
  uint64_t Words[kRecordWords];
  uint64_t Size;
};

class RaceSweep : public ::testing::Test {
 protected:
  // A fresh driver in the given state: lock-down and seed deployed or not.
  void Start(bool LockedDown, bool Seeded) {
    models::HostPlatformOptions Options;
    Options.FlashSize = kFlashSize;
    Options.NormalWorldBase = kNormalBase;
    Options.NormalWorldSize = 0x1000;
    Platform_.reset();
    Platform_ = std::make_unique<models::HostPlatform>(Options);
    gRace = Race{};
    gRace.Watch = &Watch_;
    ASSERT_EQ(Platform_->StartDriver(), EFI_SUCCESS);
    // A firmware that checks nothing but the MAC: only the driver stands between a rewritten
    // record and the flash.
    Platform_->Firmware().SetSecureOperationPolicy(models::SecureOperationPolicy::kUnchecked);
    Locked_ = LockedDown;
    if (LockedDown) {
      Send({7, 0, 0, 0, 0, 0}, 8);
    }
    if (Seeded) {
      Send({8, 0x5EED, 0, 0, 0, 0}, 16);
    }
    ASSERT_EQ(RunTimeLocked(), LockedDown);
    ASSERT_EQ(SeedDeployed(), Seeded);
  }

  // Dispatches the request through the MM core model with its communicate buffer on the watched
  // pages: the header in front of the record, the record armed for the handler's call only.
  Outcome Send(const std::vector<uint64_t> &Words, uint64_t Size, bool Watched = true) {
    uint8_t *Record = Watch_.Record();
    const models::MmCommunicateHeader Header{kVarnelMmGuid, Size};
    std::memcpy(Record - sizeof(Header), &Header, sizeof(Header));
    std::memcpy(Record, Words.data(), Size);
    gRace.Size = Size;
    Outcome Result{};
    Result.Size = Size;
    if (Watched) {
      Watch_.Arm();
    }
    Result.Status = Platform_->Core().Dispatch(Record - sizeof(Header), sizeof(Header) + Size);
    Watch_.Disarm();
    std::memcpy(Result.Words, Record, Size);
    return Result;
  }

  // The reference model's view of the driver's tables in the current state.
  reference::State Tables() const {
    reference::State S = reference::BuiltState();
    reference::PatchBootTable(S, true, kFlashSize);
    S.RunTimeLocked = Locked_;
    return S;
  }

  // The request of Variant for F, in the record as the normal world sends it. After lock-down a
  // range refused lies where only the boot table would admit it.
  std::vector<uint64_t> Compose(const Function &F, Variant V) {
    const uint64_t Refused = Locked_ ? kBootOnly : kRefused;
    const uint64_t Offset =
        V == Variant::kNoPermission ? Refused : (F.Number == 8 ? 0x5EED : kAllowed);
    std::vector<uint64_t> Words = {F.Number, Offset, kLength, kNormalBase, 0, 0};
    if (F.SignedWords != 0) {
      uint64_t Signed[kRecordWords];
      std::memcpy(Signed, Words.data(), sizeof(Signed));
      Platform_->Sign(Signed);
      if (V == Variant::kBadMac) {
        Signed[F.SignedWords] ^= 1;
      }
      Words.assign(Signed, Signed + kRecordWords);
    }
    return Words;
  }

  void Arm(const Function &F, Variant V) {
    Platform_->Firmware().ClearFaults();
    Platform_->Core().ClearPoolFaults();
    if (V == Variant::kReleaseFails) {
      Platform_->Core().SetFreeAnswer(EFI_INVALID_PARAMETER, models::FreeFaultMode::kOnce, true);
    }
    if (V == Variant::kOperationFails) {
      Platform_->Firmware().InjectFault(static_cast<uint32_t>(F.Sub), models::kFwDenied,
                                        models::FaultMode::kOnce);
    }
  }

  // Sends the request with the race armed and checks every invariant; Events_ is then the number
  // of events the request caused. Watched: the record's loads are counted (two faults per access,
  // so the sweep counts the quiet runs and the rewrites of word 0 to another function).
  void RunOne(const Function &F, Variant V, uint64_t StrikeAt, uint32_t Word, uint64_t Value,
              bool Watched) {
    const std::vector<uint64_t> Sent = Compose(F, V);
    const uint64_t Size = reference::BytesNeeded(F.Number);
    const reference::State Oracle = Tables();
    Arm(F, V);
    const bool LockedDown = RunTimeLocked();
    const bool Seeded = SeedDeployed();
    const uint64_t AllocationsBefore = Platform_->Core().AllocationCount();
    const uint64_t BreakpointsBefore = Platform_->BreakpointCount();
    const uint64_t FreesBefore = Platform_->Core().FreeCount();
    Platform_->Firmware().ClearLog();
    Platform_->ClearEvents();
    Platform_->ClearConsole();
    Race &R = gRace;
    R.StrikeAt = StrikeAt;
    R.Word = Word;
    R.Value = Value;
    R.Events = 0;
    R.Struck = false;
    Platform_->SetRaceHook(Strike, nullptr);
    const Outcome Got = Send(Sent, Size, Watched);
    Platform_->SetRaceHook(nullptr, nullptr);
    Events_ = R.Events;

    SCOPED_TRACE("function " + std::to_string(F.Number) + " variant " +
                 std::to_string(static_cast<int>(V)) + " lock-down " + std::to_string(LockedDown) +
                 " seed " + std::to_string(Seeded) + " event " + std::to_string(StrikeAt) +
                 " word " + std::to_string(Word) + " value " + std::to_string(Value));

    // Word 0 is loaded once; a word the function uses at most once (a refused request may skip
    // it); any other word never. Nothing past the size is touched.
    SayWhenUncounted();
    if (Watched && testsupport::RecordWatch::Available()) {
      EXPECT_EQ(Watch_.Loads(0), 1u);
      for (uint32_t W = 1; W < kRecordWords; ++W) {
        EXPECT_LE(Watch_.Loads(W), (WordsRead(F) >> W) & 1)
            << "record word " << W << " loaded " << Watch_.Loads(W) << " times";
      }
      EXPECT_EQ(Watch_.StrayLoads() + Watch_.StrayStores(), 0u);
    }

    // The calls the firmware saw, in order.
    const models::SecureFirmwareModel &Fw = Platform_->Firmware();
    const models::FirmwareCall *Operation = nullptr;
    const models::FirmwareCall *Authentication = nullptr;
    uint64_t Translations = 0;
    for (uint64_t Index = 0; Index < Fw.CallCount(); ++Index) {
      const models::FirmwareCall &C = *Fw.FindCall(Index);
      if (C.In[0] == kTranslate) {
        ++Translations;
        continue;
      }
      ASSERT_EQ(C.In[0], kFlashService);
      if (C.In[1] == kSubAuthenticate && F.SignedWords != 0 && Authentication == nullptr &&
          Operation == nullptr) {
        Authentication = &C;
        continue;
      }
      // The one operation of the request carries the dispatched function's sub-command.
      ASSERT_EQ(Operation, nullptr) << "a second operation";
      ASSERT_EQ(static_cast<int64_t>(C.In[1]), F.Sub) << "operation of another function";
      Operation = &C;
    }
    EXPECT_EQ(Translations, F.SignedWords != 0 && !(F.SeedGated && Seeded) ? 1u : 0u);
    if (F.SeedGated && Seeded) {
      EXPECT_EQ(Fw.CallCount(), 0u) << "a gated function reached the firmware after the seed";
    }

    // What the operation ran on.
    const uint64_t *Judged = Sent.data();
    if (F.SignedWords != 0) {
      ASSERT_NE(Authentication, nullptr);
      const models::AuthenticationRecord &A = Fw.LastAuthentication();
      ASSERT_TRUE(A.Resolved);
      ASSERT_EQ(A.Length, F.SignedWords * sizeof(uint64_t));
      uint64_t Authenticated[kRecordWords] = {};
      std::memcpy(Authenticated, A.Bytes, A.Length);
      EXPECT_EQ(Authenticated[0], F.Number) << "the firmware authenticated another function";
      EXPECT_EQ(0, std::memcmp(Authenticated, Sent.data(), A.Length))
          << "the authenticated bytes are not the request as sent";
      EXPECT_EQ(Authentication->In[4], Sent[F.SignedWords]) << "AuthInfo";
      if (Operation != nullptr) {
        EXPECT_FALSE(models::FwFailed(Authentication->Out[0])) << "operation without acceptance";
      }
    }
    // Flash operations take Offset and Length (and Buffer); seed deployment takes the seed; the
    // other calls take nothing.
    const bool Ranged =
        F.Number == 1 || F.Number == 2 || F.Number == 3 || (F.Number >= 9 && F.Number <= 13);
    if (Operation != nullptr) {
      EXPECT_EQ(Operation->In[2], Ranged || F.Number == 8 ? Judged[kWordOffset] : 0);
      EXPECT_EQ(Operation->In[3], Ranged ? Judged[kWordLength] : 0);
      EXPECT_EQ(Operation->In[4], F.MovesData ? Judged[kWordBuffer] : 0);
      if (F.Permission) {
        EXPECT_LE(Operation->In[3], 0xFFFFFFFFu);
        EXPECT_TRUE(reference::WriteAllowed(Oracle, Operation->In[2],
                                            static_cast<uint32_t>(Operation->In[3])))
            << "an operation on a range the table in force refuses";
      }
    }

    // The answer the outcomes call for.
    uint64_t Word0 = kStatusSuccess;
    EFI_STATUS Status = EFI_SUCCESS;
    const bool MakesCall = F.Sub >= 0;
    if (F.SeedGated && Seeded) {
      Word0 = kStatusFailure;
      Status = EFI_DEVICE_ERROR;
    } else if (Authentication != nullptr && models::FwFailed(Authentication->Out[0])) {
      Word0 = kStatusAuthenticationRefused;
      Status = EFI_DEVICE_ERROR;
    } else if (MakesCall && Operation == nullptr) {
      EXPECT_TRUE(F.Permission) << "no operation, yet no permission check applies";
      Word0 = kStatusNoPermission;
    } else if (Operation != nullptr && models::FwFailed(Operation->Out[0])) {
      Word0 = kStatusFailure;
      Status = EFI_DEVICE_ERROR;
    }
    // Whether the operation runs is the request's as sent: allowed, refused by the table, or
    // carrying a bad MAC. No rewrite may turn one into another.
    if (MakesCall) {
      const bool Refused =
          F.Permission && (Sent[kWordLength] > 0xFFFFFFFF ||
                           !reference::WriteAllowed(Oracle, Sent[kWordOffset],
                                                    static_cast<uint32_t>(Sent[kWordLength])));
      const bool Stopped = (F.SeedGated && Seeded) || Refused || V == Variant::kBadMac;
      EXPECT_EQ(Operation != nullptr, !Stopped) << "operation run or skipped against the request";
    }
    EXPECT_EQ(Got.Status, Status);
    EXPECT_EQ(Got.Words[0], Word0);

    // Results where the function answers them; every other word as the normal world left it.
    const bool Answered = Word0 == kStatusSuccess && Operation != nullptr;
    for (uint32_t W = 1; W * sizeof(uint64_t) < Size; ++W) {
      uint64_t Expected = R.Struck && R.Word == W ? Value : Sent[W];
      if (Answered && (F.Results & (1u << W)) != 0) {
        const uint64_t *Out = Operation->Out;
        Expected = F.Number == 0 ? (W == 1   ? 0
                                    : W == 2 ? (Out[2] & 0xFFFFFFFF)
                                    : W == 3 ? (Out[2] >> 32)
                                             : Out[3])
                                 : Out[W];
      }
      EXPECT_EQ(Got.Words[W], Expected) << "word " << W;
    }

    // The staging buffer of a signed request lives and dies within it, before the operation.
    const uint64_t Allocations = Platform_->Core().AllocationCount() - AllocationsBefore;
    EXPECT_EQ(Allocations, Platform_->Core().FreeCount() - FreesBefore);
    // A report, and its breakpoint, only for a release that failed.
    EXPECT_EQ(Platform_->BreakpointCount() - BreakpointsBefore,
              V == Variant::kReleaseFails && Allocations == 1 ? 1u : 0u);
    EXPECT_EQ(Allocations, F.SignedWords != 0 && !(F.SeedGated && Seeded) ? 1u : 0u);
    bool Freed = false;
    for (const models::PlatformEvent &E : Platform_->Events()) {
      if (E.Kind == PlatformEventKind::kFreePool) {
        Freed = true;
      }
      if (E.Kind == PlatformEventKind::kSecureCall && E.A == kFlashService &&
          E.B == static_cast<uint64_t>(F.Sub) && F.SignedWords != 0) {
        EXPECT_TRUE(Freed) << "operation while the staging buffer was held";
      }
    }

    // Only functions 7 and 8 change the driver's state.
    EXPECT_EQ(RunTimeLocked(), LockedDown || F.Number == 7);
    EXPECT_EQ(SeedDeployed(), Seeded || (F.Number == 8 && Word0 == kStatusSuccess));
  }

  // One byte short of what the function uses: refused before any call, the record untouched and
  // no word but word 0 read.
  void ExpectShortRecordRefused(const Function &F) {
    const uint64_t Size = reference::BytesNeeded(F.Number) - 1;
    const std::vector<uint64_t> Sent = Compose(F, Variant::kServed);
    SCOPED_TRACE("function " + std::to_string(F.Number) + " sent " + std::to_string(Size) +
                 " bytes");
    Platform_->Firmware().ClearLog();
    const Outcome Got = Send(Sent, Size);
    EXPECT_EQ(Got.Status, EFI_BAD_BUFFER_SIZE);
    EXPECT_EQ(0, std::memcmp(Got.Words, Sent.data(), Size));
    EXPECT_EQ(Platform_->Firmware().CallCount(), 0u);
    if (testsupport::RecordWatch::Available()) {
      EXPECT_LE(Watch_.Loads(0), 1u);
      for (uint32_t W = 1; W < kRecordWords; ++W) {
        EXPECT_EQ(Watch_.Loads(W), 0u) << "record word " << W;
      }
      EXPECT_EQ(Watch_.StrayLoads() + Watch_.StrayStores(), 0u);
    }
  }

  testsupport::RecordWatch Watch_;
  std::unique_ptr<models::HostPlatform> Platform_;
  uint64_t Events_ = 0;
  bool Locked_ = false;
};

TEST_F(RaceSweep, EveryFunctionEveryEventEveryWord_DecidesAndActsOnOneCopy) {
  uint64_t Requests = 0;
  uint64_t EventsCovered = 0;
  for (int State = 0; State < 4; ++State) {
    for (const Function &F : kFunctions) {
      Start((State & 1) != 0, (State & 2) != 0);
      ExpectShortRecordRefused(F);
      for (Variant V : {Variant::kServed, Variant::kOperationFails, Variant::kNoPermission,
                        Variant::kBadMac, Variant::kReleaseFails}) {
        if ((V == Variant::kOperationFails && F.Sub < 0) ||
            (V == Variant::kNoPermission && !F.Permission) ||
            ((V == Variant::kBadMac || V == Variant::kReleaseFails) &&
             (F.SignedWords == 0 || (F.SeedGated && (State & 2) != 0)))) {
          continue;
        }
        // A quiet run counts the events; then each is struck in turn.
        RunOne(F, V, ~0ULL, 0, 0, true);
        const uint64_t Events = Events_;
        ++Requests;
        const uint64_t Hostile[] = {OtherFunction(F.Number), 0x10000000, 0x100000010, 0, ~0ULL};
        for (uint64_t Event = 0; Event < Events; ++Event) {
          for (uint32_t Word = 0; Word < kRecordWords; ++Word) {
            for (uint64_t Value : Hostile) {
              RunOne(F, V, Event, Word, Value, Word == kWordFunctionId && Value == Hostile[0]);
              ++Requests;
              if (HasFailure()) {
                return;
              }
            }
          }
        }
        EventsCovered += Events;
      }
    }
  }
  RecordProperty("requests", std::to_string(Requests));
  RecordProperty("events", std::to_string(EventsCovered));
  std::printf("race sweep: %llu requests, %llu events struck\n",
              static_cast<unsigned long long>(Requests),
              static_cast<unsigned long long>(EventsCovered));
}

// A record 1 to 7 bytes past a word boundary is refused before any byte of it is read: on a
// strict mapping the read itself would fault. The watch counts every access, whatever its address.
// Every skew is tried, since a check of the low two bits alone would let a record 4 bytes off in.
TEST_F(RaceSweep, MisalignedRecord_IsRefusedUnread) {
  Start(false, false);
  const EFI_MM_HANDLER_ENTRY_POINT Handler = Platform_->Core().FindHandler(kVarnelMmGuid);
  ASSERT_NE(Handler, nullptr);
  for (uint64_t Skew = 1; Skew < sizeof(uint64_t); ++Skew) {
    for (uint64_t Function = 0; Function <= kHighestFunction + 1; ++Function) {
      SCOPED_TRACE("function " + std::to_string(Function) + " skew " + std::to_string(Skew));
      const uint64_t Words[kRecordWords] = {Function, kAllowed, kLength, kNormalBase, 0, 0};
      uint8_t *Block = Watch_.Record();
      std::memset(Block, 0, kRecordBytes + 8);
      std::memcpy(Block + Skew, Words, kRecordBytes);
      uint64_t Size = kRecordBytes;
      Platform_->Firmware().ClearLog();
      Platform_->ClearConsole();
      Watch_.Arm();
      EXPECT_EQ(Handler(nullptr, nullptr, Block + Skew, &Size), EFI_INVALID_PARAMETER);
      Watch_.Disarm();
      EXPECT_EQ(Watch_.Accesses(), 0u) << "the misaligned record was touched";
      EXPECT_EQ(0, std::memcmp(Block + Skew, Words, kRecordBytes));
      EXPECT_EQ(Size, kRecordBytes);
      EXPECT_EQ(Platform_->Firmware().CallCount(), 0u);
      EXPECT_EQ(Platform_->ConsoleText(), "");
    }
  }
}

// The attack that started this: the normal world holds a signature for a secure read (or a secure
// region lock), sends the record as a secure write (or a secure erase) and puts the signed
// function number back while the staging buffer is allocated. A firmware that checks only the MAC
// would accept the staged bytes if they were taken from the record; they are the request as the
// handler took it, so the signature fails and nothing is written or erased.
TEST_F(RaceSweep, SignatureOfAnotherFunctionSwappedInDuringTheAllocation_IsRefused) {
  struct Swap {
    uint64_t Signed;
    uint64_t Sent;
    const char *Line;
  };
  const Swap kSwaps[] = {
      {9, 10, "SpiNorSecureWrite Fail to authenticate write request\r\n"},
      {13, 11, "SpiNorSecureErase Fail to authenticate erase request\r\n"},
  };
  for (const Swap &S : kSwaps) {
    Start(false, false);
    uint64_t Words[kRecordWords] = {S.Signed, kAllowed, kLength, kNormalBase, 0, 0};
    ASSERT_TRUE(Platform_->Sign(Words));
    Words[kWordFunctionId] = S.Sent;
    Platform_->Firmware().ClearLog();
    Platform_->ClearConsole();
    gRace.StrikeAt = 0;  // event 0 of a signed request is the allocation
    gRace.Word = kWordFunctionId;
    gRace.Value = S.Signed;
    gRace.Events = 0;
    Platform_->SetRaceHook(Strike, nullptr);
    const Outcome Result = Send(std::vector<uint64_t>(Words, Words + kRecordWords), kRecordBytes);
    Platform_->SetRaceHook(nullptr, nullptr);

    ASSERT_TRUE(gRace.Struck);
    EXPECT_EQ(Result.Status, EFI_DEVICE_ERROR);
    EXPECT_EQ(Result.Words[0], kStatusAuthenticationRefused);
    EXPECT_EQ(Platform_->ConsoleText(), S.Line);
    EXPECT_EQ(Platform_->Firmware().LastAuthentication().Bytes[0], S.Sent);
    EXPECT_EQ(Platform_->Firmware().ServiceCallCount(static_cast<uint32_t>(S.Sent)), 0u);
    EXPECT_EQ(Platform_->Core().LiveAllocationCount(), 0u);
  }
}

}  // namespace
