// SPDX-License-Identifier: BSD-3-Clause
// varnel-sim as its users see it: exit statuses, messages, the flash image between invocations,
// scripts and the JSON output.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/qemu/ImagePatch.h"

namespace {

struct Outcome {
  int Exit;
  std::string Out;
  std::string Err;
};

std::string ReadFile(const std::string &Path) {
  std::ifstream Input(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(Input), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &Path, const std::string &Contents) {
  std::ofstream(Path, std::ios::binary) << Contents;
}

std::string Quote(const std::string &Text) {
  std::string Quoted = "'";
  for (const char Character : Text) {
    Quoted += Character == '\'' ? std::string("'\\''") : std::string(1, Character);
  }
  return Quoted + "'";
}

size_t CountOf(const std::string &Text, const std::string &Part) {
  size_t Count = 0;
  for (size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1)) {
    ++Count;
  }
  return Count;
}

// The suite runs once per target: VARNEL_SIM_TARGET (which varnel-sim reads itself) says which.
bool OnQemu() {
  const char *Target = std::getenv("VARNEL_SIM_TARGET");
  return Target != nullptr && std::string(Target) == "qemu";
}

class VarnelSim : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat Built;
    if (OnQemu() && stat(VARNELMM_QEMU_BIN_DIR "/supervisor.elf", &Built) != 0) {
      GTEST_SKIP() << "no " VARNELMM_QEMU_BIN_DIR " (cmake --build --preset qemu)";
    }
    char Template[] = "/tmp/varnel-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    Dir = Template;
  }
  void TearDown() override {
    const std::string Command = "rm -rf " + Quote(Dir);
    EXPECT_EQ(std::system(Command.c_str()), 0);
  }

  // Runs varnel-sim in the test's directory with a 2 MiB image unless the arguments name one.
  Outcome Sim(const std::vector<std::string> &Arguments, bool DefaultFlash = true) {
    std::string Command;
    for (const std::string &Argument : Arguments) {
      Command += " " + Quote(Argument);
    }
    return Shell(Command + " </dev/null", DefaultFlash);
  }
  // Runs "varnel-sim [default image] TAIL" through the shell (TAIL may redirect and pipe).
  Outcome Shell(const std::string &Tail, bool DefaultFlash = true) {
    std::string Command = "cd " + Quote(Dir) + " && { " + Quote(VARNEL_SIM_PATH);
    if (DefaultFlash) {
      Command += " --flash flash.img --flash-size 2M";
    }
    Command += Tail + "\n} >stdout.txt 2>stderr.txt";
    const int Status = std::system(Command.c_str());
    Outcome Result;
    Result.Exit = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    Result.Out = ReadFile(Path("stdout.txt"));
    Result.Err = ReadFile(Path("stderr.txt"));
    return Result;
  }

  std::string Path(const std::string &Name) const { return Dir + "/" + Name; }
  // The names in the test's directory, the captured output files left out.
  std::vector<std::string> Listing() const {
    std::vector<std::string> Names;
    DIR *Directory = opendir(Dir.c_str());
    while (const dirent *Entry = readdir(Directory)) {
      const std::string Name = Entry->d_name;
      if (Name != "." && Name != ".." && Name != "stdout.txt" && Name != "stderr.txt") {
        Names.push_back(Name);
      }
    }
    closedir(Directory);
    std::sort(Names.begin(), Names.end());
    return Names;
  }
  bool Exists(const std::string &Name) const {
    struct stat Status;
    return stat(Path(Name).c_str(), &Status) == 0;
  }

  std::string Dir;
};

// Every mistake in the command line: exit 2, a message naming it, no request and no image.
TEST_F(VarnelSim, CommandLineMistakes_ExitTwoWithMessage) {
  WriteFile(Path("bad.script"), "info\n# fine\nread +0\n");
  const struct {
    std::vector<std::string> Arguments;
    const char *Message;
  } kCases[] = {
      {{}, "no command given"},
      {{"frob"}, "unknown command 'frob'"},
      {{"--frob", "info"}, "unknown option '--frob'"},
      {{"read", "+0"}, "read takes 2 arguments, got 1"},
      {{"read", "+0", "ten"}, "length: 'ten' is not a number"},
      {{"erase", "0x1FFFFFFFFFFFFFFFF", "1"}, "does not fit in 64 bits"},
      {{"read", "+0", "16", "--auth", "1"}, "read has no option --auth"},
      {{"raw", "1", "2", "3"}, "raw takes 6 arguments, got 3"},
      {{"raw", "0", "0", "0", "0", "0", "0", "--size", "2G"}, "raw --size: at most"},
      {{"info", "--"}, "'--' at the end"},
      {{"info", "--", "--", "info"}, "empty command"},
      {{"--key", "0011", "info"}, "--key: expected 32 hex digits"},
      {{"--key", "zz0102030405060708090a0b0c0d0e0f", "info"}, "is not hexadecimal"},
      {{"--flash"}, "--flash needs a value"},
      {{"script", "missing.script"}, "cannot open script 'missing.script'"},
      {{"info", "--", "script", "bad.script"}, "bad.script:3: read takes 2 arguments"},
  };
  for (const auto &Case : kCases) {
    const Outcome Result = Sim(Case.Arguments, false);
    EXPECT_EQ(Result.Exit, 2) << Case.Message;
    EXPECT_NE(Result.Err.find(Case.Message), std::string::npos) << Result.Err;
    EXPECT_NE(Result.Err.find("--help"), std::string::npos);
    EXPECT_EQ(Result.Out, "");
  }
  EXPECT_FALSE(Exists("varnel-flash.img"));

  const Outcome Size = Sim({"--flash-size", "3000", "info"});
  EXPECT_EQ(Size.Exit, 2);
  EXPECT_NE(Size.Err.find("--flash-size"), std::string::npos);
}

