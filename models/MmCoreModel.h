// SPDX-License-Identifier: BSD-3-Clause
// An MM core as the driver sees it: an EFI_MM_SYSTEM_TABLE whose pool and handler-registration
// services are served by this model, a pool over a fixed arena with accounting and fault
// injection, GUID dispatch of communicate buffers, and the call of an image entry point.
//
// The services table holds plain function pointers with no context argument, so the services
// reach the model through one module-level "active model" pointer. A model becomes active when it
// is constructed and whenever Activate(), StartImage() or Dispatch() is called on it; its
// destructor clears the pointer if it is still the active one. A service called with no active
// model answers EFI_NOT_READY. One active model per program at a time.
//
// Pool: allocations are 16-byte aligned and separated by red zones. Built with AddressSanitizer,
// every arena byte outside a live allocation is poisoned, so a read past a pool buffer is caught.
#pragma once

#include <stdint.h>

#include "driver/MmServices.h"

namespace models {

// The header that precedes the message in a communicate buffer.
struct MmCommunicateHeader {
  EFI_GUID HeaderGuid;
  uint64_t MessageLength;
  // uint8_t Data[MessageLength] follows.
};
static_assert(sizeof(MmCommunicateHeader) == 24);
constexpr uint64_t kMmCommunicateHeaderSize = sizeof(MmCommunicateHeader);

enum class FreeFaultMode : uint8_t { kOff, kOnce, kAlways };

struct PoolAllocationRecord {
  uint64_t Sequence;  // index of the MmAllocatePool call, from 0
  EFI_MEMORY_TYPE PoolType;
  uint64_t Size;
  EFI_STATUS Status;
  void *Buffer;  // null when the call failed
};

enum class PoolEvent : uint8_t { kAllocate, kFree };
// Told about every MmAllocatePool / MmFreePool call after it is decided: the buffer (null for a
// failed allocation), the requested size (0 for a free) and the status answered.
using PoolObserver = void (*)(void *Context, PoolEvent Event, void *Buffer, uint64_t Size,
                              EFI_STATUS Status);

struct RegisteredHandler {
  EFI_MM_HANDLER_ENTRY_POINT Handler;
  EFI_GUID HandlerType;
};

class MmCoreModel {
 public:
  static constexpr uint64_t kInternalArenaSize = 16 * 1024;
  static constexpr uint32_t kMaxLiveAllocations = 64;
  static constexpr uint32_t kAllocationHistory = 64;
  static constexpr uint32_t kMaxHandlers = 8;
  static constexpr uint64_t kPoolAlignment = 16;
  static constexpr uint64_t kRedZone = 16;
  static constexpr uint32_t kDefaultRevision = 0x10032;

  // Pool over the model's internal arena.
  MmCoreModel();
  // Pool over caller-provided memory, which must outlive the model.
  MmCoreModel(uint8_t *Arena, uint64_t ArenaSize);
  ~MmCoreModel();
  MmCoreModel(const MmCoreModel &) = delete;
  MmCoreModel &operator=(const MmCoreModel &) = delete;

  void Activate();
  static MmCoreModel *Active();

  EFI_MM_SYSTEM_TABLE *Table() { return &Table_; }
  void SetRevision(uint32_t Revision) { Table_.Hdr.Revision = Revision; }
  void SetCurrentlyExecutingCpu(uint64_t Cpu) { Table_.CurrentlyExecutingCpu = Cpu; }

  // Calls an image entry point with the table (after Activate()); returns its status.
  EFI_STATUS StartImage(EFI_STATUS (*EntryPoint)(EFI_HANDLE, EFI_MM_SYSTEM_TABLE *),
                        EFI_HANDLE ImageHandle = nullptr);

  // --- Handler registration and dispatch ---------------------------------------------------
  // The status MmiHandlerRegister answers: EFI_SUCCESS (default), a positive warning or an error.
  // The handler is recorded only when the answer is not an error.
  void SetRegisterAnswer(EFI_STATUS Status) { RegisterAnswer_ = Status; }
  uint32_t HandlerCount() const { return HandlerCount_; }
  const RegisteredHandler &Handler(uint32_t Index) const { return Handlers_[Index]; }
  uint64_t RegisterCallCount() const { return RegisterCalls_; }
  // First registered handler for Guid, or null.
  EFI_MM_HANDLER_ENTRY_POINT FindHandler(const EFI_GUID &Guid) const;

  // Dispatches a communicate buffer of BufferSize bytes laid out as MmCommunicateHeader followed
  // by the message: calls the first handler registered for HeaderGuid with CommBuffer = the
  // message and *CommBufferSize = MessageLength, writes the size the handler leaves back into
  // MessageLength and returns the handler's status. Answers EFI_INVALID_PARAMETER for a null
  // buffer or one shorter than the header, EFI_BAD_BUFFER_SIZE when MessageLength exceeds the
  // bytes after the header, and EFI_NOT_FOUND when no handler is registered for the GUID.
  EFI_STATUS Dispatch(void *Buffer, uint64_t BufferSize);
  uint64_t DispatchCount() const { return Dispatches_; }
  // The message in flight: Dispatch names it for the handler's call; a platform that calls the
  // handler itself names it the same way (null when none).
  void SetMessageInFlight(uint8_t *Message, uint64_t Length) {
    InFlight_ = Message;
    InFlightLength_ = Length;
  }
  // The normal world racing the handler from another CPU: at the next MmAllocatePool call made
  // while a message is in flight, Value is written over its word Word (when the message holds
  // that word), before the allocation is decided.
  void RewriteAtNextAllocation(uint32_t Word, uint64_t Value) {
    RewriteArmed_ = true;
    RewriteWord_ = Word;
    RewriteValue_ = Value;
  }

