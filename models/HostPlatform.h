// SPDX-License-Identifier: BSD-3-Clause
// The whole world around the driver on the host, in one object: the MM core model (with its pool
// arena), the secure firmware model over a NOR flash image and a normal-world memory window, and
// the PL011 model behind the console address. Construction installs the host seam so that
// supervisor calls reach the firmware model, console MMIO reaches the PL011 model and breakpoints
// are counted; destruction restores the seam's defaults. One HostPlatform per program at a time.
//
// Host only (it owns its memory with the standard library); tests, varnel-sim, fuzzers and
// benchmarks build on it.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/VarnelMmProtocol.h"
#include "models/MmCoreModel.h"
#include "models/NorFlash.h"
#include "models/NormalWorld.h"
#include "models/Pl011Model.h"
#include "models/SecureFirmwareModel.h"

namespace models {

struct HostPlatformOptions {
  uint64_t FlashSize = NorFlash::kDefaultSize;
  bool BlankFlash = true;  // start with every byte 0xFF
  // Storage of FlashSize bytes provided by the caller (a mapped image file, say), used as it is:
  // neither filled nor copied. Null: the platform allocates its own.
  uint8_t *FlashStorage = nullptr;
  uint64_t NormalWorldBase = kNormalWorldWindowBase;  // where the normal world's buffers live
  uint64_t NormalWorldSize = kNormalWorldWindowBytes;
  uint64_t PoolArenaSize = MmCoreModel::kInternalArenaSize;
  uint32_t Revision = MmCoreModel::kDefaultRevision;
  uint64_t CurrentlyExecutingCpu = 0;
};

// The record after a request and what the MM core returned.
struct RequestResult {
  EFI_STATUS Status = 0;
  // Words 0..5 of the record after the call. Bytes that lay beyond the communicate buffer's
  // message (a buffer smaller than the record) read as 0.
  VARNELMM_RECORD_WORD_ARRAY Words = {};
  // MessageLength after the call (the size the handler left behind CommBufferSize).
  uint64_t CommBufferSize = 0;
};

// One event of the platform, in the order it happened (for checks of ordering across models).
enum class PlatformEventKind : uint8_t {
  kAllocatePool,
  kFreePool,
  kSecureCall,
  kBreakpoint,
  kConsoleAccess,  // a console register read or write (told to the race hook, not logged)
};
struct PlatformEvent {
  PlatformEventKind Kind;
  // kAllocatePool: A = size, B = status, C = buffer address (0 when it failed).
  // kFreePool: A = buffer address, B = status.
  // kSecureCall: A = x0 in (function identifier), B = x1 in (sub-command), C = x0 out.
  uint64_t A = 0;
  uint64_t B = 0;
  uint64_t C = 0;
};

using ImageEntryPoint = EFI_STATUS (*)(EFI_HANDLE, EFI_MM_SYSTEM_TABLE *);

// Called at every event the driver causes, before the platform answers it (an allocation and a
// release once the pool has decided, a secure call before the firmware sees it): a test playing
// the normal world on another CPU rewrites the record in flight here.
using RaceHook = void (*)(void *Context, PlatformEventKind Kind);

class HostPlatform {
 public:
  explicit HostPlatform(const HostPlatformOptions &Options = HostPlatformOptions{});
  ~HostPlatform();
  HostPlatform(const HostPlatform &) = delete;
  HostPlatform &operator=(const HostPlatform &) = delete;

  MmCoreModel &Core() { return *Core_; }
  SecureFirmwareModel &Firmware() { return *Firmware_; }
  NorFlash &Flash() { return *Flash_; }
  Pl011Model &Uart() { return *Uart_; }

  // Installs this platform's seam hooks and activates its MM core again (after something else
  // replaced them); the constructor already does this.
  void Install();

  // Starts the driver: the MM core model calls VarnelMmEntryPoint (or EntryPoint) with its table.
  EFI_STATUS StartDriver();
  EFI_STATUS StartDriver(ImageEntryPoint EntryPoint);

