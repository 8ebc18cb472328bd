// SPDX-License-Identifier: BSD-3-Clause
// varnel-sim: the normal world's view of VarnelMm on the host.
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
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
  } else {
    Print(stdout, varnelsim::CommandHelp(*varnelsim::FindCommand(*Settings.HelpFor)));
  }
  varnelsim::FlushChecked(stdout);
  return varnelsim::OutputFailed() ? kExitTool : 0;
}

// The driver's console as the host shows text: CR LF line ends become LF. Written to a stream
// (stderr, stdout) or to an output file.
class ConsoleText {
 public:
  ConsoleText(std::FILE *Stream, varnelsim::AtomicOutput *File) : Stream(Stream), File(File) {}
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
    Emit(Text);
  }
  // The last byte (a CR held back to see whether LF follows).
  void Close() {
    if (PendingReturn) {
      PendingReturn = false;
      Emit("\r");
    }
  }
  ConsoleText(const ConsoleText &) = delete;
  ConsoleText &operator=(const ConsoleText &) = delete;

 private:
  void Emit(const std::string &Text) {
    if (File != nullptr) {
      File->Write(reinterpret_cast<const uint8_t *>(Text.data()), Text.size());
      return;
    }
    Print(Stream, Text);
    varnelsim::FlushChecked(Stream);
  }
  std::FILE *Stream;
  varnelsim::AtomicOutput *File;
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

// What a path of the run is known by: device and inode when it exists, else its directory's real
// name and its own (a file this run creates, the image say, is the same file as any other path
// that names it).
std::string IdentityKey(const std::string &Path) {
  struct stat Status;
  if (::stat(Path.c_str(), &Status) == 0) {
    return "inode " + std::to_string(Status.st_dev) + ":" + std::to_string(Status.st_ino);
  }
  const size_t Slash = Path.rfind('/');
  const std::string Directory =
      Slash == std::string::npos ? "." : (Slash == 0 ? "/" : Path.substr(0, Slash));
  const std::string Leaf = Slash == std::string::npos ? Path : Path.substr(Slash + 1);
  char *Real = ::realpath(Directory.c_str(), nullptr);
  const std::string Name = (Real != nullptr ? std::string(Real) : Directory) + "/" + Leaf;
  std::free(Real);  // NOLINT(cppcoreguidelines-no-malloc): realpath's own allocation
  return "name " + Name;
}

// Every path of a run with what the run does to it. No path is written that another role also
// names: the image, an input, a script, the console, another output.
struct PathUse {
  std::string Path;
  std::string What;  // for the message: "--console", "argument 3: read -o", ...
  bool Written;
  bool Shared;  // a device or pipe written in place (several writers may share /dev/null)
};

void CheckIdentities(const std::vector<PathUse> &Uses) {
  std::vector<std::string> Keys;
  Keys.reserve(Uses.size());
  for (const PathUse &Use : Uses) {
    Keys.push_back(IdentityKey(Use.Path));
  }
  for (size_t Index = 0; Index < Uses.size(); ++Index) {
    for (size_t Other = 0; Other < Index; ++Other) {
      const bool Written = Uses[Index].Written || Uses[Other].Written;
      const bool Shared = Uses[Index].Shared && Uses[Other].Shared;
      if (Keys[Index] == Keys[Other] && Written && !Shared) {
        throw varnelsim::UsageError(Uses[Index].What + ": '" + Uses[Index].Path +
                                    "' is the same file as " + Uses[Other].What + " ('" +
                                    Uses[Other].Path + "'); a file the run writes cannot also be " +
                                    "read or written elsewhere in it");
      }
    }
  }
}

bool IsSharedDevice(const std::string &Path) {
  struct stat Status;
  return ::stat(Path.c_str(), &Status) == 0 && !S_ISREG(Status.st_mode) && !S_ISDIR(Status.st_mode);
}

