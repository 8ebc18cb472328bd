// SPDX-License-Identifier: BSD-3-Clause
// varnel-sim: the normal world's view of VarnelMm on the host.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tools/varnel-sim/CommandLine.h"
#include "tools/varnel-sim/Files.h"
#include "tools/varnel-sim/FlashImage.h"
#include "tools/varnel-sim/QemuTarget.h"
#include "tools/varnel-sim/Report.h"
#include "tools/varnel-sim/Runner.h"
#include "tools/varnel-sim/Simulator.h"

namespace {

using varnelsim::Print;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTool = 3;

// A mistake on the command line (2) or a failure of the tool itself (3): a message on stderr, and
// in --json mode a JSON object on stdout as well.
int Failure(bool Json, int Status, const std::string &Message) {
  const std::string Safe = varnelsim::Escape(Message);
  if (Json) {
    Print(stdout, varnelsim::JsonLine({{"ok", false},
                                       {"error", Status == kExitUsage ? "usage" : "tool"},
                                       {"message", Safe},
                                       {"exit_status", Status}}));
    varnelsim::FlushChecked(stdout);
  }
  Print(stderr, "varnel-sim: error: " + Safe + "\n");
  if (Status == kExitUsage) {
    Print(stderr, "Try 'varnel-sim --help' for more information.\n");
  }
  return Status;
}

int ShowHelp(const varnelsim::Options &Settings) {
  if (!Settings.HelpFor) {
    Print(stdout, varnelsim::GeneralHelp());
  } else if (*Settings.HelpFor == "script") {
    Print(stdout,
          "usage: varnel-sim [OPTIONS] script FILE\n\n"
          "Runs the commands of FILE (- reads standard input), one per line, in order, on the\n"
          "same driver instance as the rest of the command line. Text from a '#' that starts a\n"
          "word to the end of the line is a comment; empty lines are skipped; '...' and \"...\"\n"
          "quote words with blanks. Scripts may run other scripts (8 levels, 100000 commands in\n"
          "all). The whole script is checked before any request is sent.\n");
  } else {
    Print(stdout, varnelsim::CommandHelp(*varnelsim::FindCommand(*Settings.HelpFor)));
  }
  varnelsim::FlushChecked(stdout);
  return varnelsim::OutputFailed() ? kExitTool : 0;
}

// The driver's console as the host shows text: CR LF line ends become LF.
class ConsoleText {
 public:
  explicit ConsoleText(std::FILE *Sink) : Sink(Sink) {}
  void Put(const std::string &Bytes) {
    std::string Text;
    for (const char Character : Bytes) {
      if (PendingReturn && Character != '\n') {
        Text += '\r';
      }
      PendingReturn = Character == '\r';
      if (!PendingReturn) {
        Text += Character;
      }
    }
    Print(Sink, Text);
    varnelsim::FlushChecked(Sink);
  }
  ~ConsoleText() {
    if (PendingReturn) {
      Print(Sink, "\r");
    }
  }
  ConsoleText(const ConsoleText &) = delete;
  ConsoleText &operator=(const ConsoleText &) = delete;

