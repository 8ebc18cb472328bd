// SPDX-License-Identifier: BSD-3-Clause
// Host wiring of the models: memory, seam hooks, driver start and request helpers.
#include "models/HostPlatform.h"

#include <string.h>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "arch/host/HostSeam.h"
#include "console/ConsoleSettings.h"

namespace models {

using namespace varnel;

// Filling tens of MiB of fresh memory costs one page fault per 4 KiB, which dominates the start of
// every test. On Linux the flash image is mapped on 2 MiB boundaries and offered to transparent
// huge pages, which makes those faults rare; elsewhere, and for small parts, it comes from new[].
HostPlatform::LargeBuffer::LargeBuffer(uint64_t Size) {
#ifdef __linux__
  constexpr uint64_t kHugePage = 2 * 1024 * 1024;
  if (Size >= kHugePage) {
    const uint64_t Length = Size + kHugePage;
    void *Mapping =
        mmap(nullptr, Length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Mapping != MAP_FAILED) {
      uint8_t *Start = static_cast<uint8_t *>(Mapping);
      const uint64_t Address = reinterpret_cast<uintptr_t>(Start);
      const uint64_t Aligned = (Address + kHugePage - 1) / kHugePage * kHugePage;
      Bytes = Start + (Aligned - Address);
      madvise(Bytes, Size, MADV_HUGEPAGE);
      MappingBase = Start;
      Mapped = Length;
      return;
    }
  }
#endif
  Bytes = new uint8_t[Size == 0 ? 1 : Size];
}

HostPlatform::LargeBuffer::~LargeBuffer() {
#ifdef __linux__
  if (Mapped != 0) {
    munmap(MappingBase, Mapped);
    return;
  }
#endif
  delete[] Bytes;
}

HostPlatform::HostPlatform(const HostPlatformOptions &Options)
    : FlashStorage_(Options.FlashStorage != nullptr ? 0 : Options.FlashSize),
      NormalWorldStorage_(new uint8_t[Options.NormalWorldSize]),
      PoolArena_(new uint8_t[Options.PoolArenaSize]),
      NormalWorldBase_(Options.NormalWorldBase) {
  uint8_t *Flash = Options.FlashStorage;
  if (Flash == nullptr) {
    Flash = FlashStorage_.Bytes;
    memset(Flash, Options.BlankFlash ? 0xFF : 0x00, Options.FlashSize);
  }
  memset(NormalWorldStorage_.get(), 0, Options.NormalWorldSize);
  memset(PoolArena_.get(), 0, Options.PoolArenaSize);
  Flash_ = std::make_unique<NorFlash>(Flash, Options.FlashSize);
  Core_ = std::make_unique<MmCoreModel>(PoolArena_.get(), Options.PoolArenaSize);
  Core_->SetRevision(Options.Revision);
  Core_->SetCurrentlyExecutingCpu(Options.CurrentlyExecutingCpu);
  Core_->SetPoolObserver(PoolEventSeen, this);
  const MemoryWindow NormalWorld{Options.NormalWorldBase, NormalWorldStorage_.get(),
                                 Options.NormalWorldSize};
  Firmware_ = std::make_unique<SecureFirmwareModel>(*Flash_, NormalWorld);
  Firmware_->SetPoolArena(reinterpret_cast<uintptr_t>(PoolArena_.get()), Options.PoolArenaSize);
  Uart_ = std::make_unique<Pl011Model>();
  Install();
}

HostPlatform::~HostPlatform() {
  HostSeamInstall(nullptr);
  // The core unpoisons its arena before the array that backs it goes away.
  Core_.reset();
}

void HostPlatform::Install() {
  const HostSeamHooks Hooks = {SeamSecureService, SeamBreakpoint, SeamRead32,
                               SeamWrite32,       SeamWrite8,     this};
  HostSeamInstall(&Hooks);
  Core_->Activate();
}

EFI_STATUS HostPlatform::StartDriver() {
  return StartDriver(VarnelMmEntryPoint);
}

EFI_STATUS HostPlatform::StartDriver(ImageEntryPoint EntryPoint) {
  return Core_->StartImage(EntryPoint, this);
}

EFI_STATUS HostPlatform::RequestRaw(const uint8_t *Message, uint64_t MessageLength,
                                    uint8_t *MessageOut, const EFI_GUID &Guid) {
  // Exactly header + message bytes, so the message ends where the allocation ends.
  const uint64_t Total = kMmCommunicateHeaderSize + MessageLength;
  std::unique_ptr<uint8_t[]> Buffer(new uint8_t[Total]);
  MmCommunicateHeader Header{Guid, MessageLength};
  memcpy(Buffer.get(), &Header, sizeof(Header));
  if (MessageLength != 0) {
    memcpy(Buffer.get() + kMmCommunicateHeaderSize, Message, MessageLength);
  }
  InFlight_ = Buffer.get() + kMmCommunicateHeaderSize;
  InFlightSize_ = MessageLength;
  const EFI_STATUS Status = Core_->Dispatch(Buffer.get(), Total);
  InFlight_ = nullptr;
  InFlightSize_ = 0;
  if (MessageOut != nullptr && MessageLength != 0) {
    memcpy(MessageOut, Buffer.get() + kMmCommunicateHeaderSize, MessageLength);
  }
  return Status;
}

RequestResult HostPlatform::Request(const VARNELMM_RECORD_WORD_ARRAY &Words,
                                    uint64_t CommBufferSize) {
  std::vector<uint8_t> Message(CommBufferSize, 0);
  if (CommBufferSize != 0) {  // an empty vector's data() may be null
    memcpy(Message.data(), Words, CommBufferSize < kRecordBytes ? CommBufferSize : kRecordBytes);
  }

  const uint64_t Total = kMmCommunicateHeaderSize + CommBufferSize;
  std::unique_ptr<uint8_t[]> Buffer(new uint8_t[Total]);
  MmCommunicateHeader Header{kVarnelMmGuid, CommBufferSize};
  memcpy(Buffer.get(), &Header, sizeof(Header));
  if (CommBufferSize != 0) {
    memcpy(Buffer.get() + kMmCommunicateHeaderSize, Message.data(), CommBufferSize);
  }
  InFlight_ = Buffer.get() + kMmCommunicateHeaderSize;
  InFlightSize_ = CommBufferSize;

  RequestResult Result;
  Result.Status = Core_->Dispatch(Buffer.get(), Total);
  InFlight_ = nullptr;
  InFlightSize_ = 0;
  memcpy(&Result.CommBufferSize, Buffer.get() + offsetof(MmCommunicateHeader, MessageLength),
         sizeof(uint64_t));
  memcpy(Result.Words, Buffer.get() + kMmCommunicateHeaderSize,
         CommBufferSize < kRecordBytes ? CommBufferSize : kRecordBytes);
  return Result;
}

bool HostPlatform::Sign(VARNELMM_RECORD_WORD_ARRAY &Words) const {
  uint64_t SignedBytes = 0;
  uint32_t AuthWord = 0;
  switch (Words[kWordFunctionId]) {
    case kFunctionSecureRead:
    case kFunctionSecureWrite:
      SignedBytes = kSignedPartLong;
      AuthWord = kWordAuthInfoLong;
      break;
    case kFunctionSecureErase:
    case kFunctionSecureRegionLock:
      SignedBytes = kSignedPartShort;
      AuthWord = kWordAuthInfoShort;
      break;
    default:
      return false;
  }
  Words[AuthWord] = ComputeRequestMac(Firmware_->CurrentKey(), Words, SignedBytes);
  return true;
}

RequestResult HostPlatform::SignedRequest(const VARNELMM_RECORD_WORD_ARRAY &Words) {
  VARNELMM_RECORD_WORD_ARRAY Signed;
  memcpy(Signed, Words, sizeof(Signed));
  Sign(Signed);
  return Request(Signed);
}

uint8_t *HostPlatform::NormalWorld(uint64_t Address, uint64_t Length) {
  return Firmware_->NormalWorld().Resolve(Address, Length);
}

std::string HostPlatform::ConsoleText() const {
  const uint64_t Count = Uart_->TransmittedCount() - Uart_->TransmitOverflow();
  return std::string(reinterpret_cast<const char *>(Uart_->Transmitted()), Count);
}

void HostPlatform::ClearConsole() {
  Uart_->ClearTransmitted();
}

bool HostPlatform::ConsoleOffset(uint64_t Address, uint64_t *Offset) {
  if (Address < console::kBase || Address - console::kBase >= Pl011Model::kWindowSize) {
    ++StrayMmio_;
    return false;
  }
  *Offset = Address - console::kBase;
  return true;
}

void HostPlatform::AddEvent(const PlatformEvent &Event) {
  if (Events_.size() == kMaxEvents) {
    // Keep the most recent ones: drop the oldest half at once to stay cheap.
    Events_.erase(Events_.begin(), Events_.begin() + kMaxEvents / 2);
    DroppedEvents_ += kMaxEvents / 2;
  }
  Events_.push_back(Event);
}

void HostPlatform::ClearEvents() {
  Events_.clear();
  DroppedEvents_ = 0;
}

void HostPlatform::PoolEventSeen(void *Context, PoolEvent Event, void *Buffer, uint64_t Size,
                                 EFI_STATUS Status) {
  HostPlatform *Platform = static_cast<HostPlatform *>(Context);
  const uint64_t Address = reinterpret_cast<uintptr_t>(Buffer);
  if (Event == PoolEvent::kAllocate) {
    Platform->AddEvent(PlatformEvent{PlatformEventKind::kAllocatePool, Size, Status, Address});
    Platform->Race(PlatformEventKind::kAllocatePool);
  } else {
    Platform->AddEvent(PlatformEvent{PlatformEventKind::kFreePool, Address, Status, 0});
    Platform->Race(PlatformEventKind::kFreePool);
  }
}

void HostPlatform::SeamSecureService(void *Context, ServiceArgumentBlock *Block) {
  HostPlatform *Platform = static_cast<HostPlatform *>(Context);
  const uint64_t Function = Block->Word[0];
  const uint64_t SubCommand = Block->Word[1];
  Platform->Race(PlatformEventKind::kSecureCall);
  Platform->Firmware_->Handle(Block);
  Platform->AddEvent(
      PlatformEvent{PlatformEventKind::kSecureCall, Function, SubCommand, Block->Word[0]});
}

void HostPlatform::SeamBreakpoint(void *Context) {
  HostPlatform *Platform = static_cast<HostPlatform *>(Context);
  ++Platform->Breakpoints_;
  Platform->AddEvent(PlatformEvent{PlatformEventKind::kBreakpoint});
  Platform->Race(PlatformEventKind::kBreakpoint);
}

uint32_t HostPlatform::SeamRead32(void *Context, uint64_t Address) {
  HostPlatform *Platform = static_cast<HostPlatform *>(Context);
  Platform->Race(PlatformEventKind::kConsoleAccess);
  uint64_t Offset = 0;
  return Platform->ConsoleOffset(Address, &Offset) ? Platform->Uart_->Read32(Offset) : 0;
}

void HostPlatform::SeamWrite32(void *Context, uint64_t Address, uint32_t Value) {
  HostPlatform *Platform = static_cast<HostPlatform *>(Context);
  Platform->Race(PlatformEventKind::kConsoleAccess);
  uint64_t Offset = 0;
  if (Platform->ConsoleOffset(Address, &Offset)) {
    Platform->Uart_->Write32(Offset, Value);
  }
}

void HostPlatform::SeamWrite8(void *Context, uint64_t Address, uint8_t Value) {
  HostPlatform *Platform = static_cast<HostPlatform *>(Context);
  Platform->Race(PlatformEventKind::kConsoleAccess);
  uint64_t Offset = 0;
  if (Platform->ConsoleOffset(Address, &Offset)) {
    Platform->Uart_->Write8(Offset, Value);
  }
}

}  // namespace models
