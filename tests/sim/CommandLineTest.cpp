// SPDX-License-Identifier: BSD-3-Clause
// varnel-sim's parser on its own: numbers, offsets, option placement, command separation and
// script expansion.
#include "tools/varnel-sim/CommandLine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace varnelsim {
namespace {

TEST(SimNumbers, AcceptedForms_GiveTheirValues) {
  const struct {
    const char *Text;
    bool Scaled;
    uint64_t Value;
  } kCases[] = {
      {"0", false, 0},
      {"4096", false, 4096},
      {"0x91A00000", false, 0x91A00000},
      {"0Xff", false, 0xFF},
      {"18446744073709551615", false, UINT64_MAX},
      {"0xFFFFFFFFFFFFFFFF", false, UINT64_MAX},
      {"4K", true, 4096},
      {"4k", true, 4096},
      {"0x10M", true, 16ULL << 20},
      {"2G", true, 2ULL << 30},
  };
  for (const auto &Case : kCases) {
    EXPECT_EQ(ParseNumber(Case.Text, "n", Case.Scaled), Case.Value) << Case.Text;
  }
}

TEST(SimNumbers, MalformedOrTooLarge_AreUsageErrors) {
  const struct {
    const char *Text;
    bool Scaled;
  } kCases[] = {
      {"", false},
      {"0x", false},
      {"12abc", false},
      {"-1", false},
      {"4K", false},
      {"K", true},
      {"0xG", false},
      {"18446744073709551616", false},
      {"0x10000000000000000", false},
      {"17179869184G", true},
  };
  for (const auto &Case : kCases) {
    EXPECT_THROW(ParseNumber(Case.Text, "n", Case.Scaled), UsageError) << Case.Text;
  }
}

TEST(SimOffsets, AbsoluteOrRelativeToTheWindow) {
  EXPECT_EQ(ParseOffset("0x91A01000"), 0x91A01000u);
  EXPECT_EQ(ParseOffset("+0x1000"), 0x91A01000u);
  EXPECT_EQ(ParseOffset("+1M"), 0x91B00000u);
  EXPECT_EQ(ParseOffset("0"), 0u);  // below the window: sent as it is, for the driver to judge
  EXPECT_THROW(ParseOffset("+0xFFFFFFFFFFFFFFFF"), UsageError);
  EXPECT_THROW(ParseOffset("+"), UsageError);
}

TEST(SimCommandLine, GlobalOptionsThenCommandsSeparatedByDashes) {
  const Options Parsed = ParseCommandLine({"--flash=a.img",
                                           "--flash-size",
                                           "1M",
                                           "--json",
                                           "--keep-going",
                                           "--console",
                                           "c.txt",
                                           "--key",
                                           "0x000102030405060708090a0b0c0d0e0f",
                                           "read",
                                           "+0",
                                           "16",
                                           "-o",
                                           "out.bin",
                                           "--",
                                           "secure-erase",
                                           "0x91A02000",
                                           "4K",
                                           "--auth",
                                           "0x55",
                                           "--",
                                           "raw",
                                           "1",
                                           "2",
                                           "3",
                                           "4",
                                           "5",
                                           "6",
                                           "--size",
                                           "40",
                                           "--",
                                           "seed",
                                           "7"});
  EXPECT_EQ(Parsed.FlashPath, "a.img");
  EXPECT_EQ(Parsed.FlashSize, 1ULL << 20);
  EXPECT_TRUE(Parsed.Json);
  EXPECT_TRUE(Parsed.KeepGoing);
  EXPECT_EQ(Parsed.ConsolePath, "c.txt");
  EXPECT_EQ(Parsed.KeyHex, "000102030405060708090a0b0c0d0e0f");
  ASSERT_EQ(Parsed.Commands.size(), 4u);

  EXPECT_EQ(Parsed.Commands[0].Kind, CommandKind::kRead);
  EXPECT_EQ(Parsed.Commands[0].Offset, 0x91A00000u);
  EXPECT_EQ(Parsed.Commands[0].Length, 16u);
  EXPECT_EQ(Parsed.Commands[0].File, "out.bin");
  EXPECT_EQ(Parsed.Commands[0].Origin, "argument 10");

  EXPECT_EQ(Parsed.Commands[1].Kind, CommandKind::kSecureErase);
  EXPECT_EQ(Parsed.Commands[1].Length, 4096u);
  EXPECT_EQ(Parsed.Commands[1].Auth, 0x55u);

  EXPECT_EQ(Parsed.Commands[2].Kind, CommandKind::kRaw);
  EXPECT_EQ(Parsed.Commands[2].Words[5], 6u);
  EXPECT_EQ(Parsed.Commands[2].BufferSize, 40u);

  EXPECT_EQ(Parsed.Commands[3].Kind, CommandKind::kSeed);
  EXPECT_EQ(Parsed.Commands[3].Value, 7u);
}

TEST(SimCommandLine, Help_StopsParsingWherePlaced) {
  EXPECT_TRUE(ParseCommandLine({"--help", "frob"}).Help);
  EXPECT_EQ(ParseCommandLine({"info", "--", "lock", "--help"}).HelpFor, "lock");
  EXPECT_EQ(ParseCommandLine({"help", "secure-write"}).HelpFor, "secure-write");
  EXPECT_EQ(ParseCommandLine({"script", "--help"}).HelpFor, "script");
  EXPECT_THROW(ParseCommandLine({"help", "frob"}), UsageError);
  // Global options are only read before the first command.
  EXPECT_THROW(ParseCommandLine({"info", "--json"}), UsageError);
  EXPECT_THROW(ParseCommandLine({"--json=1", "info"}), UsageError);
}

TEST(SimCommandLine, OptionsBelongToTheirCommands) {
  EXPECT_THROW(ParseCommandLine({"write", "+0", "f", "-o", "x"}), UsageError);
  EXPECT_THROW(ParseCommandLine({"erase", "+0", "1", "--size", "8"}), UsageError);
  EXPECT_THROW(ParseCommandLine({"info", "--auth", "1"}), UsageError);
  EXPECT_THROW(ParseCommandLine({"read", "+0", "1", "-o"}), UsageError);
  EXPECT_THROW(ParseCommandLine({"info", "extra"}), UsageError);
  EXPECT_THROW(ParseCommandLine({"--flash-size", "0", "info"}), UsageError);
  EXPECT_THROW(ParseCommandLine({"--flash-size", "8G", "info"}), UsageError);
  EXPECT_THROW(ParseCommandLine({"--flash=", "info"}), UsageError);
}

class SimScript : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/varnel-sim-parse-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    Dir = Template;
  }
  void TearDown() override {
    for (const std::string &File : Files) {
      std::remove(File.c_str());
    }
    rmdir(Dir.c_str());
  }
  std::string Write(const std::string &Name, const std::string &Text) {
    const std::string Path = Dir + "/" + Name;
    std::ofstream(Path) << Text;
    Files.push_back(Path);
    return Path;
  }
  std::string Dir;
  std::vector<std::string> Files;
};