 private:
  std::FILE *Sink;
  bool PendingReturn = false;
};

// The real image under QEMU: the image asked for (or the qemu preset's), the supervisor of the
// qemu preset, QEMU from VARNEL_QEMU or the one found at configuration.
qemuhost::QemuSettings QemuSettingsFor(const varnelsim::Options &Settings) {
  qemuhost::QemuSettings Result;
  const char *Qemu = std::getenv("VARNEL_QEMU");
  Result.Qemu = Qemu != nullptr && *Qemu != '\0' ? Qemu : VARNELMM_QEMU_SYSTEM;
  Result.Supervisor = VARNELMM_QEMU_BIN_DIR "/supervisor.elf";
  Result.Image =
      Settings.ImagePath.empty() ? VARNELMM_QEMU_BIN_DIR "/VarnelMm.efi" : Settings.ImagePath;
  if (Settings.TimeoutSeconds) {
    Result.TimeoutSeconds = *Settings.TimeoutSeconds;
  }
  return Result;
}

bool TakesInput(varnelsim::CommandKind Kind) {
  using varnelsim::CommandKind;
  return Kind == CommandKind::kWrite || Kind == CommandKind::kSecureWrite ||
         Kind == CommandKind::kFlash || Kind == CommandKind::kVerify;
}

int Run(const varnelsim::Options &Settings) {
  using namespace varnelsim;
  // Everything is checked before the image is opened and anything is sent.
  const std::optional<FileIdentity> ImageId = IdentityOf(Settings.FlashPath);
  std::vector<std::unique_ptr<InputFile>> Inputs(Settings.Commands.size());
  // An input that an earlier command of the chain writes (-o) is checked when its turn comes.
  std::vector<std::string> Outputs;
  std::vector<bool> Deferred(Settings.Commands.size(), false);
  bool DataToStdout = false;
  bool Writable = false;
  try {
    for (size_t Index = 0; Index < Settings.Commands.size(); ++Index) {
      const Command &Item = Settings.Commands[Index];
      Writable = Writable || MayWrite(Item);
      const std::string What = Item.Origin + ": " + Item.Name;
      if (TakesInput(Item.Kind) &&
          std::find(Outputs.begin(), Outputs.end(), Item.File) != Outputs.end()) {
        Deferred[Index] = true;
      } else if (TakesInput(Item.Kind)) {
        Inputs[Index] = std::make_unique<InputFile>(Item.File, ImageId, What);
        const bool Empty = Inputs[Index]->Size() == 0;
        if (Empty && (Item.Kind == CommandKind::kFlash || Item.Kind == CommandKind::kVerify)) {
          throw UsageError(What + ": '" + Item.File + "' is empty");
        }
      } else if (!Item.File.empty()) {
        CheckOutputPath(Item.File, ImageId, What + " -o");
        DataToStdout = DataToStdout || Item.File == "-";
        Outputs.push_back(Item.File);
      }
    }
    if (!Settings.ConsolePath.empty()) {
      CheckOutputPath(Settings.ConsolePath, ImageId, "--console");
    }
  } catch (const UsageError &Error) {
    return Failure(Settings.Json, kExitUsage, Error.what());
  }

  std::unique_ptr<FlashImage> Image;
  try {
    Image = std::make_unique<FlashImage>(Settings.FlashPath, Settings.FlashSize, kDefaultFlashSize,
                                         Writable);
  } catch (const FlashImageError &Error) {
    return Failure(Settings.Json, Error.UsageMistake ? kExitUsage : kExitTool, Error.what());
  }
  // A path checked before the image existed cannot be the image; one that existed was compared.

  struct FileCloser {
    void operator()(std::FILE *File) const { std::fclose(File); }
  };
  std::unique_ptr<std::FILE, FileCloser> ConsoleFile;
  if (!Settings.ConsolePath.empty() && Settings.ConsolePath != "-") {
    ConsoleFile.reset(std::fopen(Settings.ConsolePath.c_str(), "wb"));
    if (!ConsoleFile) {
      return Failure(Settings.Json, kExitTool,
                     "--console: cannot create '" + Settings.ConsolePath + "'");
    }
  }
  ConsoleText Console(ConsoleFile                   ? ConsoleFile.get()
                      : Settings.ConsolePath == "-" ? stdout
                                                    : stderr);
  // Binary data on stdout keeps stdout for itself: the reports go to stderr then.
  std::FILE *Reports = DataToStdout ? stderr : stdout;

  // The target; a failure of the QEMU target (qemuhost::QemuError) ends the run in main.
  std::unique_ptr<Target> Owned;
  if (Settings.Target == Options::TargetKind::kQemu) {
    Owned =
        std::make_unique<QemuTarget>(QemuSettingsFor(Settings), Image->Data(), Image->Size(),
                                     [&Console](const std::string &Text) { Console.Put(Text); });
  } else {
    Owned = std::make_unique<Simulator>(Image->Data(), Image->Size());
  }
  Target &Machine = *Owned;
  const EFI_STATUS Started = Machine.Start();
  Console.Put(Machine.TakeConsole());
  if (Started != EFI_SUCCESS) {
    return Failure(Settings.Json, kExitTool,
                   "the driver's entry point answered " + EfiStatusName(Started));
  }

  Runner Commands(Machine, Settings, Image->Size(),
                  [&Console](const std::string &Text) { Console.Put(Text); });
  uint64_t Failed = 0;
  uint64_t Ran = 0;
  for (size_t Index = 0; Index < Settings.Commands.size(); ++Index) {
    const Command &Item = Settings.Commands[Index];
    if (Deferred[Index]) {
      try {
        Inputs[Index] = std::make_unique<InputFile>(Item.File, Image->Identity(),
                                                    Item.Origin + ": " + Item.Name);
      } catch (const UsageError &Error) {
        return Failure(Settings.Json, kExitTool, Error.what());
      }
    }
    const CommandReport Report = Commands.Run(Item, Inputs[Index].get());
    ++Ran;
    Print(Reports, Settings.Json ? JsonReport(Report) : TextReport(Report));
    FlushChecked(Reports);
    if (OutputFailed()) {
      return Failure(false, kExitTool, "cannot write the report of " + Item.Origin);
    }
    if (Report.ToolFailure) {
      Print(stderr, "varnel-sim: stopped: " + Escape(Report.Error) + "\n");
      return kExitTool;
    }
    if (!Report.Ok) {
      ++Failed;
      if (!Settings.KeepGoing) {
        break;
      }
    }
  }
  Machine.Finish();
  const uint64_t Total = Settings.Commands.size();
  char Line[200];
  if (Failed != 0 && Ran < Total) {
    std::snprintf(Line, sizeof(Line),
                  "varnel-sim: stopped at the failed command (%s); %" PRIu64 " of %" PRIu64
                  " commands not run\n",
                  Escape(Settings.Commands[Ran - 1].Origin).c_str(), Total - Ran, Total);
    Print(stderr, Line);
  } else if (Failed != 0) {
    std::snprintf(Line, sizeof(Line), "varnel-sim: %" PRIu64 " of %" PRIu64 " commands failed\n",
                  Failed, Total);
    Print(stderr, Line);
  }
  FlushChecked(stderr);
  if (OutputFailed()) {
    return kExitTool;
  }
  return Failed == 0 ? 0 : kExitFailed;
}

}  // namespace

