// SPDX-License-Identifier: BSD-3-Clause
// Parsing of varnel-sim's command line and script files.
#include "tools/varnel-sim/CommandLine.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "qemu/ServeProtocol.h"
#include "tools/varnel-sim/FlashImage.h"

namespace varnelsim {
namespace {

constexpr int kMaxScriptDepth = 8;
// Longest script line, and largest script, the parser takes.
constexpr size_t kMaxScriptLine = 4096;
constexpr uint64_t kMaxScriptBytes = 16ULL << 20;
constexpr uint64_t kMaxRawBufferSize = 1ULL << 20;

const char kGeneralUsage[] =
    "usage: varnel-sim [--flash FILE] [--flash-size BYTES] [--key HEX] [--console FILE]\n"
    "                  [--json] [--keep-going]\n"
    "                  [--target host|qemu [--image FILE] [--timeout SECONDS]]\n"
    "                  COMMAND [ARGS] [-- COMMAND [ARGS] ...]\n"
    "       varnel-sim --help | --version | COMMAND --help\n";

}  // namespace

const std::vector<CommandSpec> &CommandTable() {
  static const std::vector<CommandSpec> kTable = {
      {CommandKind::kInfo, "info", "", "flash information (function 0)",
       "Asks for the flash information: the two halves of the information word and the flash\n"
       "size in bytes.\n"},
      {CommandKind::kNvInfo, "nv-info", "", "NV information (function 4)",
       "Asks for the NV information and shows the two values the secure firmware returns.\n"},
      {CommandKind::kNv2Info, "nv2-info", "", "NV2 information (function 5)",
       "Asks for the NV2 information and shows the two values the secure firmware returns.\n"},
      {CommandKind::kFailSafeInfo, "failsafe-info", "", "failsafe information (function 6)",
       "Asks for the failsafe information and shows the two values the secure firmware returns.\n"},
      {CommandKind::kRead, "read", "OFFSET LENGTH [-o FILE]", "read flash (function 1)",
       "Reads LENGTH bytes at OFFSET. Without -o the bytes are shown as a hex dump (repeated\n"
       "lines squeezed to '*'; in --json output a hex string); with -o they are written to FILE,\n"
       "which is replaced only when the whole read succeeded. -o - writes them to stdout (the\n"
       "reports then go to stderr).\n"},
      {CommandKind::kWrite, "write", "OFFSET FILE [--verify]",
       "program flash from a file (function 2)",
       "Programs the whole of FILE (- for stdin) at OFFSET. NOR programming only clears bits: a\n"
       "warning says when the file needs bits the flash holds cleared; erase first, or use\n"
       "flash. --verify reads the range back and compares it with FILE.\n"},
      {CommandKind::kErase, "erase", "OFFSET LENGTH", "erase flash (function 3)",
       "Erases LENGTH bytes at OFFSET; the flash erases whole 4 KiB sectors.\n"},
      {CommandKind::kLock, "lock", "OFFSET LENGTH", "lock a flash region (function 12)",
       "Locks LENGTH bytes at OFFSET against programming and erasing until the flash is reset\n"
       "(for the rest of this invocation).\n"},
      {CommandKind::kLockRegionLock, "lock-region-lock", "",
       "lock the region-lock command (function 14)",
       "Locks the region-lock command itself: later region locks fail.\n"},
      {CommandKind::kLockdown, "lockdown", "", "run-time lock-down (function 7)",
       "Switches the driver's write permission to its smaller run-time table.\n"},
      {CommandKind::kSeed, "seed", "VALUE", "deploy a seed (function 8)",
       "Deploys VALUE (64 bits) as the seed. Afterwards the plain read, write, erase and lock\n"
       "functions are refused and the secure-* commands are signed with the key the secure\n"
       "firmware derives from its device secret and the seed (unless --key is given). The\n"
       "secure firmware accepts one seed per power cycle (one invocation).\n"},
      {CommandKind::kSecureRead, "secure-read", "OFFSET LENGTH [-o FILE] [--auth VALUE]",
       "authenticated read (function 9)",
       "Like read, as a signed request. The MAC is computed from --key or from the deployed\n"
       "seed; --auth VALUE sends VALUE as AuthInfo instead.\n"},
      {CommandKind::kSecureWrite, "secure-write", "OFFSET FILE [--verify] [--auth VALUE]",
       "authenticated write (function 10)",
       "Like write, as a signed request. The MAC is computed from --key or from the deployed\n"
       "seed; --auth VALUE sends VALUE as AuthInfo instead.\n"},
      {CommandKind::kSecureErase, "secure-erase", "OFFSET LENGTH [--auth VALUE]",
       "authenticated erase (function 11)",
       "Like erase, as a signed request. The MAC is computed from --key or from the deployed\n"
       "seed; --auth VALUE sends VALUE as AuthInfo instead.\n"},
      {CommandKind::kSecureLock, "secure-lock", "OFFSET LENGTH [--auth VALUE]",
       "authenticated region lock (function 13)",
       "Like lock, as a signed request. The MAC is computed from --key or from the deployed\n"
       "seed; --auth VALUE sends VALUE as AuthInfo instead.\n"},
      {CommandKind::kRaw, "raw", "W0 W1 W2 W3 W4 W5 [--size N]", "send an arbitrary record",
       "Sends the six record words as given (no chunking, no buffer staging) and shows the\n"
       "record as the handler left it. --size sets the buffer size handed to the handler\n"
       "(default 48).\n"},
      {CommandKind::kFlash, "flash", "OFFSET FILE", "update flash to a file's contents, verified",
       "Works sector by sector, a window-full at a time: reads the sectors FILE covers, erases a\n"
       "sector only right before it programs it, programs only the sectors that differ (keeping\n"
       "the bytes of partly covered sectors) and reads each window-full back to verify. Every\n"
       "sector must admit the erase and the program, or nothing is sent. If the secure firmware\n"
       "fails a sector, its old contents are written back (or saved beside the image). After a\n"
       "seed the authenticated functions are used, signed with the run's key.\n"},
      {CommandKind::kVerify, "verify", "OFFSET FILE", "compare flash with a file",
       "Reads the flash at OFFSET and compares it with FILE; fails on any difference and names\n"
       "the first one.\n"},
      {CommandKind::kRegions, "regions", "", "show the access table in force and driver state",
       "Shows the write-permission table the driver uses now (boot, or run-time after\n"
       "lockdown) with window addresses and sizes, the lock-down and seed state, and the\n"
       "regions locked in this invocation. Sends no request.\n"},
      {CommandKind::kScript, "script", "FILE", "run one command per line (- reads stdin)",
       "Runs the commands of FILE (- reads standard input), one per line, in order, on the\n"
       "same driver instance as the rest of the command line. Text from a '#' that starts a\n"
       "word to the end of the line is a comment; empty lines are skipped; '...' and \"...\"\n"
       "quote words with blanks. Scripts may run other scripts (8 levels, 100000 commands in\n"
       "all). The whole script is checked before any request is sent.\n"},
      {CommandKind::kHelp, "help", "[COMMAND]", "this text, or a command's own help",
       "Shows the general help, or with COMMAND that command's own help, and sends nothing.\n"},
  };
  return kTable;
}

const CommandSpec *FindCommand(const std::string &Name) {
  for (const CommandSpec &Spec : CommandTable()) {
    if (Name == Spec.Name) {
      return &Spec;
    }
  }
  return nullptr;
}

uint64_t ParseNumber(const std::string &Text, const std::string &What, bool Scaled) {
  std::string Digits = Text;
  uint64_t Scale = 1;
  if (Scaled && !Digits.empty()) {
    switch (Digits.back()) {
      case 'k':
      case 'K':
        Scale = 1ULL << 10;
        break;
      case 'm':
      case 'M':
        Scale = 1ULL << 20;
        break;
      case 'g':
      case 'G':
        Scale = 1ULL << 30;
        break;
      default:
        break;
    }
    if (Scale != 1) {
      Digits.pop_back();
    }
  }
  // The message of a malformed number, Problem being "is not a number" or the like.
  const auto Malformed = [&](const char *Problem) {
    return UsageError(What + ": '" + Text + "' " + Problem);
  };
  uint64_t Base = 10;
  size_t Start = 0;
  if (Digits.size() > 2 && Digits[0] == '0' && (Digits[1] == 'x' || Digits[1] == 'X')) {
    Base = 16;
    Start = 2;
  }
  if (Start == Digits.size()) {
    throw Malformed("is not a number");
  }
  uint64_t Value = 0;
  for (size_t Index = Start; Index < Digits.size(); ++Index) {
    const char Character = Digits[Index];
    uint64_t Digit;
    if (Character >= '0' && Character <= '9') {
      Digit = static_cast<uint64_t>(Character - '0');
    } else if (Base == 16 && Character >= 'a' && Character <= 'f') {
      Digit = static_cast<uint64_t>(Character - 'a') + 10;
    } else if (Base == 16 && Character >= 'A' && Character <= 'F') {
      Digit = static_cast<uint64_t>(Character - 'A') + 10;
    } else {
      throw Malformed("is not a number");
    }
    if (Value > (UINT64_MAX - Digit) / Base) {
      throw Malformed("does not fit in 64 bits");
    }
    Value = Value * Base + Digit;
  }
  if (Value > UINT64_MAX / Scale) {
    throw Malformed("does not fit in 64 bits");
  }
  return Value * Scale;
}

uint64_t ParseOffset(const std::string &Text) {
  if (!Text.empty() && Text[0] == '+') {
    const uint64_t Relative = ParseNumber(Text.substr(1), "offset", true);
    if (Relative > UINT64_MAX - kFlashWindowBase) {
      throw UsageError("offset: '" + Text + "' does not fit in 64 bits");
    }
    return kFlashWindowBase + Relative;
  }
  return ParseNumber(Text, "offset");
}

namespace {

struct Parser {
  explicit Parser(Options &Into) : Result(Into) {}
  Options &Result;
  int ScriptDepth = 0;
  bool StdinTaken = false;
  uint64_t Steps = 0;  // commands and script inclusions so far

