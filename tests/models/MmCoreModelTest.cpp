// SPDX-License-Identifier: BSD-3-Clause
// MM core model: the services table, pool accounting and faults, handler registration, dispatch.
#include "models/MmCoreModel.h"

#include <gtest/gtest.h>

#include <vector>

#include "driver/VarnelMmProtocol.h"

namespace {

using namespace models;

constexpr EFI_GUID kOtherGuid = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
constexpr EFI_STATUS kWarning = 4;  // a positive warning status

TEST(MmCoreTable, EntriesReachTheActiveModel) {
  MmCoreModel Core;
  EFI_MM_SYSTEM_TABLE *Table = Core.Table();
  EXPECT_EQ(Table->Hdr.Revision, 0x10032u);
  Core.SetRevision(0x10031);
  Core.SetCurrentlyExecutingCpu(3);
  EXPECT_EQ(Table->Hdr.Revision, 0x10031u);
  EXPECT_EQ(Table->CurrentlyExecutingCpu, 3u);

  void *Buffer = nullptr;
  ASSERT_EQ(Table->MmAllocatePool(EfiRuntimeServicesData, 0x28, &Buffer), EFI_SUCCESS);
  EXPECT_TRUE(Core.InArena(Buffer));
  EXPECT_EQ(Table->MmFreePool(Buffer), EFI_SUCCESS);
  EXPECT_EQ(Core.FreeCount(), 1u);
}

TEST(MmCoreTable, StartImage_PassesTheTableAndReturnsTheEntryStatus) {
  static EFI_MM_SYSTEM_TABLE *Seen = nullptr;
  static EFI_HANDLE SeenHandle = nullptr;
  MmCoreModel Core;
  const EFI_STATUS Status = Core.StartImage(
      [](EFI_HANDLE Image, EFI_MM_SYSTEM_TABLE *Table) -> EFI_STATUS {
        Seen = Table;
        SeenHandle = Image;
        return EFI_INCOMPATIBLE_VERSION;
      },
      &Seen);
  EXPECT_EQ(Status, EFI_INCOMPATIBLE_VERSION);
  EXPECT_EQ(Seen, Core.Table());
  EXPECT_EQ(SeenHandle, &Seen);
}

TEST(MmCorePool, Accounting_TracksEveryCallAndLiveBuffer) {
  MmCoreModel Core;
  void *First = nullptr;
  void *Second = nullptr;
  ASSERT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 0x28, &First), EFI_SUCCESS);
  ASSERT_EQ(Core.AllocatePool(static_cast<EFI_MEMORY_TYPE>(4), 0x20, &Second), EFI_SUCCESS);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(First) % MmCoreModel::kPoolAlignment, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(Second) % MmCoreModel::kPoolAlignment, 0u);
  // Buffers do not overlap and both are fully writable.
  memset(First, 0xAA, 0x28);
  memset(Second, 0xBB, 0x20);
  EXPECT_EQ(static_cast<uint8_t *>(First)[0x27], 0xAA);
  EXPECT_EQ(Core.LiveAllocationCount(), 2u);
  EXPECT_EQ(Core.LiveBytes(), 0x48u);

  const PoolAllocationRecord *Record = Core.FindAllocation(1);
  ASSERT_NE(Record, nullptr);
  EXPECT_EQ(Record->PoolType, 4u);
  EXPECT_EQ(Record->Size, 0x20u);
  EXPECT_EQ(Record->Buffer, Second);
  EXPECT_EQ(Core.LastAllocation(), Record);

  EXPECT_EQ(Core.FreePool(First), EFI_SUCCESS);
  EXPECT_EQ(Core.FreePool(First), EFI_INVALID_PARAMETER);  // double free
  EXPECT_EQ(Core.FreePool(static_cast<uint8_t *>(Second) + 8), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Core.FreePool(nullptr), EFI_INVALID_PARAMETER);
  int Outside = 0;
  EXPECT_EQ(Core.FreePool(&Outside), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Core.FreePool(Second), EFI_SUCCESS);

  EXPECT_EQ(Core.AllocateCallCount(), 2u);
  EXPECT_EQ(Core.AllocationCount(), 2u);
  EXPECT_EQ(Core.FreeCallCount(), 6u);
  EXPECT_EQ(Core.FreeCount(), 2u);
  EXPECT_EQ(Core.LiveAllocationCount(), 0u);
  EXPECT_EQ(Core.PeakLiveAllocations(), 2u);
}