  // One request: a communicate buffer addressed to VarnelMmGuid whose message is the six words
  // (cut or zero-padded to CommBufferSize bytes) is dispatched through the MM core model. The
  // message ends exactly at the end of its heap allocation, so AddressSanitizer reports any access
  // at or beyond CommBufferSize.
  RequestResult Request(const VARNELMM_RECORD_WORD_ARRAY &Words,
                        uint64_t CommBufferSize = varnel::kRecordBytes);
  // Raw form, for fuzzing: dispatches MessageLength bytes under Guid. When MessageOut is given,
  // the message after the call is copied into it (MessageLength bytes).
  EFI_STATUS RequestRaw(const uint8_t *Message, uint64_t MessageLength,
                        uint8_t *MessageOut = nullptr,
                        const EFI_GUID &Guid = varnel::kVarnelMmGuid);
  // The record of the request in flight (for an authentication hook that races the driver), or
  // null outside a request. Its size is CurrentRecordSize().
  uint8_t *CurrentRecord() { return InFlight_; }
  uint64_t CurrentRecordSize() const { return InFlightSize_; }

  // Signing: the signed part of a secure read/write (words 0..4) or secure erase/region lock
  // (words 0..3) is MACed with the firmware's current key and the MAC stored in AuthInfo (word 5
  // or 4). Other function numbers are left unchanged and Sign returns false.
  bool Sign(VARNELMM_RECORD_WORD_ARRAY &Words) const;
  RequestResult SignedRequest(const VARNELMM_RECORD_WORD_ARRAY &Words);

  // Normal-world memory (the targets of Buffer): host pointer for [Address, Address + Length),
  // or null outside the window.
  uint64_t NormalWorldBase() const { return NormalWorldBase_; }
  uint8_t *NormalWorld(uint64_t Address, uint64_t Length);
  // Flash contents at a flash offset (not a window address).
  uint8_t *FlashBytes(uint64_t Offset = 0) { return Flash_->Data() + Offset; }

  // Console: every byte written to the UART data register so far.
  std::string ConsoleText() const;
  void ClearConsole();

  // Pool calls, secure calls and breakpoints in order; when kMaxEvents is reached the older half
  // is dropped (and counted).
  static constexpr uint64_t kMaxEvents = 4096;
  const std::vector<PlatformEvent> &Events() const { return Events_; }
  uint64_t DroppedEvents() const { return DroppedEvents_; }
  void ClearEvents();

  // The racing normal world: null removes it.
  void SetRaceHook(RaceHook Hook, void *Context) {
    Race_ = Hook;
    RaceContext_ = Context;
  }

  // Breakpoint traps taken while this platform was installed.
  uint64_t BreakpointCount() const { return Breakpoints_; }
  // MMIO accesses outside the console's register window (read as 0, writes dropped).
  uint64_t StrayMmioCount() const { return StrayMmio_; }

 private:
  static void SeamSecureService(void *Context, ServiceArgumentBlock *Block);
  static void SeamBreakpoint(void *Context);
  static uint32_t SeamRead32(void *Context, uint64_t Address);
  static void SeamWrite32(void *Context, uint64_t Address, uint32_t Value);
  static void SeamWrite8(void *Context, uint64_t Address, uint8_t Value);
  bool ConsoleOffset(uint64_t Address, uint64_t *Offset);
  static void PoolEventSeen(void *Context, PoolEvent Event, void *Buffer, uint64_t Size,
                            EFI_STATUS Status);
  void AddEvent(const PlatformEvent &Event);
  void Race(PlatformEventKind Kind) {
    if (Race_ != nullptr) {
      Race_(RaceContext_, Kind);
    }
  }

  // Large, page-backed flash storage (see HostPlatform.cpp); plain arrays for the rest.
  struct LargeBuffer {
    uint8_t *Bytes = nullptr;
    uint8_t *MappingBase = nullptr;
    uint64_t Mapped = 0;  // bytes mapped at MappingBase (0: Bytes came from new[])
    explicit LargeBuffer(uint64_t Size);
    ~LargeBuffer();
    LargeBuffer(const LargeBuffer &) = delete;
    LargeBuffer &operator=(const LargeBuffer &) = delete;
  };
  LargeBuffer FlashStorage_;
  std::unique_ptr<uint8_t[]> NormalWorldStorage_;
  std::unique_ptr<uint8_t[]> PoolArena_;
  std::unique_ptr<NorFlash> Flash_;
  std::unique_ptr<MmCoreModel> Core_;
  std::unique_ptr<SecureFirmwareModel> Firmware_;
  std::unique_ptr<Pl011Model> Uart_;
  uint64_t NormalWorldBase_;
  uint8_t *InFlight_ = nullptr;
  uint64_t InFlightSize_ = 0;
  uint64_t Breakpoints_ = 0;
  uint64_t StrayMmio_ = 0;
  std::vector<PlatformEvent> Events_;
  uint64_t DroppedEvents_ = 0;
  RaceHook Race_ = nullptr;
  void *RaceContext_ = nullptr;
};

}  // namespace models
