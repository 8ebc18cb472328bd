// varnel-sim as its users see it: exit statuses, messages, the flash image between invocations,
// scripts and the JSON output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

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

class VarnelSim : public ::testing::Test {
 protected:
  void SetUp() override {
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
    std::string Command = "cd " + Quote(Dir) + " && " + Quote(VARNEL_SIM_PATH);
    if (DefaultFlash) {
      Command += " --flash flash.img --flash-size 2M";
    }
    for (const std::string &Argument : Arguments) {
      Command += " " + Quote(Argument);
    }
    Command += " >stdout.txt 2>stderr.txt </dev/null";
    const int Status = std::system(Command.c_str());
    Outcome Result;
    Result.Exit = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    Result.Out = ReadFile(Path("stdout.txt"));
    Result.Err = ReadFile(Path("stderr.txt"));
    return Result;
  }

  std::string Path(const std::string &Name) const { return Dir + "/" + Name; }
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
  ASSERT_EQ(Sim({"info"}).Exit, 0);
  const Outcome Result = Sim({"--flash", "flash.img", "--flash-size", "1M", "info"}, false);
  EXPECT_EQ(Result.Exit, 2);
  EXPECT_NE(Result.Err.find("holds 2097152 bytes"), std::string::npos) << Result.Err;
  EXPECT_EQ(ReadFile(Path("flash.img")).size(), 2u << 20);
}

TEST_F(VarnelSim, Help_ListsCommandsAndExitsZero) {
  const Outcome General = Sim({"--help"}, false);
  EXPECT_EQ(General.Exit, 0);
  for (const char *Name : {"info", "nv-info", "nv2-info", "failsafe-info", "read", "write", "erase",
                           "lock", "lock-region-lock", "lockdown", "seed", "secure-read",
                           "secure-write", "secure-erase", "secure-lock", "raw", "script"}) {
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
  const Outcome Result = Sim({"write", "+0x180000", "page.bin", "--", "info"});
  EXPECT_EQ(Result.Exit, 1);
  EXPECT_NE(Result.Out.find("write: SpiNorWrite(Offset=0x91B80000, Length=0x10, Buffer=0x80000000)"
                            ": no write permission (0xAABBCC01), EFI_SUCCESS"),
            std::string::npos)
      << Result.Out;
  EXPECT_EQ(Result.Out.find("info:"), std::string::npos) << "ran past the failure";
  EXPECT_NE(Result.Err.find("SpiNorWrite No write permission Offset 91B80000 - Len 10\r\n"),
            std::string::npos)
      << Result.Err;
  EXPECT_NE(Result.Err.find("stopped at the failed command"), std::string::npos);
  EXPECT_EQ(ReadFile(Path("flash.img")).find('A'), std::string::npos);

  // The console can go to a file instead.
  const Outcome Logged = Sim({"--console", "console.txt", "erase", "+0x180000", "4K"});
  EXPECT_EQ(Logged.Exit, 1);
  EXPECT_EQ(Logged.Err.find("No write permission"), std::string::npos);
  EXPECT_EQ(ReadFile(Path("console.txt")),
            "SpiNorErase No write permission Offset 91B80000 - Len 1000\r\n");
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

  const Outcome Wrong = Sim({"--key", kWrongKey, "secure-lock", "+0x2000", "4K"});
  EXPECT_EQ(Wrong.Exit, 1);
  EXPECT_NE(Wrong.Out.find("authentication refused"), std::string::npos);
}

}  // namespace