  // --- Pool --------------------------------------------------------------------------------
  uint8_t *ArenaBase() const { return Arena_; }
  uint64_t ArenaSize() const { return ArenaSize_; }
  bool InArena(const void *Pointer) const;

  // Allocation calls fail with Status: the next Count calls, or the call with index Sequence
  // (counting every MmAllocatePool call from 0).
  void FailNextAllocations(uint32_t Count, EFI_STATUS Status = EFI_OUT_OF_RESOURCES);
  void FailAllocation(uint64_t Sequence, EFI_STATUS Status = EFI_OUT_OF_RESOURCES);
  // MmFreePool answers Status once or always; the buffer is released anyway when StillFree.
  void SetFreeAnswer(EFI_STATUS Status, FreeFaultMode Mode, bool StillFree);
  void ClearPoolFaults();
  void SetPoolObserver(PoolObserver Observer, void *Context) {
    Observer_ = Observer;
    ObserverContext_ = Context;
  }

  uint64_t AllocateCallCount() const { return AllocateCalls_; }
  uint64_t AllocationCount() const { return Allocations_; }  // successful allocations
  uint64_t FreeCallCount() const { return FreeCalls_; }
  uint64_t FreeCount() const { return Frees_; }  // buffers actually released
  uint32_t LiveAllocationCount() const { return LiveCount_; }
  uint64_t LiveBytes() const;
  uint32_t PeakLiveAllocations() const { return PeakLive_; }
  // Record of MmAllocatePool call Sequence, or null once it has left the history.
  const PoolAllocationRecord *FindAllocation(uint64_t Sequence) const;
  const PoolAllocationRecord *LastAllocation() const;

  // The services themselves, as the table's entries call them on the active model.
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE PoolType, uint64_t Size, void **Buffer);
  EFI_STATUS FreePool(void *Buffer);
  EFI_STATUS RegisterHandler(EFI_MM_HANDLER_ENTRY_POINT Handler, const EFI_GUID *HandlerType,
                             EFI_HANDLE *DispatchHandle);

 private:
  struct LiveAllocation {
    uint64_t Offset;  // of the buffer from the arena start
    uint64_t Size;    // requested size
    uint64_t Span;    // bytes reserved, red zone included
    bool InUse;
  };

  void InitTable();
  bool FindSpace(uint64_t Span, uint64_t *Offset) const;
  void PoisonArena(uint64_t Offset, uint64_t Length, bool Poison) const;
  EFI_STATUS Notify(PoolEvent Event, void *Buffer, uint64_t Size, EFI_STATUS Status) const;

  EFI_MM_SYSTEM_TABLE Table_;
  uint8_t *Arena_;
  uint64_t ArenaSize_;
  uint64_t ArenaStartPad_;  // bytes skipped so that buffers are aligned

  LiveAllocation Live_[kMaxLiveAllocations] = {};
  uint32_t LiveCount_ = 0;
  uint32_t PeakLive_ = 0;
  PoolAllocationRecord History_[kAllocationHistory] = {};
  uint64_t AllocateCalls_ = 0;
  uint64_t Allocations_ = 0;
  uint64_t FreeCalls_ = 0;
  uint64_t Frees_ = 0;

  uint32_t FailNext_ = 0;
  EFI_STATUS FailNextStatus_ = EFI_OUT_OF_RESOURCES;
  bool FailSequenceArmed_ = false;
  uint64_t FailSequence_ = 0;
  EFI_STATUS FailSequenceStatus_ = EFI_OUT_OF_RESOURCES;
  FreeFaultMode FreeFault_ = FreeFaultMode::kOff;
  EFI_STATUS FreeFaultStatus_ = EFI_SUCCESS;
  bool FreeFaultStillFrees_ = true;
  PoolObserver Observer_ = nullptr;
  void *ObserverContext_ = nullptr;

  EFI_STATUS RegisterAnswer_ = EFI_SUCCESS;
  RegisteredHandler Handlers_[kMaxHandlers] = {};
  uint32_t HandlerCount_ = 0;
  uint64_t RegisterCalls_ = 0;
  uint64_t Dispatches_ = 0;
  uint8_t *InFlight_ = nullptr;
  uint64_t InFlightLength_ = 0;
  bool RewriteArmed_ = false;
  uint32_t RewriteWord_ = 0;
  uint64_t RewriteValue_ = 0;

  alignas(16) uint8_t InternalArena_[kInternalArenaSize];
};

}  // namespace models
