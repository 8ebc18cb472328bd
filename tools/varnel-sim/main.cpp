// varnel-sim: the normal world's view of VarnelMm on the host.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/varnel-sim/CommandLine.h"
#include "tools/varnel-sim/FlashImage.h"
#include "tools/varnel-sim/Report.h"
#include "tools/varnel-sim/Runner.h"
#include "tools/varnel-sim/Simulator.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int UsageFailure(const std::string &Message) {
  std::fprintf(stderr, "varnel-sim: error: %s\nTry 'varnel-sim --help' for more information.\n",
               Message.c_str());
  return kExitUsage;
}

int ShowHelp(const varnelsim::Options &Settings) {
  if (!Settings.HelpFor) {
    std::fputs(varnelsim::GeneralHelp().c_str(), stdout);
  } else if (*Settings.HelpFor == "script") {
    std::fputs(
        "usage: varnel-sim [OPTIONS] script FILE\n\n"
        "Runs the commands of FILE, one per line, in order, on the same driver instance as the\n"
        "rest of the command line. Text from '#' to the end of a line is a comment; empty lines\n"
        "are skipped. Scripts may run other scripts. The whole script is checked before any\n"
        "request is sent.\n",
        stdout);
  } else {
    std::fputs(varnelsim::CommandHelp(*varnelsim::FindCommand(*Settings.HelpFor)).c_str(), stdout);
  }
  return 0;
}

int Run(const varnelsim::Options &Settings) {
  struct FileCloser {
    void operator()(std::FILE *File) const { std::fclose(File); }
  };
  std::unique_ptr<std::FILE, FileCloser> ConsoleFile;
  std::FILE *Console = stderr;
  if (!Settings.ConsolePath.empty()) {
    ConsoleFile.reset(std::fopen(Settings.ConsolePath.c_str(), "wb"));
    if (!ConsoleFile) {
      return UsageFailure("--console: cannot create '" + Settings.ConsolePath + "'");
    }
    Console = ConsoleFile.get();
  }

  std::unique_ptr<varnelsim::FlashImage> Image;
  try {
    Image = std::make_unique<varnelsim::FlashImage>(Settings.FlashPath, Settings.FlashSize,
                                                    varnelsim::kDefaultFlashSize);
  } catch (const varnelsim::FlashImageError &Error) {
    if (Error.UsageMistake) {
      return UsageFailure(Error.what());
    }
    std::fprintf(stderr, "varnel-sim: %s\n", Error.what());
    return kExitFailed;
  }

  varnelsim::Simulator Machine(Image->Data(), Image->Size(), Console);
  const EFI_STATUS Started = Machine.Start();
  if (Started != EFI_SUCCESS) {
    std::fprintf(stderr, "varnel-sim: the driver's entry point answered %s\n",
                 varnelsim::EfiStatusName(Started).c_str());
    return kExitFailed;
  }

  varnelsim::Runner Commands(Machine, Settings);
  uint64_t Failed = 0;
  uint64_t Ran = 0;
  for (const varnelsim::Command &Item : Settings.Commands) {
    const varnelsim::CommandReport Report = Commands.Run(Item);
    ++Ran;
    if (Settings.Json) {
      varnelsim::PrintJson(stdout, Report);
    } else {
      varnelsim::PrintText(stdout, Report);
    }
    std::fflush(stdout);
    if (!Report.Ok) {
      ++Failed;
      if (!Settings.KeepGoing) {
        break;
      }
    }
  }
  const uint64_t Total = Settings.Commands.size();
  if (Failed != 0 && Ran < Total) {
    std::fprintf(stderr,
                 "varnel-sim: stopped at the failed command (%s); %" PRIu64 " of %" PRIu64
                 " commands not run\n",
                 Settings.Commands[Ran - 1].Origin.c_str(), Total - Ran, Total);
  } else if (Failed != 0) {
    std::fprintf(stderr, "varnel-sim: %" PRIu64 " of %" PRIu64 " commands failed\n", Failed, Total);
  }
  return Failed == 0 ? 0 : kExitFailed;
}

}  // namespace

int main(int Count, char **Values) {
  std::vector<std::string> Arguments(Values + 1, Values + Count);
  varnelsim::Options Settings;
  try {
    Settings = varnelsim::ParseCommandLine(Arguments);
  } catch (const varnelsim::UsageError &Error) {
    return UsageFailure(Error.what());
  }
  if (Settings.Help || Settings.HelpFor) {
    return ShowHelp(Settings);
  }
  return Run(Settings);
}