int Run(const varnelsim::Options &Settings) {
  using namespace varnelsim;
  // 1. The paths of the run: none written that is also read or is the image.
  bool Writable = false;
  bool DataToStdout = false;
  try {
    std::vector<PathUse> Uses;
    Uses.push_back({Settings.FlashPath, "--flash", true, false});
    for (const std::string &Script : Settings.Scripts) {
      Uses.push_back({Script, "script", false, false});
    }
    if (!Settings.ConsolePath.empty() && Settings.ConsolePath != "-") {
      CheckOutputPath(Settings.ConsolePath, "--console");
      Uses.push_back(
          {Settings.ConsolePath, "--console", true, IsSharedDevice(Settings.ConsolePath)});
    }
    for (const Command &Item : Settings.Commands) {
      Writable = Writable || MayWrite(Item);
      const std::string What = Item.Origin + ": " + Item.Name;
      if (TakesInput(Item.Kind) && Item.File != "-") {
        Uses.push_back({Item.File, What, false, false});
      } else if (!TakesInput(Item.Kind) && !Item.File.empty()) {
        DataToStdout = DataToStdout || Item.File == "-";
        if (Item.File != "-") {
          CheckOutputPath(Item.File, What + " -o");
          Uses.push_back({Item.File, What + " -o", true, IsSharedDevice(Item.File)});
        }
      }
    }
    CheckIdentities(Uses);
  } catch (const UsageError &Error) {
    return Failure(Settings.Json, kExitUsage, Error.what());
  }

  // 2. The image: a read-only run never creates one.
  std::unique_ptr<FlashImage> Image;
  try {
    const bool Exists = IdentityOf(Settings.FlashPath).has_value();
    if (!Exists && !Writable) {
      Image = std::make_unique<FlashImage>(Settings.FlashSize.value_or(kDefaultFlashSize));
      Print(stderr, "varnel-sim: no flash image '" + Escape(Settings.FlashPath) +
                        "': this run only reads, so it works on an erased flash in memory and "
                        "creates no file\n");
    } else {
      Image = std::make_unique<FlashImage>(Settings.FlashPath, Settings.FlashSize,
                                           kDefaultFlashSize, Writable);
    }
    if (!Exists && Writable) {
      Print(stderr, "varnel-sim: created flash image '" + Escape(Settings.FlashPath) + "' (" +
                        std::to_string(Image->Size()) + " bytes, erased)\n");
    }
  } catch (const FlashImageError &Error) {
    return Failure(Settings.Json, Error.UsageMistake ? kExitUsage : kExitTool, Error.what());
  }

  // 3. Inputs, each opened once and no larger than the flash; outputs, opened unnamed now so a
  // file system that cannot take them stops the run before anything is sent.
  std::vector<std::unique_ptr<InputFile>> Inputs(Settings.Commands.size());
  std::unique_ptr<AtomicOutput> ConsoleFile;
  std::vector<uint64_t> Sizes(Settings.Commands.size(), 0);
  try {
    for (size_t Index = 0; Index < Settings.Commands.size(); ++Index) {
      const Command &Item = Settings.Commands[Index];
      const std::string What = Item.Origin + ": " + Item.Name;
      if (TakesInput(Item.Kind)) {
        Inputs[Index] =
            std::make_unique<InputFile>(Item.File, What, Image->Size(), Settings.StdinClosed);
        Sizes[Index] = Inputs[Index]->Size();
        if (Sizes[Index] == 0 &&
            (Item.Kind == CommandKind::kFlash || Item.Kind == CommandKind::kVerify)) {
          throw UsageError(What + ": '" + Item.File + "' is empty");
        }
        if (!Inputs[Index]->IsStdin() && Inputs[Index]->Identity() == Image->Identity()) {
          throw UsageError(What + ": '" + Item.File + "' is the flash image itself");
        }
      }
    }
  } catch (const UsageError &Error) {
    return Failure(Settings.Json, kExitUsage, Error.what());
  }
  try {
    // Each output is tried now (an unnamed file leaves no trace) and opened for good when its
    // command runs, so a run of many outputs holds one descriptor at a time.
    for (size_t Index = 0; Index < Settings.Commands.size(); ++Index) {
      const Command &Item = Settings.Commands[Index];
      if (!TakesInput(Item.Kind) && !Item.File.empty() && !IsSharedDevice(Item.File)) {
        const AtomicOutput Trial(Item.File);
      }
    }
    if (!Settings.ConsolePath.empty() && Settings.ConsolePath != "-") {
      ConsoleFile = std::make_unique<AtomicOutput>(Settings.ConsolePath);
    }
  } catch (const ToolError &Error) {
    return Failure(Settings.Json, kExitTool, std::string(Error.what()) + "; nothing was sent");
  }

  // 4. The plan: every request judged in the state the run reaches by then.
  if (!Settings.KeepGoing) {
    if (const std::optional<PlanRefusal> Refused = CheckPlan(Settings, Sizes, Image->Size())) {
      const std::string Message = Refused->Message();
      if (Settings.Json) {
        Print(stdout, JsonLine({{"ok", false},
                                {"error", "plan"},
                                {"origin", Escape(Refused->Origin)},
                                {"command", Refused->CommandName},
                                {"request", Refused->RequestIndex},
                                {"function", Refused->Request.Function},
                                {"offset", Hex(Refused->Request.Address)},
                                {"length", Hex(Refused->Request.Length)},
                                {"reason", Refused->Reason},
                                {"exit_status", kExitFailed}}));
        FlushChecked(stdout);
      }
      Print(stderr, "varnel-sim: plan refused: " + Escape(Message) + "\n");
      FlushChecked(stderr);
      return OutputFailed() ? kExitTool : kExitFailed;
    }
  }

  ConsoleText Console(Settings.ConsolePath == "-" ? stdout : stderr, ConsoleFile.get());
  // Binary data on stdout keeps stdout for itself: the reports go to stderr then.
  std::FILE *Reports = DataToStdout ? stderr : stdout;

  // 5. The target; a failure of the QEMU target (qemuhost::QemuError) ends the run in main.
  std::unique_ptr<Target> Owned;
  if (Settings.Target == Options::TargetKind::kQemu) {
    Owned = std::make_unique<QemuTarget>(
        QemuSettingsFor(Settings), Image->Data(), Image->Size(), Image->File(),
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
  int Status = -1;
  std::string Stopped;
  try {
    for (size_t Index = 0; Index < Settings.Commands.size() && Status < 0; ++Index) {
      const Command &Item = Settings.Commands[Index];
      if (StopSignal() != 0) {
        throw Interrupted("stopped by signal " + std::to_string(StopSignal()) + " before " +
                          Item.Origin);
      }
      std::unique_ptr<AtomicOutput> Output;
      if (!TakesInput(Item.Kind) && !Item.File.empty()) {
        try {
          Output = std::make_unique<AtomicOutput>(Item.File);
        } catch (const ToolError &Error) {
          Stopped = Error.what();
          Status = kExitTool;
          break;
        }
      }
      const CommandReport Report = Commands.Run(Item, Inputs[Index].get(), Output.get());
      Output.reset();
      ++Ran;
      WriteReport(Reports, Report, Settings.Json);
      FlushChecked(Reports);
      if (OutputFailed()) {
        Stopped = "cannot write the report of " + Item.Origin;
        Status = kExitTool;
      } else if (Report.ToolFailure) {
        Stopped = Report.Error;
        Status = kExitTool;
      } else if (!Report.Ok) {
        ++Failed;
        if (!Settings.KeepGoing) {
          break;
        }
      }
    }
  } catch (const Interrupted &Stop) {
    Stopped = Stop.what();
    Status = 128 + StopSignal();
  } catch (const ToolError &Error) {
    Stopped = Error.what();
    Status = kExitTool;
  }
  // Completed requests stay done on both targets, as on a real flash, whatever ended the run.
  Machine.Finish();
  Console.Close();
  if (ConsoleFile) {
    try {
      ConsoleFile->Commit();
    } catch (const ToolError &Error) {
      Print(stderr, "varnel-sim: " + Escape(Error.what()) + "\n");
      Status = Status < 0 ? kExitTool : Status;
    }
  }
  if (Status >= 0) {
    Print(stderr, "varnel-sim: stopped: " + Escape(Stopped) +
                      "; the flash keeps the changes of the requests that completed\n");
    FlushChecked(stderr);
    return Status;
  }
  const uint64_t Total = Settings.Commands.size();
  if (Failed != 0 && Ran < Total) {
    Print(stderr,
          varnelsim::Format("varnel-sim: stopped at the failed command (%s); %" PRIu64
                            " of %" PRIu64 " commands not run\n",
                            Escape(Settings.Commands[Ran - 1].Origin).c_str(), Total - Ran, Total));
  } else if (Failed != 0) {
    Print(stderr, varnelsim::Format("varnel-sim: %" PRIu64 " of %" PRIu64 " commands failed\n",
                                    Failed, Total));
  }
  FlushChecked(stderr);
  FlushChecked(stdout);
  if (OutputFailed()) {
    return kExitTool;
  }
  return Failed == 0 ? 0 : kExitFailed;
}

}  // namespace

int main(int Count, char **Values) {
  // Before anything else is opened: a closed standard descriptor would otherwise become the
  // image or an output, and the reports would land in it.
  const unsigned Closed = varnelsim::OpenClosedStandardDescriptors();
  varnelsim::InstallStopHandlers();
  std::vector<std::string> Arguments(Values + 1, Values + Count);
  varnelsim::Options Settings;
  Settings.StdinClosed = (Closed & 1u) != 0;
  // The target a shell session works with by default; --target overrides it, and --help and
  // --version work whatever it says.
  const char *Target = std::getenv("VARNEL_SIM_TARGET");
  const std::string FromEnvironment = Target != nullptr ? Target : "";
  Settings.Target = FromEnvironment == "qemu" ? varnelsim::Options::TargetKind::kQemu
                                              : varnelsim::Options::TargetKind::kHost;
  try {
    varnelsim::ParseCommandLine(Arguments, Settings);
    if (!Settings.Help && !Settings.HelpFor && !Settings.Version && !Settings.TargetGiven &&
        !FromEnvironment.empty() && FromEnvironment != "host" && FromEnvironment != "qemu") {
      throw varnelsim::UsageError("VARNEL_SIM_TARGET: expected host or qemu, got '" +
                                  FromEnvironment + "'");
    }
  } catch (const varnelsim::UsageError &Error) {
    return Failure(Settings.Json, kExitUsage, Error.what());
  } catch (const std::bad_alloc &) {
    return Failure(Settings.Json, kExitTool, "out of memory");
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
    // The image faulted or hung, QEMU failed, or a signal stopped a wait for an image that did
    // not answer: the flash file keeps what it held.
    return Failure(Settings.Json,
                   Error.What == qemuhost::QemuError::Kind::kStopped ? 128 + varnelsim::StopSignal()
                                                                     : kExitTool,
                   Error.what());
  } catch (const std::bad_alloc &) {
    return Failure(Settings.Json, kExitTool, "out of memory");
  }
}