  // Every command and every inclusion of a script counts toward the cap, so scripts that run
  // scripts cannot multiply into unbounded work before the first request.
  void CountStep(const std::string &Origin) {
    if (++Steps > kMaxCommands) {
      throw UsageError(Origin + ": more than " + std::to_string(kMaxCommands) +
                       " commands and script inclusions in one invocation");
    }
  }

  // Parses one command from Tokens[0..]; Origin names where it came from.
  void ParseCommand(const std::vector<std::string> &Tokens, const std::string &Origin) {
    const std::string &Name = Tokens[0];
    if (Name == "script") {
      ParseScriptCommand(Tokens, Origin);
      return;
    }
    if (Name == "help") {
      if (Tokens.size() > 2) {
        throw UsageError(Origin + ": help takes at most one command name");
      }
      if (Tokens.size() == 2) {
        RequireKnown(Tokens[1], Origin);
        Result.HelpFor = Tokens[1];
      } else {
        Result.Help = true;
      }
      return;
    }
    const CommandSpec *Spec = FindCommand(Name);
    if (Spec == nullptr) {
      RequireKnown(Name, Origin);
    }
    Command Parsed;
    Parsed.Kind = Spec->Kind;
    Parsed.Name = Name;
    Parsed.Origin = Origin;

    // "ORIGIN: NAME<Problem>TOKEN": the mistakes of a command's own options.
    const auto OptionError = [&](const char *Problem, const std::string &Token) {
      return UsageError(Origin + ": " + Name + Problem + Token);
    };
    std::vector<std::string> Positional;
    for (size_t Index = 1; Index < Tokens.size(); ++Index) {
      const std::string &Token = Tokens[Index];
      if (Token == "--help" || Token == "-h") {
        Result.HelpFor = Name;
        return;
      }
      if (Token == "--verify" &&
          (Spec->Kind == CommandKind::kWrite || Spec->Kind == CommandKind::kSecureWrite)) {
        Parsed.Verify = true;
        continue;
      }
      if (Token == "-o" || Token == "--auth" || Token == "--size") {
        if (Index + 1 == Tokens.size()) {
          throw OptionError(": ", Token + " needs a value");
        }
        const std::string &Value = Tokens[++Index];
        if (Token == "-o" &&
            (Spec->Kind == CommandKind::kRead || Spec->Kind == CommandKind::kSecureRead)) {
          Parsed.File = Value;
        } else if (Token == "--auth" && IsSecureCommand(Spec->Kind)) {
          Parsed.Auth = WithOrigin(Origin, [&] { return ParseNumber(Value, Name + " --auth"); });
        } else if (Token == "--size" && Spec->Kind == CommandKind::kRaw) {
          Parsed.BufferSize =
              WithOrigin(Origin, [&] { return ParseNumber(Value, "raw --size", true); });
          if (Parsed.BufferSize > kMaxRawBufferSize) {
            throw UsageError(Origin + ": raw --size: at most " + std::to_string(kMaxRawBufferSize) +
                             " bytes");
          }
        } else {
          throw OptionError(" has no option ", Token);
        }
        continue;
      }
      if (Token.size() > 1 && Token[0] == '-' && !(Token[1] >= '0' && Token[1] <= '9')) {
        throw OptionError(" has no option ", Token);
      }
      Positional.push_back(Token);
    }

    const size_t Expected = PositionalCount(Spec->Kind);
    if (Positional.size() != Expected) {
      std::ostringstream Message;
      Message << Origin << ": " << Name << " takes " << Expected << " argument"
              << (Expected == 1 ? "" : "s") << ", got " << Positional.size() << " (usage: " << Name
              << (Spec->Arguments[0] != '\0' ? " " : "") << Spec->Arguments << ")";
      throw UsageError(Message.str());
    }
    switch (Spec->Kind) {
      case CommandKind::kRead:
      case CommandKind::kErase:
      case CommandKind::kLock:
      case CommandKind::kSecureRead:
      case CommandKind::kSecureErase:
      case CommandKind::kSecureLock:
        Parsed.Offset = WithOrigin(Origin, [&] { return ParseOffset(Positional[0]); });
        Parsed.Length =
            WithOrigin(Origin, [&] { return ParseNumber(Positional[1], "length", true); });
        break;
      case CommandKind::kWrite:
      case CommandKind::kSecureWrite:
      case CommandKind::kFlash:
      case CommandKind::kVerify:
        Parsed.Offset = WithOrigin(Origin, [&] { return ParseOffset(Positional[0]); });
        Parsed.File = Positional[1];
        break;
      case CommandKind::kSeed:
        Parsed.Value = WithOrigin(Origin, [&] { return ParseNumber(Positional[0], "seed"); });
        break;
      case CommandKind::kRaw:
        for (size_t Word = 0; Word < VARNELMM_RECORD_WORDS; ++Word) {
          Parsed.Words[Word] = WithOrigin(
              Origin, [&] { return ParseNumber(Positional[Word], "W" + std::to_string(Word)); });
        }
        break;
      default:
        break;
    }
    CountStep(Origin);
    Result.Commands.push_back(std::move(Parsed));
  }

