// SPDX-License-Identifier: BSD-3-Clause
// End-to-end fixture: the driver started through its entry point on the host models, requests
// sent through GUID dispatch, and helpers to read the firmware's call log and the console.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <initializer_list>
#include <string>

#include "config/VarnelMmConfig.h"
#include "driver/VarnelMmProtocol.h"
#include "models/HostPlatform.h"

namespace drivertest {

using namespace varnel;

// A 32 MiB part: the start-up patch fits boot row 1 to 0x1700000..0x1FFFFFF.
constexpr uint64_t kFlashSize = 0x2000000;
constexpr uint64_t kWindow = config::kFlashWindowBase;
constexpr uint64_t kNormalBase = 0x80000000;

struct Record {
  uint64_t W[kRecordWords];
};

inline models::HostPlatformOptions FixtureOptions() {
  models::HostPlatformOptions Options;
  Options.FlashSize = kFlashSize;
  Options.NormalWorldBase = kNormalBase;
  Options.NormalWorldSize = 0x10000;
  return Options;
}

class DriverTest : public ::testing::Test {
 protected:
  DriverTest() : Platform(FixtureOptions()) {}

  void SetUp() override { Start(); }

  // Starts the driver and forgets the start-up traffic.
  void Start() {
    ASSERT_EQ(Platform.StartDriver(), EFI_SUCCESS);
    Platform.Firmware().ClearLog();
    Platform.ClearConsole();
  }

  models::RequestResult Send(const Record &Words, uint64_t Size = kRecordBytes) {
    return Platform.Request(Words.W, Size);
  }
  models::RequestResult SendSigned(Record Words) {
    EXPECT_TRUE(Platform.Sign(Words.W));
    return Send(Words);
  }

  uint64_t Calls() { return Platform.Firmware().CallCount(); }
  const models::FirmwareCall &Call(uint64_t Index) {
    const models::FirmwareCall *Found = Platform.Firmware().FindCall(Index);
    EXPECT_NE(Found, nullptr);
    static const models::FirmwareCall kNone{};
    return Found != nullptr ? *Found : kNone;
  }
  // Checks the registers of call Index: x0..x7 in as listed (the rest 0), x0 out when given.
  void ExpectCallIn(uint64_t Index, std::initializer_list<uint64_t> In) {
    uint64_t Expected[8] = {};
    uint64_t Slot = 0;
    for (uint64_t Value : In) {
      Expected[Slot++] = Value;
    }
    const models::FirmwareCall &Made = Call(Index);
    for (uint64_t Word = 0; Word < 8; ++Word) {
      EXPECT_EQ(Made.In[Word], Expected[Word]) << "call " << Index << " x" << Word;
    }
  }

  std::string Console() { return Platform.ConsoleText(); }
  uint8_t *Flash(uint64_t Offset) { return Platform.FlashBytes(Offset); }
  uint8_t *Normal(uint64_t Offset) { return Platform.NormalWorld(kNormalBase + Offset, 1); }
  void SeedNormal(uint64_t Offset, uint8_t Value, uint64_t Length) {
    memset(Platform.NormalWorld(kNormalBase + Offset, Length), Value, Length);
  }
  bool FlashIs(uint64_t Offset, uint64_t Length, uint8_t Value) {
    for (uint64_t Index = 0; Index < Length; ++Index) {
      if (Flash(Offset)[Index] != Value) {
        return false;
      }
    }
    return true;
  }

  models::HostPlatform Platform;
};

}  // namespace drivertest