TEST_F(VarnelSim, ImageOfAnotherSize_IsRefusedUntouched) {
  ASSERT_EQ(Sim({"erase", "+0", "4K"}).Exit, 0);
  const Outcome Result = Sim({"--flash", "flash.img", "--flash-size", "1M", "info"}, false);
  EXPECT_EQ(Result.Exit, 2);
  EXPECT_NE(Result.Err.find("holds 2097152 bytes"), std::string::npos) << Result.Err;
  EXPECT_EQ(ReadFile(Path("flash.img")).size(), 2u << 20);
}

TEST_F(VarnelSim, Help_ListsCommandsAndExitsZero) {
  const Outcome General = Sim({"--help"}, false);
  EXPECT_EQ(General.Exit, 0);
  for (const char *Name :
       {"info",  "nv-info",     "nv2-info",     "failsafe-info",    "read",
        "write", "erase",       "lock",         "lock-region-lock", "lockdown",
        "seed",  "secure-read", "secure-write", "secure-erase",     "secure-lock",
        "raw",   "flash",       "verify",       "regions",          "script"}) {
    EXPECT_NE(General.Out.find(std::string("\n  ") + Name + " "), std::string::npos) << Name;
  }
  const Outcome Command = Sim({"info", "--", "write", "--help"}, false);
  EXPECT_EQ(Command.Exit, 0);
  EXPECT_NE(Command.Out.find("usage: varnel-sim [OPTIONS] write OFFSET FILE"), std::string::npos);
  EXPECT_FALSE(Exists("varnel-flash.img"));
}

TEST_F(VarnelSim, WriteThenReadBack_AcrossInvocations) {
  // Two chunks of the normal-world window and a bit: 1 MiB + 4 KiB inside boot row 0.
  std::string Data(0x101000, '\0');
  for (size_t Index = 0; Index < Data.size(); ++Index) {
    Data[Index] = static_cast<char>((Index * 131 + Index / 4096) & 0xFF);
  }
  WriteFile(Path("data.bin"), Data);

  const Outcome Write = Sim({"erase", "+0", "0x101000", "--", "write", "0x91A00000", "data.bin"});
  ASSERT_EQ(Write.Exit, 0) << Write.Out << Write.Err;
  EXPECT_NE(Write.Out.find("write: SpiNorWrite(Offset=0x91A00000, Length=0x101000, "),
            std::string::npos)
      << Write.Out;
  EXPECT_NE(Write.Out.find("in 2 requests: success (0xAABBCC00), EFI_SUCCESS"), std::string::npos);

  const std::string Image = ReadFile(Path("flash.img"));
  ASSERT_EQ(Image.size(), 2u << 20);
  EXPECT_EQ(Image.substr(0, Data.size()), Data);
  EXPECT_EQ(Image.substr(Data.size()), std::string(Image.size() - Data.size(), '\xFF'));

  const Outcome Read = Sim({"read", "+0", "0x101000", "-o", "back.bin", "--", "read", "+4", "4"});
  ASSERT_EQ(Read.Exit, 0) << Read.Out << Read.Err;
  EXPECT_EQ(ReadFile(Path("back.bin")), Data);
  char Dump[64];
  std::snprintf(Dump, sizeof(Dump), "  91A00004  %02X %02X %02X %02X", 4 * 131 & 0xFF,
                5 * 131 & 0xFF, 6 * 131 & 0xFF, 7 * 131 & 0xFF);
  EXPECT_NE(Read.Out.find(Dump), std::string::npos) << Read.Out;
}