TEST_F(SimScript, LinesExpandInPlaceWithTheirOrigin) {
  const std::string Inner = Write("inner.txt", "nv-info\n");
  const std::string Outer = Write("outer.txt", "# header\n\n  info   # trailing comment\nscript " +
                                                   Inner + "\n\terase +0x1000 4K\n");
  const Options Parsed = ParseCommandLine({"lockdown", "--", "script", Outer, "--", "seed", "1"});
  ASSERT_EQ(Parsed.Commands.size(), 5u);
  EXPECT_EQ(Parsed.Commands[0].Kind, CommandKind::kLockdown);
  EXPECT_EQ(Parsed.Commands[1].Kind, CommandKind::kInfo);
  EXPECT_EQ(Parsed.Commands[1].Origin, Outer + ":3");
  EXPECT_EQ(Parsed.Commands[2].Kind, CommandKind::kNvInfo);
  EXPECT_EQ(Parsed.Commands[2].Origin, Inner + ":1");
  EXPECT_EQ(Parsed.Commands[3].Kind, CommandKind::kErase);
  EXPECT_EQ(Parsed.Commands[3].Offset, 0x91A01000u);
  EXPECT_EQ(Parsed.Commands[4].Kind, CommandKind::kSeed);
}

TEST_F(SimScript, SelfInclusion_IsStoppedWithAMessage) {
  const std::string Loop = Dir + "/loop.txt";
  Write("loop.txt", "script " + Loop + "\n");
  try {
    ParseCommandLine({"script", Loop});
    FAIL() << "no error";
  } catch (const UsageError &Error) {
    EXPECT_NE(std::string(Error.what()).find("nested deeper than"), std::string::npos);
  }
}

TEST_F(SimScript, ErrorNamesFileAndLine) {
  const std::string Bad = Write("bad.txt", "info\n\nwrite +0\n");
  try {
    ParseCommandLine({"script", Bad});
    FAIL() << "no error";
  } catch (const UsageError &Error) {
    EXPECT_EQ(std::string(Error.what()),
              Bad + ":3: write takes 2 arguments, got 1 (usage: write OFFSET FILE [--verify])");
  }
}

}  // namespace
}  // namespace varnelsim
