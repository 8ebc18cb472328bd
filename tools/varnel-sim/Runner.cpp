// SPDX-License-Identifier: BSD-3-Clause
// Execution of varnel-sim commands.
#include "tools/varnel-sim/Runner.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "config/VarnelMmConfig.h"
#include "driver/VarnelMmProtocol.h"
#include "models/SecureFirmwareModel.h"

namespace varnelsim {
namespace {

constexpr uint64_t kSector = 0x1000;
constexpr uint64_t kBase = config::kFlashWindowBase;

// A progress bar on stderr, drawn only when stderr is a terminal and the transfer takes more
// than one request.
class Progress {
 public:
  Progress(const char *Label, uint64_t Total, uint64_t Chunk)
      : Label(Label), Total(Total), Shown(Total > Chunk && ::isatty(STDERR_FILENO) == 1) {}
  ~Progress() {
    if (Shown) {
      Print(stderr, "\r\033[K");
    }
  }
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;
  void Update(uint64_t Done) {
    if (!Shown) {
      return;
    }
    constexpr int kWidth = 40;
    const int Filled = static_cast<int>(Done * kWidth / Total);
    std::fprintf(stderr, "\r%-12s [%.*s%*s] %3" PRIu64 "%% %" PRIu64 "/%" PRIu64 " KiB", Label,
                 Filled, "########################################", kWidth - Filled, "",
                 Done * 100 / Total, Done >> 10, Total >> 10);
    FlushChecked(stderr);
  }