TEST_F(VarnelSim, RefusedWrite_IsNamedAndFailsTheRun) {
  WriteFile(Path("page.bin"), std::string(16, 'A'));
  // The plan foresees the refusal: nothing is sent, not even the info in front of it.
  const Outcome Planned = Sim({"info", "--", "write", "+0x180000", "page.bin"});
  EXPECT_EQ(Planned.Exit, 1);
  EXPECT_EQ(Planned.Out, "");
  EXPECT_NE(Planned.Err.find("plan refused: argument 7: write: request 1 (SpiNorWrite "
                             "Offset=0x91B80000 Length=0x10) would be refused: the range is not "
                             "inside one writable region of the boot table"),
            std::string::npos)
      << Planned.Err;
  EXPECT_EQ(Planned.Err.find("No write permission"), std::string::npos) << "sent";
  // --keep-going sends it, and the driver's own refusal is shown.
  const Outcome Result = Sim({"--keep-going", "write", "+0x180000", "page.bin"});
  EXPECT_EQ(Result.Exit, 1);
  EXPECT_NE(Result.Out.find("write: SpiNorWrite(Offset=0x91B80000, Length=0x10, Buffer=0x80000000)"
                            ": no write permission (0xAABBCC01), EFI_SUCCESS"),
            std::string::npos)
      << Result.Out;
  EXPECT_NE(Result.Err.find("SpiNorWrite No write permission Offset 91B80000 - Len 10\n"),
            std::string::npos)
      << Result.Err;
  EXPECT_NE(Result.Err.find("1 of 1 commands failed"), std::string::npos);
  EXPECT_EQ(ReadFile(Path("flash.img")).find('A'), std::string::npos);

  // The console can go to a file instead.
  const Outcome Logged =
      Sim({"--keep-going", "--console", "console.txt", "erase", "+0x180000", "4K"});
  EXPECT_EQ(Logged.Exit, 1);
  EXPECT_EQ(Logged.Err.find("No write permission"), std::string::npos);
  EXPECT_EQ(ReadFile(Path("console.txt")),
            "SpiNorErase No write permission Offset 91B80000 - Len 1000\n");
}

TEST_F(VarnelSim, Script_RunsInOrderOnOneDriver) {
  WriteFile(Path("page.bin"), std::string(32, 'Z'));
  WriteFile(Path("run.script"),
            "# lock-down switches the table for the rest of this invocation\n"
            "\n"
            "write +0x100000 page.bin   # boot table: allowed\n"
            "lockdown\n"
            "write +0x100000 page.bin   # run-time table: refused\n"
            "   info\n");
  const Outcome First = Sim({"--keep-going", "script", "run.script", "--", "lockdown"});
  EXPECT_EQ(First.Exit, 1);
  std::istringstream Lines(First.Out);
  std::vector<std::string> Heads;
  for (std::string Line; std::getline(Lines, Line);) {
    if (Line.rfind("  ", 0) != 0) {
      Heads.push_back(Line.substr(0, Line.find('(')));
    }
  }
  EXPECT_EQ(Heads,
            (std::vector<std::string>{"write: SpiNorWrite", "lockdown: SpiNorRunTimeLockDown",
                                      "write: SpiNorWrite", "info: SpiNorGetInfo",
                                      "lockdown: SpiNorRunTimeLockDown"}));
  EXPECT_EQ(CountOf(First.Out, "no write permission"), 1u);
  EXPECT_NE(First.Err.find("1 of 5 commands failed"), std::string::npos) << First.Err;

  // Driver flags live for one invocation: a new run starts on the boot table again.
  const Outcome Second = Sim({"write", "+0x100000", "page.bin"});
  EXPECT_EQ(Second.Exit, 0) << Second.Out;
}

TEST_F(VarnelSim, Json_OneObjectPerCommand) {
  WriteFile(Path("page.bin"), std::string(8, 'x'));
  const Outcome Result =
      Sim({"--json", "--keep-going", "info", "--", "write", "+0x180000", "page.bin", "--", "read",
           "+0", "2", "--", "raw", "15", "0", "0", "0", "0", "0"});
  EXPECT_EQ(Result.Exit, 1);
  std::istringstream Lines(Result.Out);
  std::vector<std::string> Objects;
  for (std::string Line; std::getline(Lines, Line);) {
    Objects.push_back(Line);
  }
  ASSERT_EQ(Objects.size(), 4u) << Result.Out;
  for (const std::string &Object : Objects) {
    EXPECT_EQ(Object.front(), '{');
    EXPECT_EQ(Object.back(), '}');
    for (const char *Key :
         {"\"command\":", "\"function\":", "\"arguments\":{", "\"requests\":", "\"status_word\":",
          "\"status\":", "\"efi_status\":", "\"efi_status_name\":", "\"ok\":", "\"results\":{"}) {
      EXPECT_EQ(CountOf(Object, Key), 1u) << Key << " in " << Object;
    }
  }
  EXPECT_NE(Objects[0].find("\"status\":\"success\",\"efi_status\":\"0x0\","
                            "\"efi_status_name\":\"EFI_SUCCESS\",\"ok\":true"),
            std::string::npos);
  EXPECT_NE(Objects[0].find("\"FlashSize\":\"0x200000\""), std::string::npos) << Objects[0];
  EXPECT_NE(Objects[1].find("\"status_word\":\"0xAABBCC01\",\"status\":\"no write permission\""),
            std::string::npos);
  EXPECT_NE(Objects[1].find("\"ok\":false"), std::string::npos);
  EXPECT_NE(Objects[2].find("\"data\":\"ffff\""), std::string::npos) << Objects[2];
  EXPECT_NE(Objects[3].find("\"function\":\"unsupported\""), std::string::npos);
  EXPECT_NE(Objects[3].find("\"status_word\":null,\"status\":null,"
                            "\"efi_status\":\"0x800000000000000F\","
                            "\"efi_status_name\":\"EFI_ACCESS_DENIED\""),
            std::string::npos)
      << Objects[3];
}

