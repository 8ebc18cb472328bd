// SPDX-License-Identifier: BSD-3-Clause
// Host wiring: the seam reaches the models, and requests reach a registered handler through the
// MM core model. Stand-in entry points and handlers take the driver's place here.
#include "models/HostPlatform.h"

#include <gtest/gtest.h>

#include "arch/Arch.h"
#include "console/ConsoleSettings.h"

namespace {

using namespace models;
using namespace varnel;

struct StandIn {
  int Calls = 0;
  uint64_t Size = 0;
  uint64_t Word0 = 0;
  uint8_t *InFlight = nullptr;
  HostPlatform *Platform = nullptr;
};
StandIn gStandIn;

// Echoes the request: answers word 0 + 1 in word 0 when the record is whole.
EFI_STATUS EchoHandler(EFI_HANDLE, const void *, void *CommBuffer, uint64_t *CommBufferSize) {
  ++gStandIn.Calls;
  gStandIn.Size = *CommBufferSize;
  gStandIn.InFlight = gStandIn.Platform->CurrentRecord();
  if (*CommBufferSize >= 8) {
    uint64_t *Words = static_cast<uint64_t *>(CommBuffer);
    gStandIn.Word0 = Words[0];
    Words[0] += 1;
  }
  return EFI_SUCCESS;
}

EFI_STATUS StandInEntry(EFI_HANDLE, EFI_MM_SYSTEM_TABLE *Table) {
  EFI_HANDLE Handle = nullptr;
  return Table->MmiHandlerRegister(EchoHandler, &kVarnelMmGuid, &Handle);
}

class HostPlatformTest : public ::testing::Test {
 protected:
  HostPlatformTest() : Platform(Small()) {
    gStandIn = StandIn{};
    gStandIn.Platform = &Platform;
  }
  static HostPlatformOptions Small() {
    HostPlatformOptions Options;
    Options.FlashSize = 0x100000;
    return Options;
  }
  HostPlatform Platform;
};

TEST_F(HostPlatformTest, Request_ReachesTheRegisteredHandlerWithItsSize) {
  EXPECT_EQ(Platform.Request({7, 1, 2, 3, 4, 5}).Status, EFI_NOT_FOUND);  // nothing registered

  ASSERT_EQ(Platform.StartDriver(StandInEntry), EFI_SUCCESS);
  RequestResult Result = Platform.Request({7, 1, 2, 3, 4, 5});
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  EXPECT_EQ(gStandIn.Size, kRecordBytes);
  EXPECT_EQ(gStandIn.Word0, 7u);
  EXPECT_NE(gStandIn.InFlight, nullptr);
  EXPECT_EQ(Result.Words[0], 8u);
  EXPECT_EQ(Result.Words[5], 5u);
  EXPECT_EQ(Result.CommBufferSize, kRecordBytes);
  EXPECT_EQ(Platform.CurrentRecord(), nullptr);  // only during a request

  // Shorter and longer buffers: the handler sees the size; missing words read back as 0.
  Result = Platform.Request({7, 1, 2, 3, 4, 5}, 16);
  EXPECT_EQ(gStandIn.Size, 16u);
  EXPECT_EQ(Result.Words[1], 1u);
  EXPECT_EQ(Result.Words[2], 0u);
  Result = Platform.Request({7, 1, 2, 3, 4, 5}, 64);
  EXPECT_EQ(gStandIn.Size, 64u);
  EXPECT_EQ(Result.Words[5], 5u);

  uint8_t Raw[3] = {1, 2, 3};
  uint8_t After[3] = {};
  EXPECT_EQ(Platform.RequestRaw(Raw, sizeof(Raw), After), EFI_SUCCESS);
  EXPECT_EQ(gStandIn.Size, 3u);
  EXPECT_EQ(After[0], 1u);
  EXPECT_EQ(Platform.RequestRaw(Raw, sizeof(Raw), nullptr, EFI_GUID{}), EFI_NOT_FOUND);
}

TEST_F(HostPlatformTest, StartDriver_UsesTheConfiguredTable) {
  HostPlatformOptions Options = Small();
  Options.Revision = 0x10031;
  Options.CurrentlyExecutingCpu = 5;
  HostPlatform Other(Options);
  const EFI_STATUS Status = Other.StartDriver([](EFI_HANDLE, EFI_MM_SYSTEM_TABLE *Table) {
    return static_cast<EFI_STATUS>(Table->Hdr.Revision * 100 + Table->CurrentlyExecutingCpu);
  });
  EXPECT_EQ(Status, 0x10031u * 100 + 5);
}

TEST_F(HostPlatformTest, Seam_RoutesSecureCallsMmioAndBreakpoints) {
  ServiceArgumentBlock Block = {{kFlashServiceId, kSubGetInfo}};
  CallSecureService(&Block);
  EXPECT_EQ(Block.Word[0], 0u);
  EXPECT_EQ(Block.Word[3], 0x100000u);
  EXPECT_EQ(Platform.Firmware().CallCount(), 1u);

  // A pool buffer of the MM core translates; the firmware resolves it back to the same bytes.
  void *Buffer = nullptr;
  ASSERT_EQ(Platform.Core().Table()->MmAllocatePool(EfiRuntimeServicesData, 0x28, &Buffer),
            EFI_SUCCESS);
  Block = ServiceArgumentBlock{{kTranslateAddressId, 0, reinterpret_cast<uintptr_t>(Buffer)}};
  CallSecureService(&Block);
  EXPECT_EQ(Block.Word[0], 0u);
  EXPECT_EQ(Platform.Firmware().ResolveSecure(Block.Word[1], 0x28), Buffer);
  EXPECT_EQ(Platform.Core().Table()->MmFreePool(Buffer), EFI_SUCCESS);

  MmioWrite8(console::kBase, 'o');
  MmioWrite8(console::kBase, 'k');
  EXPECT_EQ(Platform.ConsoleText(), "ok");
  EXPECT_EQ(MmioRead32(console::kBase + pl011::kFr) & pl011::kFrTxff, 0u);
  Platform.ClearConsole();
  EXPECT_EQ(Platform.ConsoleText(), "");
  EXPECT_EQ(MmioRead32(0x1000), 0u);
  MmioWrite32(console::kBase + Pl011Model::kWindowSize, 1);
  EXPECT_EQ(Platform.StrayMmioCount(), 2u);

  BreakpointTrap();
  EXPECT_EQ(Platform.BreakpointCount(), 1u);
}

TEST_F(HostPlatformTest, Sign_FillsAuthInfoOfSecureFunctionsOnly) {
  uint64_t Erase[kRecordWords] = {kFunctionSecureErase, 0x91A00000, 0x1000, 0, 0, 0x77};
  ASSERT_TRUE(Platform.Sign(Erase));
  EXPECT_EQ(Erase[kWordAuthInfoShort],
            ComputeRequestMac(Platform.Firmware().CurrentKey(), Erase, kSignedPartShort));
  EXPECT_EQ(Erase[5], 0x77u);

  uint64_t Write[kRecordWords] = {kFunctionSecureWrite, 0x91A00000, 0x10, 0x80000000, 9, 0};
  ASSERT_TRUE(Platform.Sign(Write));
  EXPECT_EQ(Write[kWordAuthInfoLong],
            ComputeRequestMac(Platform.Firmware().CurrentKey(), Write, kSignedPartLong));

  uint64_t Plain[kRecordWords] = {kFunctionWrite, 1, 2, 3, 4, 5};
  EXPECT_FALSE(Platform.Sign(Plain));
  EXPECT_EQ(Plain[5], 5u);
}

TEST_F(HostPlatformTest, NormalWorld_IsTheFirmwaresBufferWindow) {
  uint8_t *Bytes = Platform.NormalWorld(Platform.NormalWorldBase() + 0x10, 4);
  ASSERT_NE(Bytes, nullptr);
  memcpy(Bytes, "\x12\x34\x56\x78", 4);
  ServiceArgumentBlock Block = {
      {kFlashServiceId, kSubWrite, 0x91A00000, 4, Platform.NormalWorldBase() + 0x10}};
  CallSecureService(&Block);
  EXPECT_EQ(Block.Word[0], 0u);
  EXPECT_EQ(Platform.FlashBytes()[3], 0x78);
  EXPECT_EQ(Platform.NormalWorld(Platform.NormalWorldBase() - 1, 1), nullptr);
}

}  // namespace

