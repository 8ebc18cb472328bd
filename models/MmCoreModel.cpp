// SPDX-License-Identifier: BSD-3-Clause
// MM core model: services table, pool with accounting and fault injection, GUID dispatch.
#include "models/MmCoreModel.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VARNEL_MODELS_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(VARNEL_MODELS_ASAN)
#define VARNEL_MODELS_ASAN 1
#endif

#ifdef VARNEL_MODELS_ASAN
extern "C" void __asan_poison_memory_region(void const volatile *Address, size_t Size);
extern "C" void __asan_unpoison_memory_region(void const volatile *Address, size_t Size);
#endif

namespace models {
namespace {

// The model whose services the table's entries reach (see the header).
MmCoreModel *gActiveModel = nullptr;

constexpr uint64_t kMmstSignature = 0x54534D4D;  // "MMST"

EFI_STATUS ServiceAllocatePool(EFI_MEMORY_TYPE PoolType, uint64_t Size, void **Buffer) {
  return gActiveModel != nullptr ? gActiveModel->AllocatePool(PoolType, Size, Buffer)
                                 : EFI_NOT_READY;
}

EFI_STATUS ServiceFreePool(void *Buffer) {
  return gActiveModel != nullptr ? gActiveModel->FreePool(Buffer) : EFI_NOT_READY;
}

EFI_STATUS ServiceRegisterHandler(EFI_MM_HANDLER_ENTRY_POINT Handler, const EFI_GUID *HandlerType,
                                  EFI_HANDLE *DispatchHandle) {
  return gActiveModel != nullptr
             ? gActiveModel->RegisterHandler(Handler, HandlerType, DispatchHandle)
             : EFI_NOT_READY;
}

bool SameGuid(const EFI_GUID &Left, const EFI_GUID &Right) {
  return __builtin_memcmp(&Left, &Right, sizeof(EFI_GUID)) == 0;
}

constexpr uint64_t RoundUp(uint64_t Value, uint64_t Alignment) {
  return (Value + Alignment - 1) / Alignment * Alignment;
}

}  // namespace

MmCoreModel::MmCoreModel() : MmCoreModel(nullptr, 0) {}

MmCoreModel::MmCoreModel(uint8_t *Arena, uint64_t ArenaSize) {
  if (Arena == nullptr) {
    Arena = InternalArena_;
    ArenaSize = kInternalArenaSize;
  }
  Arena_ = Arena;
  ArenaSize_ = ArenaSize;
  const uint64_t Address = reinterpret_cast<uintptr_t>(Arena);
  ArenaStartPad_ = RoundUp(Address, kPoolAlignment) - Address;
  if (ArenaStartPad_ > ArenaSize_) {
    ArenaStartPad_ = ArenaSize_;
  }
  InitTable();
  PoisonArena(0, ArenaSize_, true);
  Activate();
}

MmCoreModel::~MmCoreModel() {
  PoisonArena(0, ArenaSize_, false);
  if (gActiveModel == this) {
    gActiveModel = nullptr;
  }
}

void MmCoreModel::InitTable() {
  __builtin_memset(&Table_, 0, sizeof(Table_));
  Table_.Hdr.Signature = kMmstSignature;
  Table_.Hdr.Revision = kDefaultRevision;
  Table_.Hdr.HeaderSize = sizeof(EFI_MM_SYSTEM_TABLE);
  Table_.MmAllocatePool = ServiceAllocatePool;
  Table_.MmFreePool = ServiceFreePool;
  Table_.MmiHandlerRegister = ServiceRegisterHandler;
  Table_.CurrentlyExecutingCpu = 0;
  Table_.NumberOfCpus = 1;
}

void MmCoreModel::Activate() {
  gActiveModel = this;
}

MmCoreModel *MmCoreModel::Active() {
  return gActiveModel;
}

EFI_STATUS MmCoreModel::StartImage(EFI_STATUS (*EntryPoint)(EFI_HANDLE, EFI_MM_SYSTEM_TABLE *),
                                   EFI_HANDLE ImageHandle) {
  Activate();
  return EntryPoint(ImageHandle, &Table_);
}

// --- Handlers ----------------------------------------------------------------------------------

EFI_STATUS MmCoreModel::RegisterHandler(EFI_MM_HANDLER_ENTRY_POINT Handler,
                                        const EFI_GUID *HandlerType, EFI_HANDLE *DispatchHandle) {
  ++RegisterCalls_;
  if (Handler == nullptr || DispatchHandle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (EfiError(RegisterAnswer_)) {
    return RegisterAnswer_;
  }
  if (HandlerCount_ == kMaxHandlers) {
    return EFI_OUT_OF_RESOURCES;
  }
  RegisteredHandler &Slot = Handlers_[HandlerCount_++];
  Slot.Handler = Handler;
  // A null type registers a root handler in the PI model; here it is kept as the all-zero GUID.
  if (HandlerType != nullptr) {
    Slot.HandlerType = *HandlerType;
  } else {
    __builtin_memset(&Slot.HandlerType, 0, sizeof(Slot.HandlerType));
  }
  *DispatchHandle = &Slot;
  return RegisterAnswer_;
}

EFI_MM_HANDLER_ENTRY_POINT MmCoreModel::FindHandler(const EFI_GUID &Guid) const {
  for (uint32_t Index = 0; Index < HandlerCount_; ++Index) {
    if (SameGuid(Handlers_[Index].HandlerType, Guid)) {
      return Handlers_[Index].Handler;
    }
  }
  return nullptr;
}

EFI_STATUS MmCoreModel::Dispatch(void *Buffer, uint64_t BufferSize) {
  Activate();
  if (Buffer == nullptr || BufferSize < kMmCommunicateHeaderSize) {
    return EFI_INVALID_PARAMETER;
  }
  MmCommunicateHeader Header;
  __builtin_memcpy(&Header, Buffer, sizeof(Header));
  if (Header.MessageLength > BufferSize - kMmCommunicateHeaderSize) {
    return EFI_BAD_BUFFER_SIZE;
  }
  uint32_t Index = 0;
  while (Index < HandlerCount_ && !SameGuid(Handlers_[Index].HandlerType, Header.HeaderGuid)) {
    ++Index;
  }
  if (Index == HandlerCount_) {
    return EFI_NOT_FOUND;
  }
  ++Dispatches_;
  uint8_t *Message = static_cast<uint8_t *>(Buffer) + kMmCommunicateHeaderSize;
  uint64_t Size = Header.MessageLength;
  SetMessageInFlight(Message, Size);
  const EFI_STATUS Status = Handlers_[Index].Handler(&Handlers_[Index], nullptr, Message, &Size);
  SetMessageInFlight(nullptr, 0);
  __builtin_memcpy(static_cast<uint8_t *>(Buffer) + offsetof(MmCommunicateHeader, MessageLength),
                   &Size, sizeof(Size));
  return Status;
}

// --- Pool --------------------------------------------------------------------------------------

void MmCoreModel::PoisonArena(uint64_t Offset, uint64_t Length, bool Poison) const {
#ifdef VARNEL_MODELS_ASAN
  if (Length == 0) {
    return;
  }
  if (Poison) {
    __asan_poison_memory_region(Arena_ + Offset, Length);
  } else {
    __asan_unpoison_memory_region(Arena_ + Offset, Length);
  }
#else
  (void)Offset;
  (void)Length;
  (void)Poison;
#endif
}

bool MmCoreModel::InArena(const void *Pointer) const {
  const uintptr_t Address = reinterpret_cast<uintptr_t>(Pointer);
  const uintptr_t Base = reinterpret_cast<uintptr_t>(Arena_);
  return Address >= Base && Address - Base < ArenaSize_;
}

uint64_t MmCoreModel::LiveBytes() const {
  uint64_t Total = 0;
  for (const LiveAllocation &Entry : Live_) {
    if (Entry.InUse) {
      Total += Entry.Size;
    }
  }
  return Total;
}

// First fit: the lowest aligned offset whose span overlaps no live allocation.
bool MmCoreModel::FindSpace(uint64_t Span, uint64_t *Offset) const {
  uint64_t Best = ~0ULL;
  for (int32_t Candidate = -1; Candidate < static_cast<int32_t>(kMaxLiveAllocations); ++Candidate) {
    uint64_t Start = ArenaStartPad_;
    if (Candidate >= 0) {
      const LiveAllocation &After = Live_[Candidate];
      if (!After.InUse) {
        continue;
      }
      Start = After.Offset + After.Span;
    }
    if (Start > ArenaSize_ || Span > ArenaSize_ - Start || Start >= Best) {
      continue;
    }
    bool Free = true;
    for (const LiveAllocation &Other : Live_) {
      if (Other.InUse && Start < Other.Offset + Other.Span && Other.Offset < Start + Span) {
        Free = false;
        break;
      }
    }
    if (Free) {
      Best = Start;
    }
  }
  if (Best == ~0ULL) {
    return false;
  }
  *Offset = Best;
  return true;
}

EFI_STATUS MmCoreModel::AllocatePool(EFI_MEMORY_TYPE PoolType, uint64_t Size, void **Buffer) {
  if (RewriteArmed_ && InFlight_ != nullptr &&
      (RewriteWord_ + 1) * sizeof(uint64_t) <= InFlightLength_) {
    __builtin_memcpy(InFlight_ + RewriteWord_ * sizeof(uint64_t), &RewriteValue_, sizeof(uint64_t));
    RewriteArmed_ = false;
  }
  const uint64_t Sequence = AllocateCalls_++;
  PoolAllocationRecord &Record = History_[Sequence % kAllocationHistory];
  Record = PoolAllocationRecord{Sequence, PoolType, Size, EFI_SUCCESS, nullptr};

  EFI_STATUS Status = EFI_SUCCESS;
  if (FailSequenceArmed_ && FailSequence_ == Sequence) {
    FailSequenceArmed_ = false;
    Status = FailSequenceStatus_;
  } else if (FailNext_ != 0) {
    --FailNext_;
    Status = FailNextStatus_;
  } else if (Buffer == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  }
  if (EfiError(Status)) {
    Record.Status = Status;
    return Notify(PoolEvent::kAllocate, nullptr, Size, Status);
  }

  // Spans keep every buffer aligned and followed by a red zone.
  const uint64_t Span = RoundUp(Size == 0 ? 1 : Size, kPoolAlignment) + kRedZone;
  uint32_t Slot = 0;
  while (Slot < kMaxLiveAllocations && Live_[Slot].InUse) {
    ++Slot;
  }
  uint64_t Offset = 0;
  if (Slot == kMaxLiveAllocations || Size > ArenaSize_ || !FindSpace(Span, &Offset)) {
    Record.Status = EFI_OUT_OF_RESOURCES;
    return Notify(PoolEvent::kAllocate, nullptr, Size, EFI_OUT_OF_RESOURCES);
  }
  Live_[Slot] = LiveAllocation{Offset, Size, Span, true};
  ++LiveCount_;
  if (LiveCount_ > PeakLive_) {
    PeakLive_ = LiveCount_;
  }
  ++Allocations_;
  PoisonArena(Offset, Size, false);
  *Buffer = Arena_ + Offset;
  Record.Buffer = *Buffer;
  return Notify(PoolEvent::kAllocate, *Buffer, Size, EFI_SUCCESS);
}

EFI_STATUS MmCoreModel::FreePool(void *Buffer) {
  ++FreeCalls_;
  uint32_t Slot = 0;
  if (Buffer != nullptr && InArena(Buffer)) {
    const uint64_t Offset = static_cast<uint8_t *>(Buffer) - Arena_;
    while (Slot < kMaxLiveAllocations && !(Live_[Slot].InUse && Live_[Slot].Offset == Offset)) {
      ++Slot;
    }
  } else {
    Slot = kMaxLiveAllocations;
  }

  EFI_STATUS Answer = EFI_SUCCESS;
  bool Release = Slot != kMaxLiveAllocations;
  if (FreeFault_ != FreeFaultMode::kOff) {
    Answer = FreeFaultStatus_;
    Release = Release && FreeFaultStillFrees_;
    if (FreeFault_ == FreeFaultMode::kOnce) {
      FreeFault_ = FreeFaultMode::kOff;
    }
  } else if (!Release) {
    Answer = EFI_INVALID_PARAMETER;
  }
  if (Release) {
    PoisonArena(Live_[Slot].Offset, Live_[Slot].Size, true);
    Live_[Slot].InUse = false;
    --LiveCount_;
    ++Frees_;
  }
  return Notify(PoolEvent::kFree, Buffer, 0, Answer);
}

EFI_STATUS MmCoreModel::Notify(PoolEvent Event, void *Buffer, uint64_t Size,
                               EFI_STATUS Status) const {
  if (Observer_ != nullptr) {
    Observer_(ObserverContext_, Event, Buffer, Size, Status);
  }
  return Status;
}

void MmCoreModel::FailNextAllocations(uint32_t Count, EFI_STATUS Status) {
  FailNext_ = Count;
  FailNextStatus_ = Status;
}

void MmCoreModel::FailAllocation(uint64_t Sequence, EFI_STATUS Status) {
  FailSequenceArmed_ = true;
  FailSequence_ = Sequence;
  FailSequenceStatus_ = Status;
}

void MmCoreModel::SetFreeAnswer(EFI_STATUS Status, FreeFaultMode Mode, bool StillFree) {
  FreeFault_ = Mode;
  FreeFaultStatus_ = Status;
  FreeFaultStillFrees_ = StillFree;
}

void MmCoreModel::ClearPoolFaults() {
  FailNext_ = 0;
  FailSequenceArmed_ = false;
  FreeFault_ = FreeFaultMode::kOff;
}

const PoolAllocationRecord *MmCoreModel::FindAllocation(uint64_t Sequence) const {
  if (Sequence >= AllocateCalls_ || AllocateCalls_ - Sequence > kAllocationHistory) {
    return nullptr;
  }
  return &History_[Sequence % kAllocationHistory];
}

const PoolAllocationRecord *MmCoreModel::LastAllocation() const {
  return AllocateCalls_ == 0 ? nullptr : FindAllocation(AllocateCalls_ - 1);
}

}  // namespace models