TEST_F(VarnelSim, SignedRequests_FollowTheKey) {
  const std::string kWrongKey = "ffeeddccbbaa99887766554433221100";
  const Outcome Result = Sim({"--keep-going",
                              "secure-erase",
                              "+0x2000",
                              "4K",
                              "--",
                              "secure-read",
                              "+0x2000",
                              "4",
                              "--auth",
                              "1",
                              "--",
                              "seed",
                              "77",
                              "--",
                              "read",
                              "+0x2000",
                              "4",
                              "--",
                              "secure-read",
                              "+0x2000",
                              "4"});
  EXPECT_EQ(Result.Exit, 1);
  EXPECT_NE(Result.Out.find("secure-erase: SpiNorSecureErase(Offset=0x91A02000, Length=0x1000, "
                            "AuthInfo=0x"),
            std::string::npos)
      << Result.Out;
  EXPECT_NE(Result.Out.find("): authentication refused (0xAABBCCFE), EFI_DEVICE_ERROR"),
            std::string::npos);
  EXPECT_NE(Result.Out.find("read: SpiNorRead(Offset=0x91A02000, Length=0x4, Buffer=0x80000000): "
                            "failure (0xAABBCCFF), EFI_DEVICE_ERROR"),
            std::string::npos);
  EXPECT_EQ(CountOf(Result.Out, "success (0xAABBCC00)"), 3u) << Result.Out;
  EXPECT_NE(Result.Err.find("2 of 5 commands failed"), std::string::npos);

  const Outcome Wrong = Sim({"--key", kWrongKey, "--keep-going", "secure-lock", "+0x2000", "4K"});
  EXPECT_EQ(Wrong.Exit, 1);
  EXPECT_NE(Wrong.Out.find("authentication refused"), std::string::npos);
  const Outcome Planned = Sim({"--key", kWrongKey, "secure-lock", "+0x2000", "4K"});
  EXPECT_EQ(Planned.Exit, 1);
  EXPECT_NE(Planned.Err.find("uses its provisioned key, not the --key given; nothing was sent"),
            std::string::npos)
      << Planned.Err;
}

// ---- A tool a flash engineer can trust ---------------------------------------------------------

// An output that names the flash image, directly or through a link, is refused before anything
// runs, and so is an input or console path that does: the image keeps its size and contents.
TEST_F(VarnelSim, FlashImageAsOutputInputOrConsole_IsRefusedUntouched) {
  WriteFile(Path("page.bin"), std::string(16, 'P'));
  ASSERT_EQ(Sim({"write", "+0", "page.bin"}).Exit, 0);
  ASSERT_EQ(symlink("flash.img", Path("link.img").c_str()), 0);
  const std::string Before = ReadFile(Path("flash.img"));
  const std::vector<std::vector<std::string>> kCases = {
      {"read", "+0", "16", "-o", "flash.img"},
      {"erase", "+0", "4K", "--", "read", "+0", "16", "-o", "link.img"},
      {"--console", "flash.img", "erase", "+0", "4K"},
      {"erase", "+0", "4K", "--", "write", "+0", "link.img"},
      {"verify", "+0", "flash.img"},
  };
  for (const auto &Arguments : kCases) {
    const Outcome Result = Sim(Arguments);
    EXPECT_EQ(Result.Exit, 2) << Arguments[3];
    EXPECT_NE(Result.Err.find("is the same file as --flash"), std::string::npos) << Result.Err;
    EXPECT_EQ(ReadFile(Path("flash.img")), Before);
  }
}

// A read that fails part-way leaves an existing output as it was and no partial or temporary
// file; the report says how far it got and which request failed.
TEST_F(VarnelSim, FailedLongRead_KeepsTheOldFileAndSaysWhereItStopped) {
  WriteFile(Path("out.bin"), "old contents");
  ASSERT_EQ(Sim({"erase", "+0", "4K"}).Exit, 0);
  const Outcome Text = Sim({"--keep-going", "read", "+0x100000", "2M", "-o", "out.bin"});
  EXPECT_EQ(Text.Exit, 1);
  EXPECT_NE(Text.Out.find("stopped after 0x100000 of 0x200000 bytes: request 2 (Offset=0x91C00000, "
                          "Length=0x100000) failed"),
            std::string::npos)
      << Text.Out;
  EXPECT_NE(Text.Out.find("hint: the range leaves the flash window"), std::string::npos);
  EXPECT_EQ(ReadFile(Path("out.bin")), "old contents");
  EXPECT_EQ(Listing(), (std::vector<std::string>{"flash.img", "out.bin"}));

  const Outcome Json = Sim({"--json", "--keep-going", "read", "+0x100000", "2M", "-o", "new.bin"});
  const nlohmann::json Object = nlohmann::json::parse(Json.Out);
  EXPECT_EQ(Object["completed"], "0x100000");
  EXPECT_EQ(Object["failed_request"]["index"], 2);
  EXPECT_EQ(Object["failed_request"]["offset"], "0x91C00000");
  EXPECT_FALSE(Exists("new.bin"));
}