  void ParseScriptCommand(const std::vector<std::string> &Tokens, const std::string &Origin) {
    if (Tokens.size() == 2 && (Tokens[1] == "--help" || Tokens[1] == "-h")) {
      Result.HelpFor = "script";
      return;
    }
    if (Tokens.size() != 2) {
      throw UsageError(Origin + ": script takes 1 argument, got " +
                       std::to_string(Tokens.size() - 1) + " (usage: script FILE)");
    }
    if (ScriptDepth >= kMaxScriptDepth) {
      throw UsageError(Origin + ": scripts nested deeper than " + std::to_string(kMaxScriptDepth) +
                       " levels");
    }
    CountStep(Origin);
    const std::string &Path = Tokens[1];
    std::string Text;
    if (Path == "-") {
      if (StdinTaken) {
        throw UsageError(Origin + ": standard input is read only once in an invocation");
      }
      if (Result.StdinClosed) {
        throw UsageError(Origin + ": script: standard input is closed");
      }
      StdinTaken = true;
      char Block[4096];
      while (std::cin.read(Block, sizeof(Block)) || std::cin.gcount() > 0) {
        Text.append(Block, static_cast<size_t>(std::cin.gcount()));
        if (Text.size() > kMaxScriptBytes) {
          throw UsageError(Origin + ": script on standard input is larger than 16 MiB");
        }
      }
      if (std::cin.bad()) {
        throw UsageError(Origin + ": script: cannot read standard input");
      }
    } else {
      struct stat Status;
      if (::stat(Path.c_str(), &Status) != 0) {
        throw UsageError(Origin + ": cannot open script '" + Path + "': " + std::strerror(errno));
      }
      if (!S_ISREG(Status.st_mode)) {
        throw UsageError(Origin + ": script '" + Path +
                         "' is not a regular file (use - for standard input)");
      }
      if (static_cast<uint64_t>(Status.st_size) > kMaxScriptBytes) {
        throw UsageError(Origin + ": script '" + Path + "' is larger than 16 MiB");
      }
      Result.Scripts.push_back(Path);
      std::ifstream Input(Path, std::ios::binary);
      if (!Input) {
        throw UsageError(Origin + ": cannot open script '" + Path + "': " + std::strerror(errno));
      }
      Text.assign(std::istreambuf_iterator<char>(Input), std::istreambuf_iterator<char>());
    }
    const std::string Name = Path == "-" ? "<stdin>" : Path;
    ++ScriptDepth;
    std::istringstream Lines(Text);
    std::string Line;
    int LineNumber = 0;
    while (std::getline(Lines, Line)) {
      ++LineNumber;
      const std::string Where = Name + ":" + std::to_string(LineNumber);
      if (Line.size() > kMaxScriptLine) {
        throw UsageError(Where + ": line longer than " + std::to_string(kMaxScriptLine) + " bytes");
      }
      std::vector<std::string> LineTokens;
      try {
        LineTokens = SplitScriptLine(Line);
      } catch (const UsageError &Error) {
        throw UsageError(Where + ": " + Error.what());
      }
      if (!LineTokens.empty()) {
        ParseCommand(LineTokens, Where);
      }
    }
    --ScriptDepth;
  }

