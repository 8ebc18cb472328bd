// Execution of varnel-sim commands.
#include "tools/varnel-sim/Runner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "driver/VarnelMmProtocol.h"

namespace varnelsim {
namespace {

struct FileCloser {
  void operator()(std::FILE *File) const { std::fclose(File); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A progress bar on stderr, drawn only when stderr is a terminal and the transfer takes more
// than one request.
class Progress {
 public:
  Progress(const char *Label, uint64_t Total, uint64_t Chunk)
      : Label(Label), Total(Total), Shown(Total > Chunk && ::isatty(STDERR_FILENO) == 1) {}
  ~Progress() {
    if (Shown) {
      std::fputs("\r\033[K", stderr);
    }
  }
  void Update(uint64_t Done) {
    if (!Shown) {
      return;
    }
    constexpr int kWidth = 40;
    const int Filled = static_cast<int>(Done * kWidth / Total);
    std::fprintf(stderr, "\r%-12s [%.*s%*s] %3" PRIu64 "%% %" PRIu64 "/%" PRIu64 " KiB", Label,
                 Filled, "########################################", kWidth - Filled, "",
                 Done * 100 / Total, Done >> 10, Total >> 10);
    std::fflush(stderr);
  }

 private:
  const char *Label;
  uint64_t Total;
  bool Shown;
};

// A transfer of one request shows its AuthInfo among the arguments; a chunked one has many.
void ShowSingleAuthInfo(CommandReport &Report, bool Signed, uint64_t AuthInfo) {
  if (Signed && Report.Requests == 1) {
    Report.Arguments.push_back({"AuthInfo", AuthInfo});
  }
}

bool IsStatusWord(uint64_t Word) {
  return VARNELMM_IS_STATUS_WORD_FORM(Word);
}

}  // namespace

Runner::Runner(Simulator &Machine, const Options &Settings)
    : Machine(Machine), Settings(Settings) {}

Answer Runner::Send(CommandReport &Report, uint64_t (&Words)[6], uint64_t BufferSize) {
  const Answer Result = Machine.Request(Words, BufferSize);
  ++Report.Requests;
  Report.Status = Result.Status;
  Report.Answered = Words[0] <= varnel::kHighestFunction && IsStatusWord(Result.Words[0]);
  Report.StatusWord = Report.Answered ? Result.Words[0] : 0;
  Report.Ok = Report.Answered && Report.StatusWord == varnel::kStatusSuccess &&
              Result.Status == EFI_SUCCESS;
  return Result;
}

uint64_t Runner::Sign(const Command &Item, const uint64_t (&Words)[6], uint64_t Length) const {
  if (Item.Auth) {
    return *Item.Auth;
  }
  uint8_t Key[16];
  if (Settings.KeyHex) {
    for (int Index = 0; Index < 16; ++Index) {
      Key[Index] = static_cast<uint8_t>(
          std::stoul(Settings.KeyHex->substr(static_cast<size_t>(2 * Index), 2), nullptr, 16));
    }
  } else if (DeployedSeed) {
    Simulator::SeedKey(*DeployedSeed, Key);
  } else {
    Simulator::ProvisionedKey(Key);
  }
  return Simulator::Mac(Key, Words, Length);
}

void Runner::Query(CommandReport &Report, uint64_t Function) {
  uint64_t Words[6] = {Function, 0, 0, 0, 0, 0};
  const Answer Result = Send(Report, Words);
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
    Report.Arguments.push_back({"AuthInfo", Words[varnel::kWordAuthInfoShort]});
  }
  Send(Report, Words);
}

void Runner::Read(CommandReport &Report, const Command &Item, bool Signed) {
  const uint64_t Function = Signed ? varnel::kFunctionSecureRead : varnel::kFunctionRead;
  const uint64_t Chunk = Machine.WindowSize();
  Report.Arguments = {
      {"Offset", Item.Offset}, {"Length", Item.Length}, {"Buffer", Machine.WindowBase()}};
  File Output;
  if (!Item.File.empty()) {
    Output.reset(std::fopen(Item.File.c_str(), "wb"));
    if (!Output) {
      Report.Error = "cannot create '" + Item.File + "': " + std::strerror(errno);
      return;
    }
  } else {
    Report.HasData = true;
    Report.DataAddress = Item.Offset;
  }
  Progress Bar(Item.Name.c_str(), Item.Length, Chunk);
  uint64_t LastAuthInfo = 0;
  uint64_t Done = 0;
  do {
    const uint64_t Size = std::min(Chunk, Item.Length - Done);
    uint64_t Words[6] = {Function, Item.Offset + Done, Size, Machine.WindowBase(), 0, 0};
    if (Signed) {
      Words[varnel::kWordAuthInfoLong] = Sign(Item, Words, varnel::kSignedPartLong);
      LastAuthInfo = Words[varnel::kWordAuthInfoLong];
    }
    Send(Report, Words);
    if (!Report.Ok) {
      break;
    }
    const uint8_t *Bytes = Machine.WindowBytes();
    if (Output) {
      if (std::fwrite(Bytes, 1, Size, Output.get()) != Size) {
        Report.Error = "cannot write '" + Item.File + "': " + std::strerror(errno);
        Report.Ok = false;
        break;
      }
    } else {
      Report.Data.insert(Report.Data.end(), Bytes, Bytes + Size);
    }
    Done += Size;
    Bar.Update(Done);
  } while (Done < Item.Length);
  if (Output && std::fflush(Output.get()) != 0 && Report.Error.empty()) {
    Report.Error = "cannot write '" + Item.File + "': " + std::strerror(errno);
    Report.Ok = false;
  }
  if (!Report.Ok) {
    Report.HasData = false;
  }
  ShowSingleAuthInfo(Report, Signed, LastAuthInfo);
}

void Runner::Write(CommandReport &Report, const Command &Item, bool Signed) {
  const uint64_t Function = Signed ? varnel::kFunctionSecureWrite : varnel::kFunctionWrite;
  const uint64_t Chunk = Machine.WindowSize();
  File Input(std::fopen(Item.File.c_str(), "rb"));
  uint64_t Total = 0;
  struct stat Status;
  if (Input && ::fstat(::fileno(Input.get()), &Status) == 0 && S_ISREG(Status.st_mode)) {
    Total = static_cast<uint64_t>(Status.st_size);
  }
  Report.Arguments = {{"Offset", Item.Offset}, {"Length", Total}, {"Buffer", Machine.WindowBase()}};
  if (!Input) {
    Report.Error = "cannot open '" + Item.File + "': " + std::strerror(errno);
    return;
  }
  Progress Bar(Item.Name.c_str(), Total, Chunk);
  uint64_t LastAuthInfo = 0;
  uint64_t Done = 0;
  do {
    const uint64_t Size = std::min(Chunk, Total - Done);
    if (std::fread(Machine.WindowBytes(), 1, Size, Input.get()) != Size) {
      Report.Error = "cannot read '" + Item.File + "'";
      Report.Ok = false;
      return;
    }
    uint64_t Words[6] = {Function, Item.Offset + Done, Size, Machine.WindowBase(), 0, 0};
    if (Signed) {
      Words[varnel::kWordAuthInfoLong] = Sign(Item, Words, varnel::kSignedPartLong);
      LastAuthInfo = Words[varnel::kWordAuthInfoLong];
    }
    Send(Report, Words);
    if (!Report.Ok) {
      break;
    }
    Done += Size;
    Bar.Update(Done);
  } while (Done < Total);
  ShowSingleAuthInfo(Report, Signed, LastAuthInfo);
}

void Runner::Raw(CommandReport &Report, const Command &Item) {
  uint64_t Words[6];
  std::copy(std::begin(Item.Words), std::end(Item.Words), Words);
  for (int Index = 0; Index < 6; ++Index) {
    Report.Arguments.push_back({"W" + std::to_string(Index), Words[Index]});
  }
  if (Item.BufferSize != 48) {
    Report.Arguments.push_back({"Size", Item.BufferSize});
  }
  const Answer Result = Send(Report, Words, Item.BufferSize);
  for (int Index = 0; Index < 6; ++Index) {
    Report.Results.push_back({"W" + std::to_string(Index), Result.Words[Index]});
  }
}

namespace {

// How each command is carried out: the function it sends and the path that builds its requests.
enum class Route : uint8_t { kQuery, kRead, kWrite, kRange, kSeed, kRaw };
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
};
static_assert(sizeof(kCommandRoutes) / sizeof(kCommandRoutes[0]) ==
              static_cast<size_t>(CommandKind::kRaw) + 1);

}  // namespace

CommandReport Runner::Run(const Command &Item) {
  CommandReport Report;
  Report.Command = Item.Name;
  Report.Origin = Item.Origin;
  const CommandRoute &Entry = kCommandRoutes[static_cast<size_t>(Item.Kind)];
  Report.FunctionId = Entry.Path == Route::kRaw ? Item.Words[0] : Entry.FunctionId;
  switch (Entry.Path) {
    case Route::kQuery:
      Query(Report, Report.FunctionId);
      break;
    case Route::kRead:
      Read(Report, Item, Entry.Signed);
      break;
    case Route::kWrite:
      Write(Report, Item, Entry.Signed);
      break;
    case Route::kRange:
      Range(Report, Item, Report.FunctionId, Entry.Signed);
      break;
    case Route::kSeed: {
      Report.Arguments = {{"Seed", Item.Value}};
      uint64_t Words[6] = {varnel::kFunctionSeedDeploy, Item.Value, 0, 0, 0, 0};
      Send(Report, Words);
      if (Report.Ok) {
        DeployedSeed = Item.Value;
      }
      break;
    }
    case Route::kRaw:
      Raw(Report, Item);
      break;
  }
  return Report;
}

}  // namespace varnelsim