// A write refused after its first chunk says how much was written and which chunk failed.
TEST_F(VarnelSim, ChunkedWriteRefusedPartWay_ReportsBytesDoneAndTheFailingChunk) {
  // Chunk 1 fills boot row 0 up to its end; chunk 2 crosses from row 2 into row 3.
  WriteFile(Path("big.bin"), std::string(0x111000, 'B'));
  const Outcome Result = Sim({"--json", "--keep-going", "erase", "+0x20000", "0x100000", "--",
                              "write", "+0x20000", "big.bin"});
  EXPECT_EQ(Result.Exit, 1);
  EXPECT_NE(Result.Err.find("1 of 2 commands failed"), std::string::npos);
  std::istringstream Lines(Result.Out);
  std::string Line;
  std::getline(Lines, Line);
  std::getline(Lines, Line);
  const nlohmann::json Write = nlohmann::json::parse(Line);
  EXPECT_EQ(Write["status"], "no write permission");
  EXPECT_EQ(Write["bytes"], "0x111000");
  EXPECT_EQ(Write["completed"], "0x100000");
  EXPECT_EQ(Write["failed_request"],
            nlohmann::json({{"index", 2}, {"offset", "0x91B20000"}, {"length", "0x11000"}}));
  EXPECT_NE(Write["hint"].get<std::string>().find("not inside one writable region"),
            std::string::npos);
  EXPECT_EQ(ReadFile(Path("flash.img")).substr(0x20000, 0x100000), std::string(0x100000, 'B'));
}

// Every input, output directory and script is checked before the first request: a mistake
// anywhere in the chain sends nothing (the erase in front of it does not happen).
TEST_F(VarnelSim, BadInputAnywhereInTheChain_SendsNothing) {
  WriteFile(Path("page.bin"), std::string(16, 'P'));
  ASSERT_EQ(Sim({"write", "+0", "page.bin"}).Exit, 0);
  const std::string Before = ReadFile(Path("flash.img"));
  mkdir(Path("dir").c_str(), 0755);
  WriteFile(Path("empty.bin"), "");
  WriteFile(Path("late.script"), "erase +0 4K\nwrite +0 missing.bin\n");
  const struct {
    std::vector<std::string> Tail;
    const char *Message;
  } kCases[] = {
      {{"write", "+0", "missing.bin"}, "cannot open 'missing.bin'"},
      {{"write", "+0", "dir"}, "'dir' is not a regular file (use - for standard input)"},
      {{"write", "+0", "/dev/zero"}, "is not a regular file"},
      {{"write", "+0", "/dev/stdin"}, "is not a regular file"},
      {{"flash", "+0", "empty.bin"}, "'empty.bin' is empty"},
      {{"read", "+0", "16", "-o", "nodir/out.bin"}, "directory 'nodir' does not exist"},
      {{"read", "+0", "16", "-o", "dir"}, "'dir' is a directory"},
      {{"script", "dir"}, "script 'dir' is not a regular file"},
      {{"script", "late.script"}, "late.script:2: write: cannot open 'missing.bin'"},
      {{"write", "+0", "-", "--", "script", "-"}, "standard input is read only once"},
  };
  for (const auto &Case : kCases) {
    std::vector<std::string> Arguments = {"erase", "+0", "4K", "--"};
    Arguments.insert(Arguments.end(), Case.Tail.begin(), Case.Tail.end());
    const Outcome Result = Sim(Arguments);
    EXPECT_EQ(Result.Exit, 2) << Case.Message;
    EXPECT_NE(Result.Err.find(Case.Message), std::string::npos) << Result.Err;
    EXPECT_EQ(Result.Out, "");
    EXPECT_EQ(ReadFile(Path("flash.img")), Before) << Case.Message;
  }
}

// Eight nested scripts of eight lines would be 16.7 million commands: the expansion stops at the
// cap, as a usage error, before anything is sent.
TEST_F(VarnelSim, ScriptExpansion_IsCapped) {
  for (int Level = 0; Level < 8; ++Level) {
    std::string Line = Level == 7 ? "info\n" : "script s" + std::to_string(Level + 1) + "\n";
    std::string Text;
    for (int Copy = 0; Copy < 8; ++Copy) {
      Text += Line;
    }
    WriteFile(Path("s" + std::to_string(Level)), Text);
  }
  const Outcome Result = Sim({"script", "s0"});
  EXPECT_EQ(Result.Exit, 2);
  EXPECT_NE(Result.Err.find("more than 100000 commands"), std::string::npos) << Result.Err;
  EXPECT_FALSE(Exists("flash.img"));
}