  // OFFSET LENGTH for the commands whose function takes a flash range, the seed value, or the
  // raw record's words.
  static size_t PositionalCount(CommandKind Kind) {
    if (Kind == CommandKind::kRaw) {
      return VARNELMM_RECORD_WORDS;
    }
    if (Kind == CommandKind::kSeed) {
      return 1;
    }
    return VarnelMmFunctionRangeAccess(CommandFunction(Kind)) != VarnelMmRangeNone ? 2 : 0;
  }

  static void RequireKnown(const std::string &Name, const std::string &Origin) {
    if (Name != "script" && FindCommand(Name) == nullptr) {
      throw UsageError(Origin + ": unknown command '" + Name + "'");
    }
  }

  template <typename Function>
  static uint64_t WithOrigin(const std::string &Origin, Function Parse) {
    try {
      return Parse();
    } catch (const UsageError &Error) {
      throw UsageError(Origin + ": " + Error.what());
    }
  }
};

// Splits "--name=value" into name and value.
bool SplitInline(const std::string &Argument, std::string &Name, std::string &Value) {
  const size_t Equals = Argument.find('=');
  if (Argument.rfind("--", 0) != 0 || Equals == std::string::npos) {
    return false;
  }
  Name = Argument.substr(0, Equals);
  Value = Argument.substr(Equals + 1);
  return true;
}

std::string ParseKeyHex(const std::string &Text) {
  std::string Hex = Text;
  if (Hex.rfind("0x", 0) == 0 || Hex.rfind("0X", 0) == 0) {
    Hex = Hex.substr(2);
  }
  if (Hex.size() != 32) {
    throw UsageError("--key: expected 32 hex digits (16 bytes), got '" + Text + "'");
  }
  for (char Character : Hex) {
    if (!std::isxdigit(static_cast<unsigned char>(Character))) {
      throw UsageError("--key: '" + Text + "' is not hexadecimal");
    }
  }
  return Hex;
}

}  // namespace

Options ParseCommandLine(const std::vector<std::string> &Arguments) {
  Options Result;
  ParseCommandLine(Arguments, Result);
  return Result;
}

void ParseCommandLine(const std::vector<std::string> &Arguments, Options &Result) {
  Parser State(Result);
  size_t Index = 0;
  // --json anywhere before the first command decides the form of a usage error found earlier.
  for (const std::string &Argument : Arguments) {
    if (Argument == "--json") {
      Result.Json = true;
    }
    if (FindCommand(Argument) != nullptr || Argument == "script" || Argument == "help") {
      break;
    }
  }
  // Global options, up to the first command.
  while (Index < Arguments.size()) {
    std::string Argument = Arguments[Index];
    std::string Value;
    bool HasValue = false;
    std::string Name;
    if (SplitInline(Argument, Name, Value)) {
      Argument = Name;
      HasValue = true;
    }
    auto TakeValue = [&]() -> std::string {
      if (HasValue) {
        return Value;
      }
      if (Index + 1 >= Arguments.size()) {
        throw UsageError(Argument + " needs a value");
      }
      return Arguments[++Index];
    };
    if (Argument == "--help" || Argument == "-h") {
      Result.Help = true;
      return;
    } else if (Argument == "--version" && !HasValue) {
      Result.Version = true;
      return;
    } else if (Argument == "--flash") {
      Result.FlashPath = TakeValue();
      if (Result.FlashPath.empty()) {
        throw UsageError("--flash needs a file name");
      }
    } else if (Argument == "--flash-size") {
      Result.FlashSize = ParseNumber(TakeValue(), "--flash-size", true);
    } else if (Argument == "--key") {
      Result.KeyHex = ParseKeyHex(TakeValue());
    } else if (Argument == "--console") {
      Result.ConsolePath = TakeValue();
    } else if (Argument == "--json" && !HasValue) {
      Result.Json = true;
    } else if (Argument == "--keep-going" && !HasValue) {
      Result.KeepGoing = true;
    } else if (Argument == "--target") {
      const std::string Name = TakeValue();
      if (Name != "host" && Name != "qemu") {
        throw UsageError("--target: expected host or qemu, got '" + Name + "'");
      }
      Result.Target = Name == "qemu" ? Options::TargetKind::kQemu : Options::TargetKind::kHost;
      Result.TargetGiven = true;
    } else if (Argument == "--image") {
      Result.ImagePath = TakeValue();
      if (Result.ImagePath.empty()) {
        throw UsageError("--image needs a file name");
      }
    } else if (Argument == "--timeout") {
      const uint64_t Seconds = ParseNumber(TakeValue(), "--timeout");
      if (Seconds == 0 || Seconds > 3600) {
        throw UsageError("--timeout: between 1 and 3600 seconds");
      }
      Result.TimeoutSeconds = static_cast<double>(Seconds);
    } else if (Argument.size() > 1 && Argument[0] == '-') {
      throw UsageError("unknown option '" + Arguments[Index] + "'");
    } else {
      break;
    }
    ++Index;
  }
  if (Index == Arguments.size()) {
    throw UsageError("no command given");
  }
  // Commands, separated by "--".
  while (Index < Arguments.size()) {
    std::vector<std::string> Tokens;
    const size_t First = Index;
    while (Index < Arguments.size() && Arguments[Index] != "--") {
      Tokens.push_back(Arguments[Index++]);
    }
    if (Tokens.empty()) {
      throw UsageError("empty command at argument " + std::to_string(First + 1));
    }
    State.ParseCommand(Tokens, "argument " + std::to_string(First + 1));
    if (Result.Help || Result.HelpFor) {
      return;
    }
    if (Index < Arguments.size()) {
      ++Index;  // the separator
      if (Index == Arguments.size()) {
        throw UsageError("'--' at the end of the line is not followed by a command");
      }
    }
  }
  if (Result.FlashSize) {
    const uint64_t Size = *Result.FlashSize;
    if (!IsImageSize(Size)) {
      throw UsageError("--flash-size: " + std::to_string(Size) + " is not a whole number of " +
                       SectorText() + " sectors between " + SectorText() + " and " +
                       LargestImageText());
    }
  }
  if (Result.Target != Options::TargetKind::kQemu &&
      (!Result.ImagePath.empty() || Result.TimeoutSeconds)) {
    throw UsageError(std::string(Result.ImagePath.empty() ? "--timeout" : "--image") +
                     " applies to --target qemu only");
  }
  if (Result.Target == Options::TargetKind::kQemu && Result.FlashSize &&
      *Result.FlashSize > serve::kMaxFlashBytes) {
    throw UsageError("--flash-size: the qemu target holds at most " +
                     std::to_string(serve::kMaxFlashBytes >> 30) + " GiB");
  }
  // Standard input is read once: by one script or one input file.
  int StdinUsers = State.StdinTaken ? 1 : 0;
  for (const Command &Item : Result.Commands) {
    const bool Input = Item.Kind == CommandKind::kWrite || Item.Kind == CommandKind::kSecureWrite ||
                       Item.Kind == CommandKind::kFlash || Item.Kind == CommandKind::kVerify;
    if (Input && Item.File == "-" && ++StdinUsers > 1) {
      throw UsageError(Item.Origin + ": standard input is read only once in an invocation");
    }
  }
}

bool MayWrite(const Command &Item) {
  const VarnelMmRangeAccess Access = VarnelMmFunctionRangeAccess(
      Item.Kind == CommandKind::kRaw ? Item.Words[0] : CommandFunction(Item.Kind));
  return Access == VarnelMmRangeWrite || Access == VarnelMmRangeErase;
}

std::vector<std::string> SplitScriptLine(const std::string &Line) {
  std::vector<std::string> Words;
  size_t At = 0;
  const size_t End = Line.size();
  while (true) {
    while (At < End && std::isspace(static_cast<unsigned char>(Line[At]))) {
      ++At;
    }
    if (At == End || Line[At] == '#') {
      return Words;
    }
    std::string Word;
    while (At < End && !std::isspace(static_cast<unsigned char>(Line[At]))) {
      const char Character = Line[At++];
      if (Character == '\\') {
        if (At == End) {
          throw UsageError("'\\' at the end of the line");
        }
        Word += Line[At++];
      } else if (Character == '\'' || Character == '"') {
        bool Closed = false;
        while (At < End) {
          char Inner = Line[At++];
          if (Inner == Character) {
            Closed = true;
            break;
          }
          if (Character == '"' && Inner == '\\' && At < End) {
            Inner = Line[At++];
          }
          Word += Inner;
        }
        if (!Closed) {
          throw UsageError(std::string("unterminated ") + Character + " quote");
        }
      } else {
        Word += Character;
      }
    }
    Words.push_back(std::move(Word));
  }
}

const std::vector<HelpItem> &OptionTable() {
  static const std::vector<HelpItem> kTable = {
      {"--flash FILE",
       "flash image (default varnel-flash.img); created filled with 0xFF\n"
       "by a run that may write, kept between runs"},
      {"--flash-size BYTES", "size of a new image (default 64M); must match an existing one"},
      {"--key HEX", "signing key of the secure-* commands (32 hex digits)"},
      {"--console FILE",
       "write the driver's console output to FILE (- for stdout)\n"
       "instead of stderr; lines end in LF"},
      {"--json", "one JSON object per command on stdout, one per line"},
      {"--keep-going",
       "send every command, also one the plan foresees refused, and go\n"
       "on after a failed request; report the count at the end"},
      {"--target host|qemu",
       "where requests go (default: $VARNEL_SIM_TARGET, else host).\n"
       "host: the driver built for this machine, on the models;\n"
       "qemu: the real VarnelMm.efi at EL0 under qemu-system-aarch64,\n"
       "the same models at EL1 (one boot per invocation)"},
      {"--image FILE", "qemu: the image to run (default QEMUBIN/VarnelMm.efi)"},
      {"--timeout SECONDS", "qemu: longest wait for one answer (default 30)"},
      {"-h, --help", "this text; COMMAND --help shows a command's own help"},
      {"--version", "the version of varnel-sim"},
  };
  return kTable;
}

const std::vector<HelpItem> &EnvironmentTable() {
  static const std::vector<HelpItem> kTable = {
      {"VARNEL_SIM_TARGET", "host or qemu: the default of --target"},
      {"VARNEL_QEMU",
       "the qemu-system-aarch64 the qemu target runs (default: the one\n"
       "found when varnel-sim was configured)"},
      {"TMPDIR", "where a long hex dump is spooled before it is shown (default /tmp)"},
  };
  return kTable;
}

const std::vector<HelpItem> &FileTable() {
  static const std::vector<HelpItem> kTable = {
      {"varnel-flash.img", "the flash image when --flash is not given"},
      {"FLASH.0xADDRESS.sector",
       "the old contents of a sector flash could not write back after\n"
       "the secure firmware failed it, beside the image FLASH"},
      {"QEMUBIN/VarnelMm.efi",
       "the image the qemu target runs by default; QEMUBIN is the bin\n"
       "directory of the qemu preset's build varnel-sim was built with"},
      {"QEMUBIN/supervisor.elf", "the EL1 supervisor that runs the image under QEMU"},
  };
  return kTable;
}

const std::vector<HelpItem> &ExitStatusTable() {
  static const std::vector<HelpItem> kTable = {
      {"0", "every request succeeded"},
      {"1",
       "the plan or the driver refused a request, a request failed, or a\n"
       "verification found a difference"},
      {"2", "command-line error (nothing was sent)"},
      {"3",
       "the tool itself could not do its job (flash image, lock, reading or\n"
       "writing files, stdout; qemu: a fault or hang of the image, QEMU)"},
      {"128+N", "stopped by signal N (SIGINT, SIGTERM, SIGHUP) between two requests"},
  };
  return kTable;
}

namespace {

// "  HEAD" padded to Column, then the text, its further lines indented to Column; a head too long
// for its column gets a line of its own.
void RenderItem(std::ostringstream &Text, const std::string &Head, const std::string &Body,
                size_t Column) {
  Text << "  " << Head;
  if (Head.size() + 4 <= Column) {
    Text << std::string(Column - 2 - Head.size(), ' ');
  } else {
    Text << "\n" << std::string(Column, ' ');
  }
  for (const char Character : Body) {
    Text << Character;
    if (Character == '\n') {
      Text << std::string(Column, ' ');
    }
  }
  Text << "\n";
}

void RenderItems(std::ostringstream &Text, const char *Title, const std::vector<HelpItem> &Items) {
  Text << "\n" << Title << "\n";
  for (const HelpItem &Item : Items) {
    RenderItem(Text, Item.Head, Item.Text, 22);
  }
}

}  // namespace

std::string GeneralHelp() {
  std::ostringstream Text;
  Text << kGeneralUsage
       << "\n"
          "Loads the VarnelMm driver through its entry point on the MM-core and secure-firmware\n"
          "models and sends it requests through GUID dispatch, as the normal world would.\n";
  RenderItems(Text, "Options:", OptionTable());
  Text << "\nCommands:\n";
  for (const CommandSpec &Spec : CommandTable()) {
    const std::string Head =
        std::string(Spec.Name) + (Spec.Arguments[0] != '\0' ? " " : "") + Spec.Arguments;
    RenderItem(Text, Head, Spec.Summary, 40);
  }
  Text
      << "\n"
         "OFFSET is a flash-window address (the window starts at 0x91A00000) or +N relative to\n"
         "the window base. Numbers are decimal or 0x-hexadecimal; LENGTH, +N and BYTES accept a\n"
         "K, M or G suffix (1024-based). The driver's state (lock-down, deployed seed, region\n"
         "locks) lasts for one invocation; the flash contents persist in the image file.\n"
         "\n"
         "Scripts: one command per line; '#' starts a comment; quote words with '...' or \"...\".\n"
         "Input files may be - (standard input, once per invocation). Everything (arguments,\n"
         "scripts, input files, output directories) is checked before the first request.\n"
         "\n"
         "Before the first request the whole run becomes a plan: each request, judged in the\n"
         "driver state the run reaches by then (access table, lock-down, seed, region locks).\n"
         "If the driver would refuse any step, nothing is sent (unless --keep-going).\n"
         "A read-only run (info, read, verify, regions, ...) never creates the flash image.\n";
  RenderItems(Text, "Environment:", EnvironmentTable());
  RenderItems(Text, "Files:", FileTable());
  RenderItems(Text, "Exit status:", ExitStatusTable());
  return Text.str();
}

std::string CommandHelp(const CommandSpec &Spec) {
  std::ostringstream Text;
  Text << "usage: varnel-sim [OPTIONS] " << Spec.Name << (Spec.Arguments[0] != '\0' ? " " : "")
       << Spec.Arguments << "\n\n"
       << Spec.Details;
  return Text.str();
}

}  // namespace varnelsim
