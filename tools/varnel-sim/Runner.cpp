// SPDX-License-Identifier: BSD-3-Clause
// Execution of varnel-sim commands.
#include "tools/varnel-sim/Runner.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "driver/VarnelMmProtocol.h"
#include "tools/varnel-sim/Plan.h"

namespace varnelsim {
namespace {

constexpr uint64_t kSector = kSectorBytes;
constexpr uint64_t kBase = VARNELMM_FLASH_WINDOW_BASE;

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
    Print(stderr, Format("\r%-12s [%.*s%*s] %3" PRIu64 "%% %" PRIu64 "/%" PRIu64 " KiB", Label,
                         Filled, "########################################", kWidth - Filled, "",
                         Done * 100 / Total, Done >> 10, Total >> 10));
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

Answer Runner::Send(CommandReport &Report, const Command &Item, VARNELMM_RECORD_WORD_ARRAY &Words,
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
  Apply(Words[0], Words[1], Words[2], State);
  return Result;
}

std::string Runner::Hint(const Command &Item, const VARNELMM_RECORD_WORD_ARRAY &Words,
                         const Answer &Result) const {
  if (Words[0] <= varnel::kHighestFunction && !IsStatusWord(Result.Words[0])) {
    return "";
  }
  const uint64_t Signed = VarnelMmFunctionSignedBytes(Words[0]);
  std::optional<uint64_t> Auth = Item.Auth;
  if (Item.Kind == CommandKind::kRaw && Signed != 0) {
    Auth = Words[Signed / 8];
  }
  std::string Reason =
      Refusal({Words[0], Words[1], Words[2], Words[3], Auth}, State, FlashSize, Settings);
  if (Reason.empty() && Result.Words[0] == varnel::kStatusAuthenticationRefused) {
    return "the secure firmware did not accept the MAC";
  }
  return Reason;
}

uint64_t Runner::Sign(const Command &Item, const VARNELMM_RECORD_WORD_ARRAY &Words,
                      uint64_t Length) const {
  if (Item.Auth) {
    return *Item.Auth;
  }
  return models::ComputeRequestMac(RunKey(Settings, State), Words, Length);
}

void Runner::Query(CommandReport &Report, const Command &Item, uint64_t Function) {
  VARNELMM_RECORD_WORD_ARRAY Words = {Function};
  const Answer Result = Send(Report, Item, Words);
  if (!Report.Ok) {
    return;
  }
  if (Function == varnel::kFunctionGetInfo) {
    Report.Results = {{"InfoLow", Result.Words[varnel::kResultInfoLow]},
                      {"InfoHigh", Result.Words[varnel::kResultInfoHigh]},
                      {"FlashSize", Result.Words[varnel::kResultFlashSize]}};
  } else if (VarnelMmFunctionIsInfoQuery(Function) != 0) {
    Report.Results = {{"X1", Result.Words[varnel::kResultQueryFirst]},
                      {"X2", Result.Words[varnel::kResultQuerySecond]}};
  }
}

void Runner::Range(CommandReport &Report, const Command &Item, uint64_t Function, bool Signed) {
  VARNELMM_RECORD_WORD_ARRAY Words = {Function, Item.Offset, Item.Length};
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
    if (Index != 0) {
      StopIfAsked(Report);  // between requests of a transfer, never inside a sector's update
    }
    const uint64_t Size = std::min(Window, Length - Done);
    if (Write) {
      Fill(Done, Size);
    }
    VARNELMM_RECORD_WORD_ARRAY Words = {Function, Address + Done, Size, Machine.WindowBase()};
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

void Runner::Read(CommandReport &Report, const Command &Item, bool Signed, AtomicOutput *Output) {
  Report.Arguments = {
      {"Offset", Item.Offset}, {"Length", Item.Length}, {"Buffer", Machine.WindowBase()}};
  Report.Transfer = true;
  Report.Total = Item.Length;
  try {
    if (Output == nullptr && Item.Length > Chunk.size()) {
      Report.Spool = std::make_shared<DataSpool>();
    }
    const Moved Result =
        Transfer(Report, Item, false, Signed, Item.Offset, Item.Length, nullptr,
                 [&](uint64_t, uint64_t Size) {
                   Machine.FromWindow(0, Chunk.data(), Size);
                   if (Output != nullptr) {
                     Output->Write(Chunk.data(), Size);
                   } else if (Report.Spool) {
                     Report.Spool->Append(Chunk.data(), Size);
                   } else {
                     Report.Data.insert(Report.Data.end(), Chunk.data(), Chunk.data() + Size);
                   }
                 });
    Report.Completed = Result.Done;
    if (Result.Ok && Output != nullptr) {
      Output->Commit();
    }
    Report.HasData = Result.Ok && Output == nullptr;
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
  Compare(Report, Item, State.Seed.has_value(), Item.Offset, Input.Size(),
          [&](uint64_t Done, uint64_t Size, uint8_t *Into) { Input.Read(Done, Into, Size); });
}

void Runner::Flash(CommandReport &Report, const Command &Item, const InputFile &Input) {
  // Whole sectors, one window-full at a time: read it, then bring each sector that differs to
  // the file's bytes with an erase and a program right after it (a sector the file only needs
  // bits cleared in is programmed without an erase), then read the window-full back. Only one
  // sector is ever between its old and its new contents; if its program fails, its old contents
  // go back, and if that fails too they are saved beside the image.
  const bool Signed = State.Seed.has_value();
  const uint64_t Start = Item.Offset / kSector * kSector;
  const uint64_t End = (Item.Offset + Input.Size() + kSector - 1) / kSector * kSector;
  Report.Arguments = {{"Offset", Item.Offset}, {"Length", Input.Size()}};
  Report.Transfer = true;
  Report.Total = Input.Size();
  std::vector<uint8_t> Current(Chunk.size());
  std::vector<uint8_t> Desired(Chunk.size());
  uint64_t Erased = 0;
  uint64_t Programmed = 0;
  uint64_t Unchanged = 0;
  uint64_t Differences = 0;
  std::string Failure;
  const auto Program = [&](uint64_t Address, const uint8_t *Bytes) {
    return Transfer(
               Report, Item, true, Signed, Address, kSector,
               [&](uint64_t, uint64_t Size) { Machine.ToWindow(0, Bytes, Size); }, nullptr)
        .Ok;
  };
  const auto EraseSector = [&](uint64_t Address) {
    VARNELMM_RECORD_WORD_ARRAY Words = {EraseFunction(State), Address, kSector};
    if (Signed) {
      Words[varnel::kWordAuthInfoShort] = Sign(Item, Words, varnel::kSignedPartShort);
    }
    Send(Report, Item, Words);
    return Report.Ok;
  };
  // A request on the sector at Address failed: if the sector no longer holds its old contents
  // Old, write them back, or save them.
  const auto Restore = [&](uint64_t Address, const uint8_t *Old) {
    CommandReport Failed = Report;
    std::vector<uint8_t> Now(kSector);
    const bool Untouched =
        Transfer(Report, Item, false, Signed, Address, kSector, nullptr,
                 [&](uint64_t, uint64_t Got) { Machine.FromWindow(0, Now.data(), Got); })
            .Ok &&
        std::memcmp(Now.data(), Old, kSector) == 0;
    if (Untouched) {
      Report = Failed;
      Report.Notes.push_back("sector " + Hex(Address) + " kept its old contents");
      return;
    }
    const bool Back = EraseSector(Address) && Program(Address, Old);
    const std::string Saved = Back ? "" : SaveSector(Address, Old);
    Report = Failed;  // the report tells the failure, not the repair
    Report.Notes.push_back(
        Back ? "the old contents of sector " + Hex(Address) + " were written back"
             : "the old contents of sector " + Hex(Address) + " could not be written back" +
                   (Saved.empty() ? "" : "; they are saved in " + Saved));
    Report.Details["restored"] = Back;
    if (!Saved.empty()) {
      Report.Details["saved"] = Saved;
    }
  };
  for (uint64_t Base = Start; Base < End && Failure.empty();) {
    StopIfAsked(Report);
    const uint64_t Size = std::min<uint64_t>(Chunk.size(), End - Base);
    if (!Transfer(Report, Item, false, Signed, Base, Size, nullptr, [&](uint64_t, uint64_t Got) {
           Machine.FromWindow(0, Current.data(), Got);
         }).Ok) {
      Failure = "reading " + Hex(Base) + " failed";
      break;
    }
    std::memcpy(Desired.data(), Current.data(), Size);
    const uint64_t From = std::max(Base, Item.Offset);
    const uint64_t To = std::min(Base + Size, Item.Offset + Input.Size());
    Input.Read(From - Item.Offset, Desired.data() + (From - Base), To - From);
    for (uint64_t Sector = 0; Sector < Size; Sector += kSector) {
      const uint8_t *Now = Current.data() + Sector;
      const uint8_t *Want = Desired.data() + Sector;
      if (std::memcmp(Now, Want, kSector) == 0) {
        ++Unchanged;
        continue;
      }
      StopIfAsked(Report);
      bool NeedsErase = false;
      bool Blank = true;
      for (uint64_t Index = 0; Index < kSector; ++Index) {
        NeedsErase = NeedsErase || (Now[Index] & Want[Index]) != Want[Index];
        Blank = Blank && Want[Index] == 0xFF;
      }
      const uint64_t Address = Base + Sector;
      if (NeedsErase && !EraseSector(Address)) {
        Failure = "erasing sector " + Hex(Address) + " failed";
        Report.Completed = std::max(Address, Item.Offset) - Item.Offset;
        Restore(Address, Now);
        break;
      }
      Erased += NeedsErase ? 1 : 0;
      if (!(NeedsErase && Blank) && !Program(Address, Want)) {
        Failure = "programming sector " + Hex(Address) + " failed";
        Report.Completed = std::max(Address, Item.Offset) - Item.Offset;
        Restore(Address, Now);
        break;
      }
      Programmed += NeedsErase && Blank ? 0 : 1;
    }
    if (!Failure.empty()) {
      break;
    }
    // Read back what this window-full now holds.
    uint64_t Different = 0;
    if (!Transfer(Report, Item, false, Signed, Base, Size, nullptr, [&](uint64_t, uint64_t Got) {
           Machine.FromWindow(0, Current.data(), Got);
         }).Ok) {
      Failure = "reading back " + Hex(Base) + " failed";
      break;
    }
    for (uint64_t Index = 0; Index < Size; ++Index) {
      Different += Current[Index] != Desired[Index] ? 1 : 0;
    }
    Differences += Different;
    Report.Completed = std::min(Base + Size, Item.Offset + Input.Size()) - Item.Offset;
    Base += Size;
  }
  const uint64_t Sectors = (End - Start) / kSector;
  Report.Details["sectors"] = Sectors;
  Report.Details["erased"] = Erased;
  Report.Details["programmed"] = Programmed;
  Report.Details["unchanged"] = Unchanged;
  Report.Details["bytes_done"] = Report.Completed;
  const std::string Did = Erased + Programmed == 0
                              ? "only read, nothing needed a change"
                              : std::to_string(Erased) + " erased, " + std::to_string(Programmed) +
                                    " programmed, " + std::to_string(Unchanged) + " already equal";
  Report.Notes.insert(Report.Notes.begin(), std::to_string(Sectors) + " sector" +
                                                (Sectors == 1 ? "" : "s") + ": " + Did +
                                                (Signed ? " (authenticated requests)" : ""));
  if (!Failure.empty()) {
    Report.Ok = false;
    Report.Details["verified"] = false;
    Report.Notes.push_back(Failure + " after " + Hex(Report.Completed) +
                           " bytes of the file were done");
    return;
  }
  Report.Details["verified"] = Differences == 0;
  Report.Details["differences"] = Differences;
  if (Differences == 0) {
    Report.Notes.push_back("verified: " + Hex(End - Start) + " bytes equal");
  } else {
    Report.Ok = false;
    Report.Notes.push_back("verify failed: " + std::to_string(Differences) + " byte" +
                           (Differences == 1 ? "" : "s") + " differ");
  }
}

std::string Runner::SaveSector(uint64_t Address, const uint8_t *Bytes) const {
  std::string Path = Settings.FlashPath + "." + Hex(Address) + ".sector";
  try {
    AtomicOutput Out(Path);
    Out.Write(Bytes, kSector);
    Out.Commit();
    return Path;
  } catch (const ToolError &) {
    return "";
  }
}

void Runner::StopIfAsked(const CommandReport &Report) const {
  if (StopSignal() != 0) {
    throw Interrupted("stopped by signal " + std::to_string(StopSignal()) + " after " +
                      std::to_string(Report.Requests) + " request" +
                      (Report.Requests == 1 ? "" : "s") + " of " + Report.Origin + " (" +
                      Hex(Report.Completed) + " bytes done)");
  }
}

void Runner::Regions(CommandReport &Report) const {
  Report.Local = true;
  Report.Ok = true;
  const char *Name = State.LockedDown ? "run-time" : "boot";
  Report.Notes.push_back(std::string(Name) + " table in force; lock-down " +
                         (State.LockedDown ? "on" : "off") + ", seed " +
                         (State.Seed ? "deployed" : "not deployed") + ", region-lock command " +
                         (State.RegionLockLocked ? "locked" : "open"));
  Json Rows = Json::array();
  for (const AccessRegion &Row : AccessRegions(State, FlashSize)) {
    const uint64_t Size = Row.Last + 1 - Row.First;
    Report.Notes.push_back(Format("%s  %8s bytes  %s", Span(kBase + Row.First, Size).c_str(),
                                  Hex(Size).c_str(), Row.Writable ? "writable" : "read-only"));
    Rows.push_back({{"first", Hex(kBase + Row.First)},
                    {"last", Hex(kBase + Row.Last)},
                    {"size", Hex(Size)},
                    {"writable", Row.Writable}});
  }
  Json Locked = Json::array();
  for (const auto &[First, Size] : State.Locks) {
    Report.Notes.push_back("locked until reset: " + Span(First, Size));
    Locked.push_back({{"first", Hex(First)}, {"size", Hex(Size)}});
  }
  Report.Details = {{"table", Name},
                    {"lockdown", State.LockedDown},
                    {"seed_deployed", State.Seed.has_value()},
                    {"region_lock_locked", State.RegionLockLocked},
                    {"regions", Rows},
                    {"locked", Locked}};
}

void Runner::Raw(CommandReport &Report, const Command &Item) {
  VARNELMM_RECORD_WORD_ARRAY Words;
  std::copy(std::begin(Item.Words), std::end(Item.Words), Words);
  for (int Index = 0; Index < VARNELMM_RECORD_WORDS; ++Index) {
    Report.Arguments.emplace_back("W" + std::to_string(Index), Words[Index]);
  }
  if (Item.BufferSize != VARNELMM_RECORD_BYTES) {
    Report.Arguments.emplace_back("Size", Item.BufferSize);
  }
  const Answer Result = Send(Report, Item, Words, Item.BufferSize);
  for (int Index = 0; Index < VARNELMM_RECORD_WORDS; ++Index) {
    Report.Results.emplace_back("W" + std::to_string(Index), Result.Words[Index]);
  }
}

namespace {

// How each command is carried out: the path that builds its requests (the function they carry
// is CommandFunction's).
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

// Indexed by CommandKind.
constexpr Route kCommandRoutes[] = {
    Route::kQuery,    // info
    Route::kQuery,    // nv-info
    Route::kQuery,    // nv2-info
    Route::kQuery,    // failsafe-info
    Route::kRead,     // read
    Route::kWrite,    // write
    Route::kRange,    // erase
    Route::kRange,    // lock
    Route::kQuery,    // lock-region-lock
    Route::kQuery,    // lockdown
    Route::kSeed,     // seed
    Route::kRead,     // secure-read
    Route::kWrite,    // secure-write
    Route::kRange,    // secure-erase
    Route::kRange,    // secure-lock
    Route::kRaw,      // raw: word 0 as given
    Route::kFlash,    // flash
    Route::kVerify,   // verify
    Route::kRegions,  // regions
};
static_assert(sizeof(kCommandRoutes) / sizeof(kCommandRoutes[0]) ==
              static_cast<size_t>(CommandKind::kRegions) + 1);

}  // namespace

CommandReport Runner::Run(const Command &Item, const InputFile *Input, AtomicOutput *Output) {
  CommandReport Report;
  Report.Command = Item.Name;
  Report.Origin = Item.Origin;
  const Route Path = kCommandRoutes[static_cast<size_t>(Item.Kind)];
  const bool Signed = IsSecureCommand(Item.Kind);
  Report.FunctionId = Path == Route::kRaw                         ? Item.Words[0]
                      : CommandFunction(Item.Kind) == kNoFunction ? 0
                                                                  : CommandFunction(Item.Kind);
  try {
    switch (Path) {
      case Route::kQuery:
        Query(Report, Item, Report.FunctionId);
        break;
      case Route::kRead:
        Read(Report, Item, Signed, Output);
        break;
      case Route::kWrite:
        Write(Report, Item, Signed, *Input);
        break;
      case Route::kRange:
        Range(Report, Item, Report.FunctionId, Signed);
        break;
      case Route::kSeed: {
        Report.Arguments = {{"Seed", Item.Value}};
        VARNELMM_RECORD_WORD_ARRAY Words = {varnel::kFunctionSeedDeploy, Item.Value};
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