// The closing message names the failed command's origin whole, however long the script's path
// (messages are not cut to a fixed buffer).
TEST_F(VarnelSim, StoppedAtAFailedCommand_NamesALongOriginWhole) {
  const std::string Long = std::string(200, 'd') + "/" + std::string(100, 's') + ".script";
  ASSERT_EQ(::mkdir(Path(std::string(200, 'd')).c_str(), 0700), 0);
  WriteFile(Path(Long), "verify +0 v.bin\ninfo\n");
  WriteFile(Path("v.bin"), std::string(16, 'A'));
  const Outcome Result = Sim({"script", Long});
  EXPECT_EQ(Result.Exit, 1);
  EXPECT_NE(
      Result.Err.find("stopped at the failed command (" + Long + ":1); 1 of 2 commands not run\n"),
      std::string::npos)
      << Result.Err;
}

// NOR programming only clears bits: a plain write over programmed bytes warns, --verify catches
// the difference, and flash erases what it must and ends with the file's contents.
TEST_F(VarnelSim, ProgrammingUnerasedBytes_IsWarnedVerifiedAndFlashFixesIt) {
  WriteFile(Path("a.bin"), std::string(0x1800, '\x0F'));
  WriteFile(Path("b.bin"), std::string(0x1800, '\xF0'));
  ASSERT_EQ(Sim({"write", "+0x1000", "a.bin"}).Exit, 0);

  const Outcome Plain = Sim({"write", "+0x1000", "b.bin", "--verify"});
  EXPECT_EQ(Plain.Exit, 1);
  EXPECT_NE(Plain.Out.find("warning: 6144 bytes of the file need bits set that the flash holds "
                           "cleared (first at 0x91A01000)"),
            std::string::npos)
      << Plain.Out;
  EXPECT_NE(Plain.Out.find("verify failed: 6144 bytes differ, the first at 0x91A01000"),
            std::string::npos);

  const Outcome Flash = Sim({"flash", "+0x1000", "b.bin", "--", "verify", "+0x1000", "b.bin"});
  EXPECT_EQ(Flash.Exit, 0) << Flash.Out << Flash.Err;
  EXPECT_NE(Flash.Out.find("2 sectors: 2 erased, 2 programmed, 0 already equal"), std::string::npos)
      << Flash.Out;
  const std::string Image = ReadFile(Path("flash.img"));
  EXPECT_EQ(Image.substr(0x1000, 0x1800), std::string(0x1800, '\xF0'));
  EXPECT_EQ(Image.substr(0x2800, 0x800), std::string(0x800, '\xFF'));  // kept, not the file's

  const Outcome Again = Sim({"flash", "+0x1000", "b.bin"});
  EXPECT_EQ(Again.Exit, 0);
  EXPECT_NE(Again.Out.find("2 sectors: only read, nothing needed a change"), std::string::npos)
      << Again.Out;
  EXPECT_EQ(Sim({"verify", "+0x1000", "a.bin"}).Exit, 1);
}

// Runs on one image take turns: two concurrent writers both keep their update; a run that only
// reads opens the image read-only.
TEST_F(VarnelSim, ConcurrentRuns_KeepEveryUpdate) {
  ASSERT_EQ(Sim({"erase", "+0x100000", "4K"}).Exit, 0);
  WriteFile(Path("x.bin"), std::string(4096, 'X'));
  WriteFile(Path("y.bin"), std::string(4096, 'Y'));
  std::string Runs;
  for (int Round = 0; Round < 4; ++Round) {
    for (const char *Name : {"x", "y"}) {
      const uint64_t Offset = 0x1000 * (2 * Round + (Name[0] == 'y'));
      Runs += " " + Quote(VARNEL_SIM_PATH) + " --flash flash.img write +" + std::to_string(Offset) +
              " " + Name + ".bin >" + Name + std::to_string(Round) + ".log 2>&1 &";
    }
  }
  ASSERT_EQ(std::system(("cd " + Quote(Dir) + " && {" + Runs + " wait; }").c_str()), 0);
  const std::string Image = ReadFile(Path("flash.img"));
  for (int Round = 0; Round < 4; ++Round) {
    EXPECT_TRUE(Image.substr(0x2000 * Round, 0x1000) == std::string(4096, 'X')) << Round;
    EXPECT_TRUE(Image.substr(0x2000 * Round + 0x1000, 0x1000) == std::string(4096, 'Y')) << Round;
  }
  ASSERT_EQ(chmod(Path("flash.img").c_str(), 0444), 0);
  EXPECT_EQ(Sim({"info", "--", "read", "+0", "16", "--", "regions"}).Exit, 0);
  if (geteuid() != 0) {  // root may write a read-only file
    const Outcome Write = Sim({"erase", "+0", "4K"});
    EXPECT_EQ(Write.Exit, 3);
    EXPECT_NE(Write.Err.find("cannot open flash image for writing"), std::string::npos);
  }
}

// A report that cannot be written is a failure of the tool.
TEST_F(VarnelSim, FullStdout_ExitsThree) {
  EXPECT_EQ(Shell(" info >/dev/full").Exit, 3);
  EXPECT_EQ(Shell(" read +0 4K -o - >/dev/full").Exit, 3);
  EXPECT_EQ(Shell(" --version >/dev/full", false).Exit, 3);
}