TEST(MmCorePool, Space_IsReusedAndExhaustionFails) {
  std::vector<uint8_t> Arena(256);
  MmCoreModel Core(Arena.data(), Arena.size());
  std::vector<void *> Buffers;
  void *Buffer = nullptr;
  while (Core.AllocatePool(EfiRuntimeServicesData, 0x20, &Buffer) == EFI_SUCCESS) {
    EXPECT_GE(static_cast<uint8_t *>(Buffer), Arena.data());
    EXPECT_LE(static_cast<uint8_t *>(Buffer) + 0x20, Arena.data() + Arena.size());
    Buffers.push_back(Buffer);
  }
  ASSERT_GE(Buffers.size(), 2u);
  EXPECT_EQ(Core.LastAllocation()->Status, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Core.LastAllocation()->Buffer, nullptr);
  // Freeing one makes exactly its room available again.
  ASSERT_EQ(Core.FreePool(Buffers[1]), EFI_SUCCESS);
  ASSERT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 0x20, &Buffer), EFI_SUCCESS);
  EXPECT_EQ(Buffer, Buffers[1]);
  EXPECT_EQ(Core.AllocatePool(EfiRuntimeServicesData, Arena.size() + 1, &Buffer),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 8, nullptr), EFI_INVALID_PARAMETER);
}

TEST(MmCorePool, AllocationFaults_NextCountAndByIndex) {
  MmCoreModel Core;
  void *Buffer = nullptr;
  Core.FailNextAllocations(2);
  EXPECT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 8, &Buffer), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 8, &Buffer), EFI_OUT_OF_RESOURCES);
  ASSERT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 8, &Buffer), EFI_SUCCESS);
  ASSERT_EQ(Core.FreePool(Buffer), EFI_SUCCESS);

  Core.FailAllocation(4, EFI_DEVICE_ERROR);  // calls are counted from 0: this is the fifth
  EXPECT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 8, &Buffer), EFI_SUCCESS);  // index 3
  ASSERT_EQ(Core.FreePool(Buffer), EFI_SUCCESS);
  EXPECT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 8, &Buffer), EFI_DEVICE_ERROR);
  EXPECT_EQ(Core.FindAllocation(4)->Status, EFI_DEVICE_ERROR);
  EXPECT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 8, &Buffer), EFI_SUCCESS);
  EXPECT_EQ(Core.AllocationCount(), 3u);
  EXPECT_EQ(Core.LiveAllocationCount(), 1u);
}

TEST(MmCorePool, FreeFaults_AnswerOnceOrAlwaysAndMayKeepTheBuffer) {
  MmCoreModel Core;
  void *Buffer = nullptr;
  ASSERT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 8, &Buffer), EFI_SUCCESS);
  Core.SetFreeAnswer(EFI_INVALID_PARAMETER, FreeFaultMode::kOnce, /*StillFree=*/true);
  EXPECT_EQ(Core.FreePool(Buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Core.LiveAllocationCount(), 0u);

  ASSERT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 8, &Buffer), EFI_SUCCESS);
  Core.SetFreeAnswer(EFI_DEVICE_ERROR, FreeFaultMode::kAlways, /*StillFree=*/false);
  EXPECT_EQ(Core.FreePool(Buffer), EFI_DEVICE_ERROR);
  EXPECT_EQ(Core.FreePool(Buffer), EFI_DEVICE_ERROR);
  EXPECT_EQ(Core.LiveAllocationCount(), 1u);
  Core.ClearPoolFaults();
  EXPECT_EQ(Core.FreePool(Buffer), EFI_SUCCESS);
  EXPECT_EQ(Core.LiveAllocationCount(), 0u);
}

struct HandlerLog {
  int Calls = 0;
  void *CommBuffer = nullptr;
  uint64_t Size = 0;
};
HandlerLog gHandlerLog;

EFI_STATUS RecordingHandler(EFI_HANDLE, const void *, void *CommBuffer, uint64_t *CommBufferSize) {
  ++gHandlerLog.Calls;
  gHandlerLog.CommBuffer = CommBuffer;
  gHandlerLog.Size = *CommBufferSize;
  *CommBufferSize = 8;  // handlers may report a different size back
  return EFI_ACCESS_DENIED;
}

EFI_STATUS OtherHandler(EFI_HANDLE, const void *, void *, uint64_t *) {
  return EFI_SUCCESS;
}

