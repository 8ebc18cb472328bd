// SPDX-License-Identifier: BSD-3-Clause
// Command line of varnel-sim: global options, the command table, and the parser that turns the
// arguments (and script files) into a list of commands. Nothing here touches the driver.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "VarnelMm/Protocol.h"
#include "models/NorFlash.h"

namespace varnelsim {

// A command-line mistake: the message is shown with a hint and the tool exits with status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class CommandKind {
  kInfo,
  kNvInfo,
  kNv2Info,
  kFailSafeInfo,
  kRead,
  kWrite,
  kErase,
  kLock,
  kLockRegionLock,
  kLockdown,
  kSeed,
  kSecureRead,
  kSecureWrite,
  kSecureErase,
  kSecureLock,
  kRaw,
  kFlash,    // erase what needs it, write what differs, verify
  kVerify,   // compare flash with a file
  kRegions,  // the access table in force and the driver's flags (no request)
  // Taken by the parser itself, never a Command: a script's lines, a help text.
  kScript,
  kHelp,
};

// The function a command's requests carry. Flash and verify carry the plain write and read (a
// deployed seed turns them into the secure ones, see Plan.h); raw carries word 0 as given and
// regions sends nothing: kNoFunction, which lies above every function, so the protocol's lookups
// answer "takes no range, signs nothing" for it. What a command takes and may change follows.
constexpr uint64_t kNoFunction = VarnelMmFunctionCount;
constexpr uint64_t CommandFunction(CommandKind Kind) {
  switch (Kind) {
    case CommandKind::kInfo:
      return VarnelMmFunctionGetInfo;
    case CommandKind::kNvInfo:
      return VarnelMmFunctionGetNvInfo;
    case CommandKind::kNv2Info:
      return VarnelMmFunctionGetNv2Info;
    case CommandKind::kFailSafeInfo:
      return VarnelMmFunctionGetFailSafeInfo;
    case CommandKind::kRead:
    case CommandKind::kVerify:
      return VarnelMmFunctionRead;
    case CommandKind::kWrite:
    case CommandKind::kFlash:
      return VarnelMmFunctionWrite;
    case CommandKind::kErase:
      return VarnelMmFunctionErase;
    case CommandKind::kLock:
      return VarnelMmFunctionRegionLock;
    case CommandKind::kLockRegionLock:
      return VarnelMmFunctionLockRegionLock;
    case CommandKind::kLockdown:
      return VarnelMmFunctionRunTimeLockDown;
    case CommandKind::kSeed:
      return VarnelMmFunctionSeedDeploy;
    case CommandKind::kSecureRead:
      return VarnelMmFunctionSecureRead;
    case CommandKind::kSecureWrite:
      return VarnelMmFunctionSecureWrite;
    case CommandKind::kSecureErase:
      return VarnelMmFunctionSecureErase;
    case CommandKind::kSecureLock:
      return VarnelMmFunctionSecureRegionLock;
    default:
      return kNoFunction;
  }
}
// The secure-* commands: their function signs its request (they take --auth).
constexpr bool IsSecureCommand(CommandKind Kind) {
  return VarnelMmFunctionSignedBytes(CommandFunction(Kind)) != 0;
}

// One entry of the command table.
struct CommandSpec {
  CommandKind Kind;
  const char *Name;
  const char *Arguments;  // synopsis after the name
  const char *Summary;    // one line for the general help
  const char *Details;    // the rest of the command's own help
};

// Every command, script and help included, in the order of the help.
const std::vector<CommandSpec> &CommandTable();
const CommandSpec *FindCommand(const std::string &Name);

// A parsed command, ready to run.
struct Command {
  CommandKind Kind;
  std::string Name;
  std::string Origin;            // "argument 3" or "script.txt:7", for messages
  uint64_t Offset = 0;           // flash-window address (read/write/erase/lock and secure ones)
  uint64_t Length = 0;           // byte count
  std::string File;              // write/flash/verify: input ("-" stdin); read: -o output
                                 // (empty: hex dump, "-": binary on stdout)
  bool Verify = false;           // write, secure-write: read back and compare
  uint64_t Value = 0;            // seed value
  std::optional<uint64_t> Auth;  // secure-*: AuthInfo given by hand instead of computed
  VARNELMM_RECORD_WORD_ARRAY Words = {};        // raw record
  uint64_t BufferSize = VARNELMM_RECORD_BYTES;  // raw: the size handed to the handler
};

struct Options {
  std::string FlashPath = "varnel-flash.img";
  std::optional<uint64_t> FlashSize;  // absent: the file's size, or the default for a new file
  std::optional<std::string> KeyHex;  // 32 hex digits
  std::string ConsolePath;            // empty: stderr
  bool Json = false;
  bool KeepGoing = false;
  // Where the requests go: the driver built for the host on the models, or the real image under
  // QEMU (ImagePath: its VarnelMm.efi, empty for the one the qemu preset builds).
  enum class TargetKind { kHost, kQemu } Target = TargetKind::kHost;
  std::string ImagePath;
  std::optional<double> TimeoutSeconds;  // qemu: how long one answer may take
  bool Help = false;                     // --help before any command
  bool Version = false;                  // --version
  std::optional<std::string> HelpFor;    // COMMAND --help
  bool TargetGiven = false;              // --target was on the command line
  bool StdinClosed = false;              // descriptor 0 was closed when the run started (input)
  std::vector<Command> Commands;
  std::vector<std::string> Scripts;  // script files read (not standard input), in order
};

constexpr uint64_t kDefaultFlashSize = models::NorFlash::kDefaultSize;
constexpr uint64_t kFlashWindowBase = VARNELMM_FLASH_WINDOW_BASE;
// Most commands and script inclusions one invocation may hold, scripts expanded: a bound on what
// nested scripts can multiply into before anything is sent.
constexpr uint64_t kMaxCommands = 100000;

// True for the commands that may program or erase the flash (raw: by its function number).
bool MayWrite(const Command &Item);

// Parses argv[1..] into Result. Script files named by `script` ("-": standard input) are read
// and expanded in place. Throws UsageError for anything malformed, before any command runs;
// Result keeps what was parsed up to then (--json in particular).
void ParseCommandLine(const std::vector<std::string> &Arguments, Options &Result);
Options ParseCommandLine(const std::vector<std::string> &Arguments);

// Splits a script line into words: blanks separate, '#' at the start of a word begins a comment,
// '...' quotes literally, "..." quotes with \ escapes, and \ escapes one character.
std::vector<std::string> SplitScriptLine(const std::string &Line);

// Numbers: decimal, 0x-hexadecimal, optional K/M/G suffix (powers of 1024) where Scaled is set.
uint64_t ParseNumber(const std::string &Text, const std::string &What, bool Scaled = false);
// Flash locations: an absolute window address, or +N relative to the window base.
uint64_t ParseOffset(const std::string &Text);

// The help is rendered from tables: the command table, and the items of its Options,
// Environment, Files and Exit status sections below. The manual page and the bash completion are
// checked against that text (tests/package/check-docs.py), so none can change alone.
struct HelpItem {
  const char *Head;  // "--flash FILE", "VARNEL_QEMU", "2"
  const char *Text;  // lines separated by '\n'
};
const std::vector<HelpItem> &OptionTable();
const std::vector<HelpItem> &EnvironmentTable();
const std::vector<HelpItem> &FileTable();
const std::vector<HelpItem> &ExitStatusTable();

std::string GeneralHelp();
std::string CommandHelp(const CommandSpec &Spec);

}  // namespace varnelsim
