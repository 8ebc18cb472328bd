// SPDX-License-Identifier: BSD-3-Clause
// The real image under QEMU through the host class: requests, window data and console bytes in
// both directions, flash changes only at a good end, and the reports of a faulting image, a hung
// image, a bad image and a missing QEMU. Needs what the qemu preset builds; skipped without it.
#include "qemu/host/QemuMachine.h"
#include "tests/qemu/ImagePatch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using qemuhost::QemuError;
using qemuhost::QemuMachine;
using qemuhost::QemuSettings;

constexpr uint64_t kFlashSize = 2 << 20;
constexpr uint64_t kWindowAddress = 0x91A00000;

bool Built() {
  struct stat Status;
  return stat(VARNELMM_QEMU_BIN_DIR "/supervisor.elf", &Status) == 0 &&
         stat(VARNELMM_QEMU_BIN_DIR "/VarnelMm.efi", &Status) == 0;
}

QemuSettings Settings(const std::string &Image = VARNELMM_QEMU_BIN_DIR "/VarnelMm.efi") {
  QemuSettings Result;
  Result.Qemu = VARNELMM_QEMU_SYSTEM;
  Result.Supervisor = VARNELMM_QEMU_BIN_DIR "/supervisor.elf";
  Result.Image = Image;
  return Result;
}

class QemuMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Built()) {
      GTEST_SKIP() << "no " VARNELMM_QEMU_BIN_DIR " (cmake --build --preset qemu)";
    }
    Flash.assign(kFlashSize, 0xFF);
  }
  // Runs Settings and expects a QemuError of Kind whose message holds every one of Parts.
  void ExpectFailure(const QemuSettings &Run, QemuError::Kind Kind,
                     const std::vector<std::string> &Parts) {
    QemuMachine Machine(Run, Flash.data(), Flash.size());
    try {
      Machine.Start();
      const VARNELMM_RECORD_WORD_ARRAY Words = {0, 0, 0, 0, 0, 0};
      Machine.Request(Words);
      Machine.SaveFlash();
      ADD_FAILURE() << "no error";
    } catch (const QemuError &Error) {
      EXPECT_EQ(Error.What, Kind) << Error.what();
      for (const std::string &Part : Parts) {
        EXPECT_NE(std::string(Error.what()).find(Part), std::string::npos)
            << Part << " in " << Error.what();
      }
    }
    EXPECT_EQ(Flash, std::vector<uint8_t>(kFlashSize, 0xFF)) << "flash changed by a failed run";
  }

  std::vector<uint8_t> Flash;
};

