// SPDX-License-Identifier: BSD-3-Clause
// The models behind the driver's supervisor calls, its services table and its handler calls.
#include "qemu/QemuModels.h"

#include <stddef.h>

#include "driver/VarnelMmProtocol.h"
#include "qemu/MemoryMap.h"
#include "qemu/RecordTrap.h"
#include "qemu/Semihosting.h"
#include "qemu/Trap.h"

inline void *operator new(size_t, void *Where) noexcept {
  return Where;
}

extern "C" char El0AllocatePool[], El0FreePool[], El0HandlerRegister[];

namespace supervisor {
namespace {

constexpr uint64_t kCommBufferSizeAddress = kServicesTableAddress + 0x800;

alignas(models::NorFlash) uint8_t gFlashStorage[sizeof(models::NorFlash)];
alignas(models::SecureFirmwareModel) uint8_t gFirmwareStorage[sizeof(models::SecureFirmwareModel)];
alignas(models::MmCoreModel) uint8_t gCoreStorage[sizeof(models::MmCoreModel)];
ModelSet gModels = {};
FlashChangeObserver gFlashChanged = nullptr;
SecureCallObserver gSecureCallObserver = nullptr;
bool gRecordVerdicts = true;

void Fill64(uint64_t Address, uint64_t Bytes, uint64_t Value) {
  auto *Words = reinterpret_cast<volatile uint64_t *>(Address);
  for (uint64_t Index = 0; Index < Bytes / 8; ++Index) {
    Words[Index] = Value;
  }
}

void Copy(uint64_t To, uint64_t From, uint64_t Bytes) {
  for (uint64_t Index = 0; Index < Bytes; ++Index) {
    reinterpret_cast<volatile uint8_t *>(To)[Index] =
        reinterpret_cast<const volatile uint8_t *>(From)[Index];
  }
}

// ---- The EL1 side of the driver's supervisor calls ------------------------------------------

void ServeSecureService(TrapFrame *Frame) {
  ServiceArgumentBlock Block;
  uint64_t In[8];
  for (int Index = 0; Index < 8; ++Index) {
    Block.Word[Index] = Frame->X[Index];
    In[Index] = Frame->X[Index];
  }
  const uint64_t Programs = gModels.Flash->ProgramCount();
  const uint64_t Erases = gModels.Flash->EraseCount();
  gModels.Firmware->Handle(&Block);
  if (gFlashChanged != nullptr &&
      (gModels.Flash->ProgramCount() != Programs || gModels.Flash->EraseCount() != Erases)) {
    gFlashChanged(Frame->X[2], Frame->X[3]);
  }
  for (int Index = 0; Index < 4; ++Index) {
    Frame->X[Index] = Block.Word[Index];
  }
  if (gSecureCallObserver != nullptr) {
    const uint64_t Out[4] = {Block.Word[0], Block.Word[1], Block.Word[2], Block.Word[3]};
    gSecureCallObserver(In, Out);
  }
}

void ServeAllocatePool(TrapFrame *Frame) {
  if (!IsEl0Memory(Frame->X[2], sizeof(uint64_t))) {
    FatalTrap("MmAllocatePool: result pointer outside EL0 memory", Frame, kExitDriverFault);
  }
  Frame->X[0] = gModels.Core->AllocatePool(static_cast<EFI_MEMORY_TYPE>(Frame->X[0]), Frame->X[1],
                                           reinterpret_cast<void **>(Frame->X[2]));
}

void ServeFreePool(TrapFrame *Frame) {
  Frame->X[0] = gModels.Core->FreePool(reinterpret_cast<void *>(Frame->X[0]));
}

void ServeHandlerRegister(TrapFrame *Frame) {
  if (!IsEl0Memory(Frame->X[1], sizeof(EFI_GUID)) ||
      (Frame->X[2] != 0 && !IsEl0Memory(Frame->X[2], sizeof(uint64_t)))) {
    FatalTrap("MmiHandlerRegister: pointer outside EL0 memory", Frame, kExitDriverFault);
  }
  Frame->X[0] = gModels.Core->RegisterHandler(
      reinterpret_cast<EFI_MM_HANDLER_ENTRY_POINT>(Frame->X[0]),
      reinterpret_cast<const EFI_GUID *>(Frame->X[1]), reinterpret_cast<EFI_HANDLE *>(Frame->X[2]));
}

constexpr SupervisorServices kServices = {ServeSecureService, ServeAllocatePool, ServeFreePool,
                                          ServeHandlerRegister};

}  // namespace

const ModelSet &BuildModels(uint64_t FlashSize, const models::MemoryWindow &NormalWorld) {
  if (gModels.Core != nullptr) {
    gModels.Core->~MmCoreModel();
    gModels.Firmware->~SecureFirmwareModel();
    gModels.Flash->~NorFlash();
  }
  Fill64(kPoolArenaAddress, kPoolArenaBytes, 0);
  Fill64(kServicesTableAddress, kPageSize, 0);
  gModels.Flash = new (gFlashStorage)
      models::NorFlash(reinterpret_cast<uint8_t *>(kFlashStorageAddress), FlashSize);
  gModels.Firmware =
      new (gFirmwareStorage) models::SecureFirmwareModel(*gModels.Flash, NormalWorld);
  gModels.Firmware->SetPoolArena(kPoolArenaAddress, kPoolArenaBytes);
  gModels.Core = new (gCoreStorage)
      models::MmCoreModel(reinterpret_cast<uint8_t *>(kPoolArenaAddress), kPoolArenaBytes);
  InstallServices(&kServices);
  return gModels;
}

void SetFlashChangeObserver(FlashChangeObserver Observer) {
  gFlashChanged = Observer;
}

void SetSecureCallObserver(SecureCallObserver Observer) {
  gSecureCallObserver = Observer;
}

void SetRecordVerdicts(bool On) {
  gRecordVerdicts = On;
}

uint64_t RecordAddress(uint64_t CommBufferSize, RecordShape Shape) {
  // The record starts on a word boundary, as a PI communicate buffer's message does; a size
  // beyond the page places it at the page's start (the handler reads at most the record).
  const uint64_t Placed = CommBufferSize < kCommBufferBytes ? CommBufferSize : kCommBufferBytes;
  return ((kCommBufferAddress + kCommBufferBytes - Placed) & ~uint64_t{7}) -
         (Shape.Misaligned ? 1 : 0);
}

EFI_STATUS StartDriverAtEl0(const LoadedImage &Image) {
  gModels.Core->Activate();
  // The table the driver sees: the model's header and data, and EL0 trampolines in place of the
  // services it uses. Services it must not use stay null, so calling one faults.
  auto *Table = reinterpret_cast<EFI_MM_SYSTEM_TABLE *>(kServicesTableAddress);
  const EFI_MM_SYSTEM_TABLE *Model = gModels.Core->Table();
  *Table = EFI_MM_SYSTEM_TABLE{};
  Table->Hdr = Model->Hdr;
  Table->CurrentlyExecutingCpu = Model->CurrentlyExecutingCpu;
  Table->NumberOfCpus = Model->NumberOfCpus;
  Table->MmAllocatePool = reinterpret_cast<EFI_ALLOCATE_POOL>(El0AllocatePool);
  Table->MmFreePool = reinterpret_cast<EFI_FREE_POOL>(El0FreePool);
  Table->MmiHandlerRegister = reinterpret_cast<EFI_MM_INTERRUPT_REGISTER>(El0HandlerRegister);
  return CallAtEl0(Image.EntryPoint, Image.Base, kServicesTableAddress);
}

EFI_STATUS CallHandlerAtEl0(VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t CommBufferSize,
                            RecordShape Shape) {
  const EFI_MM_HANDLER_ENTRY_POINT Handler = gModels.Core->FindHandler(varnel::kVarnelMmGuid);
  if (Handler == nullptr) {
    return EFI_NOT_FOUND;
  }
  const uint64_t Placed = CommBufferSize < kCommBufferBytes ? CommBufferSize : kCommBufferBytes;
  const uint64_t Record = RecordAddress(CommBufferSize, Shape);
  const uint64_t Bytes = Placed < sizeof(Words) ? Placed : sizeof(Words);
  Fill64(kCommBufferAddress, kCommBufferBytes, 0);
  Copy(Record, reinterpret_cast<uint64_t>(Words), Bytes);
  *reinterpret_cast<volatile uint64_t *>(kCommBufferSizeAddress) = CommBufferSize;
  gModels.Core->SetMessageInFlight(reinterpret_cast<uint8_t *>(Record), Placed);
  BeginRecordWatch({Record, CommBufferSize, gRecordVerdicts, !Shape.NullBuffer && !Shape.NullSize});
  const EFI_STATUS Status =
      CallAtEl0(reinterpret_cast<uint64_t>(Handler), 0, 0, Shape.NullBuffer ? 0 : Record,
                Shape.NullSize ? 0 : kCommBufferSizeAddress);
  EndRecordWatch();
  gModels.Core->SetMessageInFlight(nullptr, 0);
  Copy(reinterpret_cast<uint64_t>(Words), Record, Bytes);
  return Status;
}

}  // namespace supervisor