TEST(MmCoreHandlers, RegisterAnswer_DecidesWhetherTheHandlerIsKept) {
  MmCoreModel Core;
  EFI_HANDLE Handle = nullptr;
  Core.SetRegisterAnswer(EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Core.Table()->MmiHandlerRegister(RecordingHandler, &varnel::kVarnelMmGuid, &Handle),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Core.HandlerCount(), 0u);

  Core.SetRegisterAnswer(kWarning);
  EXPECT_EQ(Core.Table()->MmiHandlerRegister(RecordingHandler, &varnel::kVarnelMmGuid, &Handle),
            kWarning);
  ASSERT_EQ(Core.HandlerCount(), 1u);
  EXPECT_NE(Handle, nullptr);
  EXPECT_EQ(Core.FindHandler(varnel::kVarnelMmGuid), &RecordingHandler);
  EXPECT_EQ(Core.FindHandler(kOtherGuid), nullptr);

  EXPECT_EQ(Core.RegisterHandler(nullptr, &kOtherGuid, &Handle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Core.RegisterHandler(OtherHandler, &kOtherGuid, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Core.RegisterCallCount(), 4u);
}

// A communicate buffer: header, then Message bytes, sized exactly.
std::vector<uint8_t> CommunicateBuffer(const EFI_GUID &Guid, uint64_t MessageLength,
                                       uint64_t Extra = 0) {
  std::vector<uint8_t> Buffer(kMmCommunicateHeaderSize + MessageLength + Extra, 0x5A);
  const MmCommunicateHeader Header{Guid, MessageLength};
  memcpy(Buffer.data(), &Header, sizeof(Header));
  return Buffer;
}

TEST(MmCoreHandlers, Dispatch_FindsTheHandlerByGuidAndPassesTheMessage) {
  MmCoreModel Core;
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(Core.RegisterHandler(OtherHandler, &kOtherGuid, &Handle), EFI_SUCCESS);
  ASSERT_EQ(Core.RegisterHandler(RecordingHandler, &varnel::kVarnelMmGuid, &Handle), EFI_SUCCESS);
  gHandlerLog = HandlerLog{};

  std::vector<uint8_t> Buffer = CommunicateBuffer(varnel::kVarnelMmGuid, varnel::kRecordBytes, 16);
  EXPECT_EQ(Core.Dispatch(Buffer.data(), Buffer.size()), EFI_ACCESS_DENIED);
  EXPECT_EQ(gHandlerLog.Calls, 1);
  EXPECT_EQ(gHandlerLog.CommBuffer, Buffer.data() + kMmCommunicateHeaderSize);
  EXPECT_EQ(gHandlerLog.Size, varnel::kRecordBytes);
  uint64_t SizeAfter = 0;
  memcpy(&SizeAfter, Buffer.data() + 16, 8);
  EXPECT_EQ(SizeAfter, 8u);
  EXPECT_EQ(Core.DispatchCount(), 1u);
}

TEST(MmCoreHandlers, Dispatch_RefusesUnknownGuidsAndBadSizes) {
  MmCoreModel Core;
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(Core.RegisterHandler(RecordingHandler, &varnel::kVarnelMmGuid, &Handle), EFI_SUCCESS);
  gHandlerLog = HandlerLog{};

  std::vector<uint8_t> Unknown = CommunicateBuffer(kOtherGuid, varnel::kRecordBytes);
  EXPECT_EQ(Core.Dispatch(Unknown.data(), Unknown.size()), EFI_NOT_FOUND);
  std::vector<uint8_t> Long = CommunicateBuffer(varnel::kVarnelMmGuid, varnel::kRecordBytes + 1);
  EXPECT_EQ(Core.Dispatch(Long.data(), Long.size() - 1), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(Core.Dispatch(Long.data(), kMmCommunicateHeaderSize - 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Core.Dispatch(nullptr, 100), EFI_INVALID_PARAMETER);
  EXPECT_EQ(gHandlerLog.Calls, 0);

  // A zero-length message still reaches the handler.
  std::vector<uint8_t> Empty = CommunicateBuffer(varnel::kVarnelMmGuid, 0);
  EXPECT_EQ(Core.Dispatch(Empty.data(), Empty.size()), EFI_ACCESS_DENIED);
  EXPECT_EQ(gHandlerLog.Size, 0u);
}

TEST(MmCoreTable, WithoutAnActiveModel_ServicesAnswerNotReady) {
  EFI_MM_SYSTEM_TABLE Copy;
  {
    MmCoreModel Core;
    Copy = *Core.Table();
  }
  EXPECT_EQ(MmCoreModel::Active(), nullptr);
  void *Buffer = nullptr;
  EXPECT_EQ(Copy.MmAllocatePool(EfiRuntimeServicesData, 8, &Buffer), EFI_NOT_READY);
  EXPECT_EQ(Copy.MmFreePool(&Buffer), EFI_NOT_READY);
}

}  // namespace

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
namespace {

// Under AddressSanitizer every arena byte outside a live buffer is poisoned, so a driver that
// overruns or reuses a staging buffer is stopped at the faulty access.
TEST(MmCorePoolDeathTest, AccessOutsideALiveBuffer_IsCaught) {
  models::MmCoreModel Core;
  void *Buffer = nullptr;
  ASSERT_EQ(Core.AllocatePool(EfiRuntimeServicesData, 0x28, &Buffer), EFI_SUCCESS);
  volatile uint8_t *Bytes = static_cast<volatile uint8_t *>(Buffer);
  Bytes[0x27] = 1;
  EXPECT_DEATH(Bytes[0x28] = 1, "use-after-poison");
  ASSERT_EQ(Core.FreePool(Buffer), EFI_SUCCESS);
  EXPECT_DEATH((void)Bytes[0], "use-after-poison");
}

}  // namespace
#endif
#endif