namespace {

using namespace models;

TEST(HostPlatformEvents, PoolCallsSecureCallsAndBreakpoints_InOrder) {
  HostPlatformOptions Options;
  Options.FlashSize = 0x10000;
  HostPlatform Platform(Options);
  EFI_MM_SYSTEM_TABLE *Table = Platform.Core().Table();
  void *Buffer = nullptr;
  Platform.Core().FailNextAllocations(1);
  EXPECT_EQ(Table->MmAllocatePool(EfiRuntimeServicesData, 0x20, &Buffer), EFI_OUT_OF_RESOURCES);
  ASSERT_EQ(Table->MmAllocatePool(EfiRuntimeServicesData, 0x28, &Buffer), EFI_SUCCESS);
  ServiceArgumentBlock Block = {{varnel::kFlashServiceId, varnel::kSubErase, 1}};
  CallSecureService(&Block);
  EXPECT_EQ(Table->MmFreePool(Buffer), EFI_SUCCESS);
  BreakpointTrap();

  const std::vector<PlatformEvent> &Events = Platform.Events();
  ASSERT_EQ(Events.size(), 5u);
  EXPECT_EQ(Events[0].Kind, PlatformEventKind::kAllocatePool);
  EXPECT_EQ(Events[0].B, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Events[0].C, 0u);
  EXPECT_EQ(Events[1].A, 0x28u);
  EXPECT_EQ(Events[1].C, reinterpret_cast<uintptr_t>(Buffer));
  EXPECT_EQ(Events[2].Kind, PlatformEventKind::kSecureCall);
  EXPECT_EQ(Events[2].B, varnel::kSubErase);
  EXPECT_EQ(Events[2].C, kFwInvalidParameter);  // address 1 is below the flash window
  EXPECT_EQ(Events[3].Kind, PlatformEventKind::kFreePool);
  EXPECT_EQ(Events[3].A, reinterpret_cast<uintptr_t>(Buffer));
  EXPECT_EQ(Events[4].Kind, PlatformEventKind::kBreakpoint);

  for (uint64_t Index = 0; Index < HostPlatform::kMaxEvents; ++Index) {
    BreakpointTrap();
  }
  EXPECT_LE(Platform.Events().size(), HostPlatform::kMaxEvents);
  EXPECT_EQ(Platform.Events().size() + Platform.DroppedEvents(), HostPlatform::kMaxEvents + 5);
  Platform.ClearEvents();
  EXPECT_TRUE(Platform.Events().empty());
}

}  // namespace