TEST_F(QemuMachineTest, Requests_CarryRecordWindowConsoleAndFlash) {
  Flash[0x1FFFFF] = 0x5A;
  std::string Console;
  {
    QemuMachine Machine(Settings(), Flash.data(), Flash.size());
    ASSERT_EQ(Machine.Start(), 0u);
    EXPECT_NE(Machine.Image().Base, Machine.Image().PreferredBase);

    const VARNELMM_RECORD_WORD_ARRAY Info = {0, 0, 0, 0, 0, 0};
    const qemuhost::QemuAnswer Answer = Machine.Request(Info);
    EXPECT_EQ(Answer.Status, 0u);
    EXPECT_EQ(Answer.Words[0], 0xAABBCC00u);
    EXPECT_EQ(Answer.Words[4], kFlashSize);

    // A whole window programmed at 64 KiB, read back whole, and the last flash byte as it was.
    std::vector<uint8_t> Written(Machine.WindowSize());
    for (uint64_t Index = 0; Index < Written.size(); ++Index) {
      Written[Index] = static_cast<uint8_t>(Index * 7 + Index / 4096);
    }
    Machine.ToWindow(0, Written.data(), Written.size());
    const VARNELMM_RECORD_WORD_ARRAY Write = {
        2, kWindowAddress + 0x10000, Written.size(), Machine.WindowBase(), 0, 0};
    EXPECT_EQ(Machine.Request(Write).Words[0], 0xAABBCC00u);
    const std::vector<uint8_t> Zeros(Written.size(), 0);
    Machine.ToWindow(0, Zeros.data(), Zeros.size());
    const VARNELMM_RECORD_WORD_ARRAY Read = {
        1, kWindowAddress + 0x10000, Written.size(), Machine.WindowBase(), 0, 0};
    EXPECT_EQ(Machine.Request(Read).Words[0], 0xAABBCC00u);
    std::vector<uint8_t> Back(Written.size());
    Machine.FromWindow(0, Back.data(), Back.size());
    EXPECT_EQ(Back, Written);
    const VARNELMM_RECORD_WORD_ARRAY Last = {
        1, kWindowAddress + kFlashSize - 1, 1, Machine.WindowBase() + 5, 0, 0};
    Machine.Request(Last);
    Machine.FromWindow(5, Back.data(), 1);
    EXPECT_EQ(Back[0], 0x5A);

    // Outside every region: the warning line comes from the real PL011. A record cut to 8 bytes
    // ends at the end of the handler's page and gets its answer untouched.
    const VARNELMM_RECORD_WORD_ARRAY Refused = {3, kWindowAddress + 0x180000, 0x1000, 0, 0, 0};
    EXPECT_EQ(Machine.Request(Refused).Words[0], 0xAABBCC01u);
    const qemuhost::QemuAnswer Short = Machine.Request(Info, 8);
    EXPECT_EQ(Short.Status, 0x8000000000000004u);  // EFI_BAD_BUFFER_SIZE
    EXPECT_EQ(Short.Words[0], 0u);
    EXPECT_EQ(Flash[0x10000], 0xFF) << "flash changed before the run ended";
    uint8_t Peeked[2] = {};
    EXPECT_TRUE(Machine.PeekFlash(kWindowAddress + 0x10000, 2, Peeked));
    EXPECT_EQ(Peeked[1], Written[1]);
    EXPECT_FALSE(Machine.PeekFlash(kWindowAddress + kFlashSize - 1, 2, Peeked));
    Console = Machine.TakeConsole();
    EXPECT_EQ(Machine.TakeConsole(), "");
    Machine.SaveFlash();
  }
  EXPECT_EQ(Console,
            "SpiNorErase No write permission Offset 91B80000 - Len 1000\r\n"
            "VarnelMmiHandler Buffer too small, CommBufferSize 0x8\r\n");
  std::vector<uint8_t> Expected(kFlashSize, 0xFF);
  Expected[0x1FFFFF] = 0x5A;
  for (uint64_t Index = 0; Index < (1 << 20); ++Index) {
    Expected[0x10000 + Index] = static_cast<uint8_t>(Index * 7 + Index / 4096);
  }
  EXPECT_EQ(Flash, Expected);
}

TEST_F(QemuMachineTest, BrokenImages_AreReportedAndLeaveTheFlash) {
  char Directory[] = "/tmp/varnel-qemu-test-XXXXXX";
  ASSERT_NE(mkdtemp(Directory), nullptr);
  const std::string Undefined = std::string(Directory) + "/udf.efi";
  const std::string Spinning = std::string(Directory) + "/spin.efi";
  const std::string NotPe = std::string(Directory) + "/text.efi";
  const std::string Built = VARNELMM_QEMU_BIN_DIR "/VarnelMm.efi";
  const uint32_t EntryRva = imagepatch::EntryRva(Built);
  ASSERT_TRUE(imagepatch::Patch(Built, EntryRva, imagepatch::kUndefined, Undefined));
  ASSERT_TRUE(imagepatch::Patch(Built, EntryRva, imagepatch::kBranchToSelf, Spinning));
  char Entry[32];
  std::snprintf(Entry, sizeof(Entry), "VarnelMm.efi+0x%X", EntryRva);
  std::ofstream(NotPe) << "not an image";

  ExpectFailure(Settings(Undefined), QemuError::Kind::kFault,
                {"the image faulted in the driver at EL0: EC 0x0 (unknown reason (undefined "
                 "instruction)), ESR 0x2000000, at ELR",
                 Entry, "status 3"});
  QemuSettings Hang = Settings(Spinning);
  Hang.TimeoutSeconds = 3;
  ExpectFailure(
      Hang, QemuError::Kind::kHang,
      {"no answer within 3 s while waiting for the driver's entry point", Entry, "at EL0"});
  ExpectFailure(Settings(NotPe), QemuError::Kind::kFault, {"refused the run: not a PE image"});
  QemuSettings Missing = Settings();
  Missing.Qemu = std::string(Directory) + "/no-qemu";
  ExpectFailure(Missing, QemuError::Kind::kQemu, {"cannot start"});
  for (const std::string &Path : {Undefined, Spinning, NotPe}) {
    unlink(Path.c_str());
  }
  rmdir(Directory);
}

}  // namespace
