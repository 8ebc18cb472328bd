// SPDX-License-Identifier: BSD-3-Clause
// The MM services table (EFI_MM_SYSTEM_TABLE of the PI specification, 64-bit layout) and the
// handler types the driver uses. Only Hdr.Revision, MmAllocatePool, MmFreePool,
// CurrentlyExecutingCpu and MmiHandlerRegister are used; the rest is laid out for position only.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/UefiTypes.h"

using EFI_HANDLE = void *;

enum EFI_MEMORY_TYPE : uint32_t {
  EfiRuntimeServicesData = 6,
};

struct EFI_TABLE_HEADER {
  uint64_t Signature;
  uint32_t Revision;
  uint32_t HeaderSize;
  uint32_t CRC32;
  uint32_t Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);
static_assert(offsetof(EFI_TABLE_HEADER, Revision) == 8);

using EFI_MM_HANDLER_ENTRY_POINT = EFI_STATUS (*)(EFI_HANDLE DispatchHandle, const void *Context,
                                                  void *CommBuffer, uint64_t *CommBufferSize);
using EFI_ALLOCATE_POOL = EFI_STATUS (*)(EFI_MEMORY_TYPE PoolType, uint64_t Size, void **Buffer);
using EFI_FREE_POOL = EFI_STATUS (*)(void *Buffer);
using EFI_MM_INTERRUPT_REGISTER = EFI_STATUS (*)(EFI_MM_HANDLER_ENTRY_POINT Handler,
                                                 const EFI_GUID *HandlerType,
                                                 EFI_HANDLE *DispatchHandle);
using EFI_UNUSED_SERVICE = void *;

struct EFI_MM_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  char16_t *MmFirmwareVendor;
  uint32_t MmFirmwareRevision;
  EFI_UNUSED_SERVICE MmInstallConfigurationTable;
  EFI_UNUSED_SERVICE MmIo[4];  // EFI_MM_CPU_IO_PROTOCOL: Mem.Read, Mem.Write, Io.Read, Io.Write
  EFI_ALLOCATE_POOL MmAllocatePool;
  EFI_FREE_POOL MmFreePool;
  EFI_UNUSED_SERVICE MmAllocatePages;
  EFI_UNUSED_SERVICE MmFreePages;
  EFI_UNUSED_SERVICE MmStartupThisAp;
  uint64_t CurrentlyExecutingCpu;
  uint64_t NumberOfCpus;
  uint64_t *CpuSaveStateSize;
  void **CpuSaveState;
  uint64_t NumberOfTableEntries;
  void *MmConfigurationTable;
  EFI_UNUSED_SERVICE MmInstallProtocolInterface;
  EFI_UNUSED_SERVICE MmUninstallProtocolInterface;
  EFI_UNUSED_SERVICE MmHandleProtocol;
  EFI_UNUSED_SERVICE MmRegisterProtocolNotify;
  EFI_UNUSED_SERVICE MmLocateHandle;
  EFI_UNUSED_SERVICE MmLocateProtocol;
  EFI_UNUSED_SERVICE MmiManage;
  EFI_MM_INTERRUPT_REGISTER MmiHandlerRegister;
  EFI_UNUSED_SERVICE MmiHandlerUnRegister;
};
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, Hdr) == 0);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmFirmwareVendor) == 24);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmFirmwareRevision) == 32);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmInstallConfigurationTable) == 40);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmIo) == 48);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmAllocatePool) == 80);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmFreePool) == 88);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmAllocatePages) == 96);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmFreePages) == 104);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmStartupThisAp) == 112);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, CurrentlyExecutingCpu) == 120);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, NumberOfCpus) == 128);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, CpuSaveStateSize) == 136);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, CpuSaveState) == 144);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, NumberOfTableEntries) == 152);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmConfigurationTable) == 160);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmInstallProtocolInterface) == 168);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmUninstallProtocolInterface) == 176);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmHandleProtocol) == 184);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmRegisterProtocolNotify) == 192);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmLocateHandle) == 200);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmLocateProtocol) == 208);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmiManage) == 216);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmiHandlerRegister) == 224);
static_assert(offsetof(EFI_MM_SYSTEM_TABLE, MmiHandlerUnRegister) == 232);
static_assert(sizeof(EFI_MM_SYSTEM_TABLE) == 240);

extern "C" {
// Image entry point, called once by the MM core.
EFI_STATUS VarnelMmEntryPoint(EFI_HANDLE ImageHandle, EFI_MM_SYSTEM_TABLE *MmSystemTable);
EFI_STATUS VarnelMmInit(EFI_HANDLE ImageHandle, EFI_MM_SYSTEM_TABLE *MmSystemTable);
// The request handler registered under VarnelMmGuid.
EFI_STATUS VarnelMmiHandler(EFI_HANDLE DispatchHandle, const void *Context, void *CommBuffer,
                            uint64_t *CommBufferSize);
}