// Untrusted bytes (file names, script words) reach the terminal escaped and JSON as valid UTF-8.
TEST_F(VarnelSim, UntrustedBytes_AreEscapedAndJsonStaysValid) {
  const std::string Evil = "evil\x1b[2J\xff.script";
  WriteFile(Path(Evil), "info\nfrob\xc3\x28\n");
  for (const bool Json : {false, true}) {
    std::vector<std::string> Arguments = {"script", Evil};
    if (Json) {
      Arguments.insert(Arguments.begin(), "--json");
    }
    const Outcome Result = Sim(Arguments);
    EXPECT_EQ(Result.Exit, 2);
    for (const std::string &Output : {Result.Out, Result.Err}) {
      EXPECT_EQ(Output.find('\x1b'), std::string::npos);
      EXPECT_EQ(Output.find('\xff'), std::string::npos);
    }
    EXPECT_NE(Result.Err.find("evil\\x1B[2J\\xFF.script:2: unknown command 'frob\\xC3('"),
              std::string::npos)
        << Result.Err;
    if (Json) {
      const nlohmann::json Object = nlohmann::json::parse(Result.Out);
      EXPECT_EQ(Object["error"], "usage");
      EXPECT_EQ(Object["exit_status"], 2);
    }
  }
  const Outcome Missing = Sim({"--json", "write", "+0", "\xfe\xff.bin"});
  EXPECT_EQ(Missing.Exit, 2);
  EXPECT_NO_THROW((void)nlohmann::json::parse(Missing.Out)) << Missing.Out;
}

// A generic failure (0xAABBCCFF) or refusal comes with the reason the simulator can see.
TEST_F(VarnelSim, Failures_ComeWithAHint) {
  const struct {
    std::vector<std::string> Arguments;
    const char *Hint;
  } kCases[] = {
      {{"erase", "+0x800", "4K"}, "erase works on whole 4 KiB sectors"},
      {{"lock", "+0x2000", "4K", "--", "erase", "+0x2000", "4K"},
       "overlaps 0x91A02000-0x91A02FFF, locked earlier in this run"},
      {{"seed", "1", "--", "read", "+0", "16"}, "the seed is deployed: plain read, write"},
      {{"seed", "1", "--", "seed", "2"}, "accepts one seed per power cycle"},
      {{"read", "0x1000", "16"},
       "0x1000 lies below the flash window at 0x91A00000; did you "
       "mean +0x1000?"},
      {{"lockdown", "--", "erase", "+0x100000", "4K"}, "writable region of the run-time table"},
      {{"lock-region-lock", "--", "lock", "+0", "4K"}, "region locks were locked"},
  };
  for (const auto &Case : kCases) {
    // The plan names the reason and sends nothing; sent anyway, the refusal carries it as a hint.
    const Outcome Planned = Sim(Case.Arguments);
    EXPECT_EQ(Planned.Exit, 1) << Case.Hint;
    EXPECT_EQ(Planned.Out, "") << Case.Hint;
    const size_t Reason = Planned.Err.find("would be refused: ");
    EXPECT_NE(Reason, std::string::npos) << Planned.Err;
    EXPECT_NE(Planned.Err.find(Case.Hint, Reason), std::string::npos) << Planned.Err;
    std::vector<std::string> Sent = Case.Arguments;
    Sent.insert(Sent.begin(), "--keep-going");
    const Outcome Result = Sim(Sent);
    EXPECT_EQ(Result.Exit, 1) << Case.Hint;
    const size_t Hint = Result.Out.find("\n  hint: ");
    EXPECT_NE(Result.Out.find(Case.Hint, Hint), std::string::npos) << Result.Out;
    EXPECT_NE(Hint, std::string::npos);
  }
}

// The seed alone does not give the signing key: only the device secret's holder can sign.
TEST_F(VarnelSim, SeedKey_NeedsTheDeviceSecret) {
  // The key the old derivation gave for seed 1: K0 = seed, K1 = seed ^ "VarnelMM".
  const Outcome Attacker = Sim({"--key", "01000000000000004c4d6c656e726156", "--keep-going", "seed",
                                "1", "--", "secure-erase", "+0x2000", "4K"});
  EXPECT_EQ(Attacker.Exit, 1);
  EXPECT_NE(Attacker.Out.find("authentication refused"), std::string::npos) << Attacker.Out;
  const Outcome Owner = Sim({"seed", "1", "--", "secure-erase", "+0x2000", "4K"});
  EXPECT_EQ(Owner.Exit, 0) << Owner.Out;
}