 private:
  const char *Label;
  uint64_t Total;
  bool Shown;
};

bool IsStatusWord(uint64_t Word) {
  return VARNELMM_IS_STATUS_WORD_FORM(Word);
}

bool Overlaps(uint64_t First, uint64_t Length, uint64_t OtherFirst, uint64_t OtherLength) {
  return Length != 0 && OtherLength != 0 && First < OtherFirst + OtherLength &&
         OtherFirst < First + Length;
}

std::string Span(uint64_t First, uint64_t Length) {
  return Hex(First) + "-" + Hex(First + Length - 1);
}

}  // namespace

Runner::Runner(Target &Machine, const Options &Settings, uint64_t FlashSize, ConsoleSink Console)
    : Machine(Machine),
      Settings(Settings),
      FlashSize(FlashSize),
      Console(std::move(Console)),
      Chunk(Machine.WindowSize()) {}

Answer Runner::Send(CommandReport &Report, const Command &Item, uint64_t (&Words)[6],
                    uint64_t BufferSize) {
  const Answer Result = Machine.Send(Words, BufferSize);
  Console(Machine.TakeConsole());
  ++Report.Requests;
  Report.Status = Result.Status;
  Report.Answered = Words[0] <= varnel::kHighestFunction && IsStatusWord(Result.Words[0]);
  Report.StatusWord = Report.Answered ? Result.Words[0] : 0;
  Report.Ok = Report.Answered && Report.StatusWord == varnel::kStatusSuccess &&
              Result.Status == EFI_SUCCESS;
  if (!Report.Ok) {
    Report.Hint = Hint(Item, Words, Result);
    return Result;
  }
  switch (Words[0]) {
    case varnel::kFunctionRunTimeLockDown:
      LockedDown = true;
      break;
    case varnel::kFunctionSeedDeploy:
      Seed = Words[1];
      break;
    case varnel::kFunctionRegionLock:
    case varnel::kFunctionSecureRegionLock:
      if (Words[2] != 0) {
        Locks.emplace_back(Words[1], Words[2]);
      }
      break;
    case varnel::kFunctionLockRegionLock:
      RegionLockLocked = true;
      break;
    default:
      break;
  }
  return Result;
}

std::string Runner::Hint(const Command &Item, const uint64_t (&Words)[6],
                         const Answer &Result) const {
  const uint64_t Function = Words[0];
  const uint64_t Address = Words[1];
  const uint64_t Length = Words[2];
  if (Function > varnel::kHighestFunction) {
    return "the driver serves function numbers 0 to 14 only";
  }
  if (!IsStatusWord(Result.Words[0])) {
    return "";
  }
  const uint64_t Word = Result.Words[0];
  if (Word == varnel::kStatusAuthenticationRefused) {
    if (Item.Auth) {
      return "the secure firmware did not accept the AuthInfo given with --auth";
    }
    if (Settings.KeyHex) {
      return std::string("the secure firmware uses ") +
             (Seed ? "the key of the deployed seed" : "its provisioned key") +
             ", not the --key given";
    }
    return "the secure firmware did not accept the MAC";
  }
  if (Function == varnel::kFunctionSeedDeploy && Seed) {
    return "a seed is deployed already; the secure firmware accepts one seed per power cycle";
  }
  const bool Plain = Function == varnel::kFunctionRead || Function == varnel::kFunctionWrite ||
                     Function == varnel::kFunctionErase ||
                     Function == varnel::kFunctionRegionLock ||
                     Function == varnel::kFunctionLockRegionLock;
  if (Plain && Seed && Word == varnel::kStatusFailure) {
    return "the seed is deployed: plain read, write, erase and lock are refused; use the "
           "secure-* commands";
  }
  const bool Ranged = Plain ? Function != varnel::kFunctionLockRegionLock
                            : Function >= varnel::kFunctionSecureRead &&
                                  Function != varnel::kFunctionLockRegionLock;
  if (!Ranged) {
    return "";
  }
  if (Address < kBase) {
    return Hex(Address) + " lies below the flash window at " + Hex(kBase) + "; did you mean +" +
           Hex(Address) + "?";
  }
  if (Address - kBase > FlashSize || Length > FlashSize - (Address - kBase)) {
    return "the range leaves the flash window " + Span(kBase, FlashSize);
  }
  if (Word == varnel::kStatusNoPermission) {
    return std::string("the range is not inside one writable region of the ") +
           (LockedDown ? "run-time" : "boot") + " table (see 'varnel-sim regions')";
  }
  const bool Erase = Function == varnel::kFunctionErase || Function == varnel::kFunctionSecureErase;
  if (Erase && (Address % kSector != 0 || Length % kSector != 0)) {
    return "erase works on whole 4 KiB sectors: offset and length must be multiples of 0x1000";
  }
  const bool Lock =
      Function == varnel::kFunctionRegionLock || Function == varnel::kFunctionSecureRegionLock;
  if (Lock && RegionLockLocked) {
    return "region locks were locked by lock-region-lock earlier in this run";
  }
  if (Lock && Locks.size() >= 16) {
    return "the flash's lock table is full (16 regions)";
  }
  if (!Lock && Function != varnel::kFunctionRead && Function != varnel::kFunctionSecureRead) {
    for (const auto &[First, Size] : Locks) {
      if (Overlaps(Address, Length, First, Size)) {
        return "the range overlaps " + Span(First, Size) + ", locked earlier in this run";
      }
    }
  }
  return "";
}

uint64_t Runner::Sign(const Command &Item, const uint64_t (&Words)[6], uint64_t Length) const {
  if (Item.Auth) {
    return *Item.Auth;
  }
  models::SipHashKey Key;
  if (Settings.KeyHex) {
    uint8_t Bytes[16];
    for (int Index = 0; Index < 16; ++Index) {
      Bytes[Index] = static_cast<uint8_t>(
          std::stoul(Settings.KeyHex->substr(static_cast<size_t>(2 * Index), 2), nullptr, 16));
    }
    Key = models::SipHashKeyFromBytes(Bytes);
  } else if (Seed) {
    // The simulator plays the device's owner: it knows the secret the key is derived from.
    Key = models::SecureFirmwareModel::DeriveSeedKey(models::kDefaultDeviceSecret, *Seed);
  } else {
    static constexpr uint8_t kProvisioned[16] = {0, 1, 2,  3,  4,  5,  6,  7,
                                                 8, 9, 10, 11, 12, 13, 14, 15};
    Key = models::SipHashKeyFromBytes(kProvisioned);
  }
  return models::ComputeRequestMac(Key, Words, Length);
}

void Runner::Query(CommandReport &Report, const Command &Item, uint64_t Function) {
  uint64_t Words[6] = {Function, 0, 0, 0, 0, 0};
  const Answer Result = Send(Report, Item, Words);
  if (!Report.Ok) {
    return;
  }
  if (Function == varnel::kFunctionGetInfo) {
    Report.Results = {{"InfoLow", Result.Words[2]},
                      {"InfoHigh", Result.Words[3]},
                      {"FlashSize", Result.Words[4]}};
  } else if (Function != varnel::kFunctionRunTimeLockDown &&
             Function != varnel::kFunctionLockRegionLock) {
    Report.Results = {{"X1", Result.Words[1]}, {"X2", Result.Words[2]}};
  }
}

void Runner::Range(CommandReport &Report, const Command &Item, uint64_t Function, bool Signed) {
  uint64_t Words[6] = {Function, Item.Offset, Item.Length, 0, 0, 0};
  Report.Arguments = {{"Offset", Item.Offset}, {"Length", Item.Length}};
  if (Signed) {
    Words[varnel::kWordAuthInfoShort] = Sign(Item, Words, varnel::kSignedPartShort);
    Report.Arguments.emplace_back("AuthInfo", Words[varnel::kWordAuthInfoShort]);
  }
  Send(Report, Item, Words);
}

Runner::Moved Runner::Transfer(CommandReport &Report, const Command &Item, bool Write, bool Signed,
                               uint64_t Address, uint64_t Length, const Mover &Fill,
                               const Mover &Take) {
  const uint64_t Function = Write ? (Signed ? varnel::kFunctionSecureWrite : varnel::kFunctionWrite)
                                  : (Signed ? varnel::kFunctionSecureRead : varnel::kFunctionRead);
  const uint64_t Window = Machine.WindowSize();
  Progress Bar(Item.Name.c_str(), Length, Window);
  uint64_t Done = 0;
  uint64_t Index = 0;
  uint64_t AuthInfo = 0;
  do {
    const uint64_t Size = std::min(Window, Length - Done);
    if (Write) {
      Fill(Done, Size);
    }
    uint64_t Words[6] = {Function, Address + Done, Size, Machine.WindowBase(), 0, 0};
    if (Signed) {
      Words[varnel::kWordAuthInfoLong] = Sign(Item, Words, varnel::kSignedPartLong);
      AuthInfo = Words[varnel::kWordAuthInfoLong];
    }
    ++Index;
    Send(Report, Item, Words);
    if (!Report.Ok) {
      // A transfer of one request is described by its arguments already.
      Report.ChunkFailed = Length > Window;
      Report.ChunkIndex = Index;
      Report.ChunkOffset = Address + Done;
      Report.ChunkLength = Size;
      return {false, Done};
    }
    if (!Write) {
      Take(Done, Size);
    }
    Done += Size;
    Bar.Update(Done);
  } while (Done < Length);
  if (Signed && Index == 1 && Report.Arguments.size() == 3) {
    Report.Arguments.emplace_back("AuthInfo", AuthInfo);
  }
  return {true, Done};
}

void Runner::Read(CommandReport &Report, const Command &Item, bool Signed) {
  Report.Arguments = {
      {"Offset", Item.Offset}, {"Length", Item.Length}, {"Buffer", Machine.WindowBase()}};
  Report.Transfer = true;
  Report.Total = Item.Length;
  std::unique_ptr<AtomicOutput> Output;
  if (!Item.File.empty()) {
    try {
      Output = std::make_unique<AtomicOutput>(Item.File);
    } catch (const ToolError &Error) {
      Report.Error = Error.what();
      Report.ToolFailure = true;
      return;
    }
  }
  try {
    const Moved Result =
        Transfer(Report, Item, false, Signed, Item.Offset, Item.Length, nullptr,
                 [&](uint64_t, uint64_t Size) {
                   Machine.FromWindow(0, Chunk.data(), Size);
                   if (Output) {
                     Output->Write(Chunk.data(), Size);
                   } else {
                     Report.Data.insert(Report.Data.end(), Chunk.data(), Chunk.data() + Size);
                   }
                 });
    Report.Completed = Result.Done;
    if (Result.Ok && Output) {
      Output->Commit();
    }
    Report.HasData = Result.Ok && !Output;
    Report.DataAddress = Item.Offset;
  } catch (const ToolError &Error) {
    Report.Error = Error.what();
    Report.ToolFailure = true;
    Report.Ok = false;
  }
}

void Runner::WarnUnerased(CommandReport &Report, uint64_t Address, const InputFile &Input) {
  std::vector<uint8_t> Flash(Chunk.size());
  uint64_t Count = 0;
  uint64_t First = 0;
  for (uint64_t Done = 0; Done < Input.Size(); Done += Chunk.size()) {
    const uint64_t Size = std::min<uint64_t>(Chunk.size(), Input.Size() - Done);
    if (!Machine.PeekFlash(Address + Done, Size, Flash.data())) {
      return;
    }
    Input.Read(Done, Chunk.data(), Size);
    for (uint64_t Index = 0; Index < Size; ++Index) {
      if ((Flash[Index] & Chunk[Index]) != Chunk[Index]) {
        First = Count == 0 ? Address + Done + Index : First;
        ++Count;
      }
    }
  }
  if (Count != 0) {
    Report.Warnings.push_back(std::to_string(Count) + " byte" + (Count == 1 ? "" : "s") +
                              " of the file need bits set that the flash holds cleared (first at " +
                              Hex(First) +
                              "): programming only clears bits, so the flash will differ from "
                              "the file; erase first, or use flash");
  }
}

void Runner::Write(CommandReport &Report, const Command &Item, bool Signed,
                   const InputFile &Input) {
  Report.Arguments = {
      {"Offset", Item.Offset}, {"Length", Input.Size()}, {"Buffer", Machine.WindowBase()}};
  Report.Transfer = true;
  Report.Total = Input.Size();
  WarnUnerased(Report, Item.Offset, Input);
  const Moved Result = Transfer(
      Report, Item, true, Signed, Item.Offset, Input.Size(),
      [&](uint64_t Done, uint64_t Size) {
        Input.Read(Done, Chunk.data(), Size);
        Machine.ToWindow(0, Chunk.data(), Size);
      },
      nullptr);
  Report.Completed = Result.Done;
  if (Result.Ok && Item.Verify) {
    Compare(Report, Item, Signed, Item.Offset, Input.Size(),
            [&](uint64_t Done, uint64_t Size, uint8_t *Into) { Input.Read(Done, Into, Size); });
  }
}

void Runner::Compare(CommandReport &Report, const Command &Item, bool Signed, uint64_t Address,
                     uint64_t Length, const Source &Expected) {
  std::vector<uint8_t> Wanted(Chunk.size());
  uint64_t Differences = 0;
  uint64_t First = 0;
  const Moved Result = Transfer(Report, Item, false, Signed, Address, Length, nullptr,
                                [&](uint64_t Done, uint64_t Size) {
                                  Machine.FromWindow(0, Chunk.data(), Size);
                                  Expected(Done, Size, Wanted.data());
                                  for (uint64_t Index = 0; Index < Size; ++Index) {
                                    if (Chunk[Index] != Wanted[Index]) {
                                      First = Differences == 0 ? Address + Done + Index : First;
                                      ++Differences;
                                    }
                                  }
                                });
  if (!Result.Ok) {
    Report.Details["verified"] = false;
    return;
  }
  Report.Details["verified"] = Differences == 0;
  Report.Details["differences"] = Differences;
  if (Differences == 0) {
    Report.Notes.push_back("verified: " + Hex(Length) + " bytes equal");
    return;
  }
  Report.Ok = false;
  Report.Details["first_difference"] = Hex(First);
  Report.Notes.push_back("verify failed: " + std::to_string(Differences) + " byte" +
                         (Differences == 1 ? "" : "s") + " differ, the first at " + Hex(First));
}

void Runner::Verify(CommandReport &Report, const Command &Item, const InputFile &Input) {
  Report.Arguments = {
      {"Offset", Item.Offset}, {"Length", Input.Size()}, {"Buffer", Machine.WindowBase()}};
  Compare(Report, Item, false, Item.Offset, Input.Size(),
          [&](uint64_t Done, uint64_t Size, uint8_t *Into) { Input.Read(Done, Into, Size); });
}

void Runner::Flash(CommandReport &Report, const Command &Item, const InputFile &Input) {
  // Work on whole sectors: the bytes of a partly covered sector that the file does not cover are
  // read first and written back after an erase.
  const uint64_t Start = Item.Offset / kSector * kSector;
  const uint64_t End = (Item.Offset + Input.Size() + kSector - 1) / kSector * kSector;
  const uint64_t Length = End - Start;
  Report.Arguments = {{"Offset", Item.Offset}, {"Length", Input.Size()}};
  std::vector<uint8_t> Current(Length);
  Moved Step = Transfer(
      Report, Item, false, false, Start, Length, nullptr,
      [&](uint64_t Done, uint64_t Size) { Machine.FromWindow(0, Current.data() + Done, Size); });
  if (!Step.Ok) {
    Report.Notes.push_back("reading the sectors to update failed");
    return;
  }
  std::vector<uint8_t> Desired = Current;
  Input.Read(0, Desired.data() + (Item.Offset - Start), Input.Size());

  const uint64_t Sectors = Length / kSector;
  std::vector<uint8_t> NeedsErase(Sectors, 0);
  std::vector<uint8_t> NeedsWrite(Sectors, 0);
  uint64_t Erased = 0;
  uint64_t Written = 0;
  for (uint64_t Sector = 0; Sector < Sectors; ++Sector) {
    const uint8_t *Now = Current.data() + Sector * kSector;
    const uint8_t *Want = Desired.data() + Sector * kSector;
    if (std::memcmp(Now, Want, kSector) == 0) {
      continue;
    }
    for (uint64_t Index = 0; Index < kSector && NeedsErase[Sector] == 0; ++Index) {
      NeedsErase[Sector] = (Now[Index] & Want[Index]) != Want[Index] ? 1 : 0;
    }
    bool Blank = true;
    for (uint64_t Index = 0; Index < kSector && Blank; ++Index) {
      Blank = Want[Index] == 0xFF;
    }
    NeedsWrite[Sector] = NeedsErase[Sector] != 0 && Blank ? 0 : 1;
  }
  // Runs of neighbouring sectors go out as one erase request and one write transfer.
  const auto Runs = [&](const std::vector<uint8_t> &Marks, const auto &Each) {
    for (uint64_t Sector = 0; Sector < Sectors;) {
      if (Marks[Sector] == 0) {
        ++Sector;
        continue;
      }
      uint64_t Last = Sector;
      while (Last + 1 < Sectors && Marks[Last + 1] != 0) {
        ++Last;
      }
      if (!Each(Sector, Last + 1 - Sector)) {
        return false;
      }
      Sector = Last + 1;
    }
    return true;
  };
  const bool ErasedAll = Runs(NeedsErase, [&](uint64_t First, uint64_t Count) {
    uint64_t Words[6] = {varnel::kFunctionErase, Start + First * kSector, Count * kSector, 0, 0, 0};
    Send(Report, Item, Words);
    Erased += Report.Ok ? Count : 0;
    return Report.Ok;
  });
  const bool WroteAll = ErasedAll && Runs(NeedsWrite, [&](uint64_t First, uint64_t Count) {
                          const uint64_t Offset = First * kSector;
                          Step = Transfer(
                              Report, Item, true, false, Start + Offset, Count * kSector,
                              [&](uint64_t Done, uint64_t Size) {
                                Machine.ToWindow(0, Desired.data() + Offset + Done, Size);
                              },
                              nullptr);
                          Written += Step.Ok ? Count : 0;
                          return Step.Ok;
                        });
  uint64_t Unchanged = 0;
  for (uint64_t Sector = 0; Sector < Sectors; ++Sector) {
    Unchanged += NeedsErase[Sector] == 0 && NeedsWrite[Sector] == 0 ? 1 : 0;
  }
  Report.Details["sectors"] = Sectors;
  Report.Details["erased"] = Erased;
  Report.Details["programmed"] = Written;
  Report.Details["unchanged"] = Unchanged;
  Report.Notes.push_back(std::to_string(Sectors) + " sector" + (Sectors == 1 ? "" : "s") + ": " +
                         std::to_string(Erased) + " erased, " + std::to_string(Written) +
                         " programmed, " + std::to_string(Unchanged) + " already equal");
  if (!WroteAll) {
    return;
  }
  Compare(Report, Item, false, Start, Length, [&](uint64_t Done, uint64_t Size, uint8_t *Into) {
    std::memcpy(Into, Desired.data() + Done, Size);
  });
}

void Runner::Regions(CommandReport &Report) const {
  Report.Local = true;
  Report.Ok = true;
  const config::RegionAccessEntry *Table =
      LockedDown ? config::kRunTimeRegionTable : config::kBootRegionTable;
  const char *Name = LockedDown ? "run-time" : "boot";
  Report.Notes.push_back(std::string(Name) + " table in force; lock-down " +
                         (LockedDown ? "on" : "off") + ", seed " +
                         (Seed ? "deployed" : "not deployed") + ", region-lock command " +
                         (RegionLockLocked ? "locked" : "open"));
  Json Rows = Json::array();
  for (uint64_t Row = 0; Table[Row].First != Table[Row].Last && Table[Row].Permission != 0; ++Row) {
    uint64_t Last = Table[Row].Last;
    if (!LockedDown && Table[Row].First == config::kBootPatchedRowFirst && FlashSize != 0) {
      Last = FlashSize - 1;  // the driver patches this row to the flash size at its start
    }
    if (Last < Table[Row].First) {
      continue;  // a patched row that ends before it starts (a small flash) admits nothing
    }
    const uint64_t Size = Last + 1 - Table[Row].First;
    const bool Writable = (Table[Row].Permission & 2) != 0;
    char Line[128];
    std::snprintf(Line, sizeof(Line), "%s  %8s bytes  %s",
                  Span(kBase + Table[Row].First, Size).c_str(), Hex(Size).c_str(),
                  Writable ? "writable" : "read-only");
    Report.Notes.emplace_back(Line);
    Rows.push_back({{"first", Hex(kBase + Table[Row].First)},
                    {"last", Hex(kBase + Last)},
                    {"size", Hex(Size)},
                    {"writable", Writable}});
  }
  Json Locked = Json::array();
  for (const auto &[First, Size] : Locks) {
    Report.Notes.push_back("locked until reset: " + Span(First, Size));
    Locked.push_back({{"first", Hex(First)}, {"size", Hex(Size)}});
  }
  Report.Details = {{"table", Name},
                    {"lockdown", LockedDown},
                    {"seed_deployed", Seed.has_value()},
                    {"region_lock_locked", RegionLockLocked},
                    {"regions", Rows},
                    {"locked", Locked}};
}

void Runner::Raw(CommandReport &Report, const Command &Item) {
  uint64_t Words[6];
  std::copy(std::begin(Item.Words), std::end(Item.Words), Words);
  for (int Index = 0; Index < 6; ++Index) {
    Report.Arguments.emplace_back("W" + std::to_string(Index), Words[Index]);
  }
  if (Item.BufferSize != 48) {
    Report.Arguments.emplace_back("Size", Item.BufferSize);
  }
  const Answer Result = Send(Report, Item, Words, Item.BufferSize);
  for (int Index = 0; Index < 6; ++Index) {
    Report.Results.emplace_back("W" + std::to_string(Index), Result.Words[Index]);
  }
}

namespace {

// How each command is carried out: the function it sends and the path that builds its requests.
enum class Route : uint8_t {
  kQuery,
  kRead,
  kWrite,
  kRange,
  kSeed,
  kRaw,
  kFlash,
  kVerify,
  kRegions
};
struct CommandRoute {
  uint64_t FunctionId;
  Route Path;
  bool Signed;
};

// Indexed by CommandKind.
constexpr CommandRoute kCommandRoutes[] = {
    {varnel::kFunctionGetInfo, Route::kQuery, false},          // info
    {varnel::kFunctionGetNvInfo, Route::kQuery, false},        // nv-info
    {varnel::kFunctionGetNv2Info, Route::kQuery, false},       // nv2-info
    {varnel::kFunctionGetFailSafeInfo, Route::kQuery, false},  // failsafe-info
    {varnel::kFunctionRead, Route::kRead, false},              // read
    {varnel::kFunctionWrite, Route::kWrite, false},            // write
    {varnel::kFunctionErase, Route::kRange, false},            // erase
    {varnel::kFunctionRegionLock, Route::kRange, false},       // lock
    {varnel::kFunctionLockRegionLock, Route::kQuery, false},   // lock-region-lock
    {varnel::kFunctionRunTimeLockDown, Route::kQuery, false},  // lockdown
    {varnel::kFunctionSeedDeploy, Route::kSeed, false},        // seed
    {varnel::kFunctionSecureRead, Route::kRead, true},         // secure-read
    {varnel::kFunctionSecureWrite, Route::kWrite, true},       // secure-write
    {varnel::kFunctionSecureErase, Route::kRange, true},       // secure-erase
    {varnel::kFunctionSecureRegionLock, Route::kRange, true},  // secure-lock
    {0, Route::kRaw, false},                                   // raw: word 0 as given
    {varnel::kFunctionWrite, Route::kFlash, false},            // flash
    {varnel::kFunctionRead, Route::kVerify, false},            // verify
    {0, Route::kRegions, false},                               // regions
};
static_assert(sizeof(kCommandRoutes) / sizeof(kCommandRoutes[0]) ==
              static_cast<size_t>(CommandKind::kRegions) + 1);

}  // namespace

CommandReport Runner::Run(const Command &Item, const InputFile *Input) {
  CommandReport Report;
  Report.Command = Item.Name;
  Report.Origin = Item.Origin;
  const CommandRoute &Entry = kCommandRoutes[static_cast<size_t>(Item.Kind)];
  Report.FunctionId = Entry.Path == Route::kRaw ? Item.Words[0] : Entry.FunctionId;
  try {
    switch (Entry.Path) {
      case Route::kQuery:
        Query(Report, Item, Report.FunctionId);
        break;
      case Route::kRead:
        Read(Report, Item, Entry.Signed);
        break;
      case Route::kWrite:
        Write(Report, Item, Entry.Signed, *Input);
        break;
      case Route::kRange:
        Range(Report, Item, Report.FunctionId, Entry.Signed);
        break;
      case Route::kSeed: {
        Report.Arguments = {{"Seed", Item.Value}};
        uint64_t Words[6] = {varnel::kFunctionSeedDeploy, Item.Value, 0, 0, 0, 0};
        Send(Report, Item, Words);
        break;
      }
      case Route::kRaw:
        Raw(Report, Item);
        break;
      case Route::kFlash:
        Flash(Report, Item, *Input);
        break;
      case Route::kVerify:
        Verify(Report, Item, *Input);
        break;
      case Route::kRegions:
        Regions(Report);
        break;
    }
  } catch (const ToolError &Error) {
    Report.Error = Error.what();
    Report.ToolFailure = true;
    Report.Ok = false;
  }
  return Report;
}

}  // namespace varnelsim