int main(int Count, char **Values) {
  std::vector<std::string> Arguments(Values + 1, Values + Count);
  varnelsim::Options Settings;
  try {
    // The target a shell session works with by default; --target overrides it.
    const char *Target = std::getenv("VARNEL_SIM_TARGET");
    if (Target != nullptr && *Target != '\0') {
      if (std::string(Target) != "host" && std::string(Target) != "qemu") {
        throw varnelsim::UsageError("VARNEL_SIM_TARGET: expected host or qemu, got '" +
                                    std::string(Target) + "'");
      }
      Settings.Target = std::string(Target) == "qemu" ? varnelsim::Options::TargetKind::kQemu
                                                      : varnelsim::Options::TargetKind::kHost;
    }
    varnelsim::ParseCommandLine(Arguments, Settings);
  } catch (const varnelsim::UsageError &Error) {
    return Failure(Settings.Json, kExitUsage, Error.what());
  }
  if (Settings.Version) {
    Print(stdout, "varnel-sim " VARNEL_SIM_VERSION "\n");
    varnelsim::FlushChecked(stdout);
    return varnelsim::OutputFailed() ? kExitTool : 0;
  }
  if (Settings.Help || Settings.HelpFor) {
    return ShowHelp(Settings);
  }
  try {
    return Run(Settings);
  } catch (const qemuhost::QemuError &Error) {
    // The image faulted or hung, or QEMU failed: the flash file keeps what it held.
    return Failure(Settings.Json, kExitTool, Error.what());
  }
}