// Unix manners: --version, -o - for binary data, script - from stdin with quoted words, squeezed
// hex dumps, and usage errors as JSON in --json mode.
TEST_F(VarnelSim, UnixManners) {
  const Outcome Version = Sim({"--version"}, false);
  EXPECT_EQ(Version.Exit, 0);
  EXPECT_EQ(Version.Out.rfind("varnel-sim ", 0), 0u);

  WriteFile(Path("two words.bin"), "AB");
  const Outcome Piped = Shell(
      " script - <<'EOF'\nerase +0 4K\nwrite +0 'two words.bin'\n"
      "read +0 2 -o -   # binary\nEOF");
  EXPECT_EQ(Piped.Exit, 0) << Piped.Err;
  EXPECT_EQ(Piped.Out, "AB");
  EXPECT_NE(Piped.Err.find("write: SpiNorWrite(Offset=0x91A00000, Length=0x2,"), std::string::npos);

  // A file the run writes is not also read by it.
  const Outcome Alias =
      Sim({"read", "+0", "8", "-o", "copy.bin", "--", "verify", "+0", "copy.bin"});
  EXPECT_EQ(Alias.Exit, 2);
  EXPECT_NE(Alias.Err.find("'copy.bin' is the same file as argument 5: read -o"), std::string::npos)
      << Alias.Err;

  // A pipe (or a device) named by -o is written in place, not replaced by a file.
  const std::string Pipe = "cd " + Quote(Dir) + " && mkfifo pipe && { cat pipe >got & " +
                           Quote(VARNEL_SIM_PATH) + " --flash flash.img read +0 2 -o pipe " +
                           ">/dev/null 2>&1; wait; }";
  EXPECT_EQ(std::system(Pipe.c_str()), 0);
  EXPECT_EQ(ReadFile(Path("got")), "AB");
  struct stat Status;
  EXPECT_TRUE(stat(Path("pipe").c_str(), &Status) == 0 && S_ISFIFO(Status.st_mode));

  const Outcome Dump = Sim({"read", "+0x10000", "64"});
  EXPECT_NE(Dump.Out.find("|\n  *\n  91A10030  FF"), std::string::npos) << Dump.Out;

  const Outcome Usage = Sim({"--json", "read", "+0"}, false);
  EXPECT_EQ(Usage.Exit, 2);
  EXPECT_EQ(nlohmann::json::parse(Usage.Out)["message"],
            "argument 2: read takes 2 arguments, got 1 (usage: read OFFSET LENGTH [-o FILE])");
}

// The QEMU target: a fault of the image is a tool error naming the exception and where it
// happened, and the flash file keeps what it held before the run, although earlier requests of
// the run changed the emulated flash. So does a hang. (On the host target no image runs.)
TEST_F(VarnelSim, QemuTarget_FaultOrHangOfTheImage_ExitsThreeAndLeavesTheFlash) {
  if (!OnQemu()) {
    GTEST_SKIP() << "the host target runs the driver built for the host, no image";
  }
  const std::string Image = VARNELMM_QEMU_BIN_DIR "/VarnelMm.efi";
  const uint32_t Seed = imagepatch::SymbolRva(VARNELMM_QEMU_BIN_DIR "/../VarnelMm.map",
                                              "?SpiNorMmSeedDeploy@varnel@@YA_K_K@Z");
  ASSERT_NE(Seed, 0u);
  ASSERT_TRUE(imagepatch::Patch(Image, Seed, imagepatch::kLoadFromX0, Path("load.efi")));
  ASSERT_TRUE(imagepatch::Patch(Image, Seed, imagepatch::kBranchToSelf, Path("spin.efi")));
  WriteFile(Path("page.bin"), std::string(16, 'P'));
  ASSERT_EQ(Sim({"erase", "+0x10000", "4K"}).Exit, 0);
  const std::string Before = ReadFile(Path("flash.img"));
  char Where[40];
  std::snprintf(Where, sizeof(Where), "(VarnelMm.efi+0x%X)", Seed);

  // The seed is the address the patched load reads: 8-byte aligned, so the fault is the missing
  // translation rather than the alignment check the supervisor runs the image with.
  const Outcome Fault = Sim({"--image", "load.efi", "erase", "+0", "4K", "--", "write", "+0",
                             "page.bin", "--", "seed", "0x1238"});
  EXPECT_EQ(Fault.Exit, 3);
  EXPECT_EQ(CountOf(Fault.Out, "success (0xAABBCC00)"), 2u) << Fault.Out;
  for (const std::string &Part :
       std::vector<std::string>{"the image faulted in the driver at EL0: EC 0x24 (data abort "
                                "from a lower level), ESR 0x92000006, at ELR 0x",
                                Where, "FAR 0x1238"}) {
    EXPECT_NE(Fault.Err.find(Part), std::string::npos) << Part << " in " << Fault.Err;
  }
  EXPECT_EQ(ReadFile(Path("flash.img")), Before);

  const Outcome Hang = Sim(
      {"--image", "spin.efi", "--timeout", "3", "--json", "erase", "+0", "4K", "--", "seed", "1"});
  EXPECT_EQ(Hang.Exit, 3);
  EXPECT_NE(Hang.Out.find("\"message\":\"no answer within 3 s while waiting for the answer to "
                          "request 0x8; the CPU is at PC"),
            std::string::npos)
      << Hang.Out;
  EXPECT_NE(Hang.Out.find(Where), std::string::npos) << Hang.Out;
  EXPECT_EQ(ReadFile(Path("flash.img")), Before);

  EXPECT_EQ(Sim({"--target", "host", "--image", "load.efi", "info"}).Exit, 2);
}

}  // namespace
