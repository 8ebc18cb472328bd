// SPDX-License-Identifier: BSD-3-Clause
// Serve mode: the real image at EL0 on the models, answering a stream of requests from the host
// over the channel of ServeProtocol.h. One boot, one driver start, then requests until the host
// says it is finished; the flash blocks the requests may have changed go back to the host, which
// alone decides whether they reach its flash file. The flash itself is already in RAM: the host
// maps its file there privately, so only the pages the requests touch are ever read.
#include "driver/VarnelMmProtocol.h"
#include "qemu/MemoryMap.h"
#include "qemu/Mmu.h"
#include "qemu/QemuModels.h"
#include "qemu/Semihosting.h"
#include "qemu/ServeProtocol.h"
#include "qemu/Supervisor.h"
#include "qemu/Trap.h"

namespace supervisor {
namespace {

using serve::kFrameWords;

static_assert(kFlashStorageAddress - kRamBase == serve::kFlashRamOffset);

constexpr uint64_t kBlockMapBytes = 0x200000;  // flash beyond the RAM map is mapped in 2 MiB steps

const ModelSet *gModels = nullptr;

int64_t gRequests = -1;
int64_t gAnswers = -1;
LoadedImage gImage = {};
// One byte per flash block: set when a program or erase may have changed it.
uint8_t gChanged[serve::kMaxFlashBytes / serve::kFlashBlockBytes];

// ---- The channel -----------------------------------------------------------------------------

[[noreturn]] void ChannelLost(const char *What) {
  Line().Str("FAULT request channel: ").Str(What).Send();
  SemihostExit(kExitSupervisorFault);
}

void Receive(void *Buffer, uint64_t Length) {
  auto *At = static_cast<uint8_t *>(Buffer);
  while (Length != 0) {
    const uint64_t Left = SemihostRead(gRequests, At, Length);
    if (Left >= Length) {
      ChannelLost("closed by the host");
    }
    At += Length - Left;
    Length = Left;
  }
}

void Send(const void *Buffer, uint64_t Length) {
  const auto *At = static_cast<const uint8_t *>(Buffer);
  while (Length != 0) {
    const uint64_t Left = SemihostWriteFile(gAnswers, At, Length);
    if (Left >= Length) {
      gAnswers = -1;  // no fault report through a broken channel
      ChannelLost("the host stopped reading");
    }
    At += Length - Left;
    Length = Left;
  }
}

// A frame that carries one word, at Position.
void SendFrame(serve::Kind Kind, uint64_t Position, uint64_t Word) {
  uint64_t Frame[kFrameWords] = {serve::Header(Kind)};
  Frame[Position] = Word;
  Send(Frame, sizeof(Frame));
}

uint64_t TextLength(const char *Text) {
  uint64_t Length = 0;
  while (Text[Length] != '\0') {
    ++Length;
  }
  return Length;
}

// A fault frame: the exception (registers zero when there was none) and a text.
void SendFault(uint32_t Status, const TrapFrame *Frame, const char *Text) {
  if (gAnswers < 0) {
    return;
  }
  const uint64_t Length = TextLength(Text);
  uint64_t Fault[kFrameWords] = {serve::Header(serve::kFault)};
  Fault[serve::kFaultStatus] = Status;
  if (Frame != nullptr) {
    Fault[serve::kFaultEsr] = Frame->Esr;
    Fault[serve::kFaultElr] = Frame->Elr;
    Fault[serve::kFaultFar] = Frame->Far;
    Fault[serve::kFaultSpEl0] = Frame->SpEl0;
    Fault[serve::kFaultX30] = Frame->X[30];
  }
  Fault[serve::kFaultImageBase] = gImage.Base;
  Fault[serve::kFaultImageSize] = gImage.Size;
  Fault[serve::kFaultTextLength] = Length;
  Send(Fault, sizeof(Fault));
  Send(Text, Length);
}

void ReportFault(const char *What, const TrapFrame *Frame, uint32_t Status) {
  SendFault(Status, Frame, What);
}

[[noreturn]] void Refuse(uint32_t Status, const char *Text) {
  Line().Str("FAULT ").Str(Text).Send();
  SendFault(Status, nullptr, Text);
  SemihostExit(Status);
}

// ---- Flash changes ---------------------------------------------------------------------------

void MarkChanged(uint64_t WindowAddress, uint64_t Length) {
  const uint64_t Size = gModels->Flash->Size();
  const uint64_t Base = gModels->Firmware->FlashWindowBase();
  const uint64_t First = WindowAddress >= Base ? WindowAddress - Base : 0;
  if (First >= Size) {
    return;
  }
  const uint64_t End = Length > Size - First ? Size : First + Length;
  for (uint64_t Block = First / serve::kFlashBlockBytes; Block * serve::kFlashBlockBytes < End;
       ++Block) {
    gChanged[Block] = 1;
  }
}

// ---- The run ---------------------------------------------------------------------------------

// Reads the configuration and builds the models over the flash the host mapped into RAM.
void Configure() {
  uint64_t Frame[kFrameWords];
  Receive(Frame, sizeof(Frame));
  const uint64_t FlashSize = Frame[serve::kConfigFlashSize];
  const uint64_t WindowBase = Frame[serve::kConfigWindowBase];
  const uint64_t WindowSize = Frame[serve::kConfigWindowSize];
  if (Frame[0] != serve::Header(serve::kConfig)) {
    Refuse(kExitSupervisorFault, "the host did not begin with its configuration");
  }
  if (FlashSize == 0 || FlashSize % models::NorFlash::kSectorSize != 0 ||
      FlashSize > serve::kMaxFlashBytes || WindowSize == 0 || WindowSize > kNormalWorldBytes) {
    Refuse(kExitSupervisorFault, "flash or window size out of range");
  }
  const uint64_t Mapped = kRamBase + kRamSize - kFlashStorageAddress;
  if (FlashSize > Mapped) {
    const uint64_t Extra = (FlashSize - Mapped + kBlockMapBytes - 1) & ~(kBlockMapBytes - 1);
    if (!MapRange(kRamBase + kRamSize, Extra, MemoryKind::kEl1Data)) {
      Refuse(kExitSupervisorFault, "translation table pool exhausted");
    }
    EnableMmu();
  }

  const models::MemoryWindow NormalWorld{
      WindowBase, reinterpret_cast<uint8_t *>(kNormalWorldAddress), WindowSize};
  gModels = &BuildModels(FlashSize, NormalWorld);
  SetFlashChangeObserver(MarkChanged);
}

EFI_STATUS StartDriver() {
  const LoadResult Loaded =
      LoadPeImage(reinterpret_cast<const uint8_t *>(kImageFileAddress), kImageFileMaxBytes,
                  reinterpret_cast<uint8_t *>(kImageLoadAddress), kImageMaxBytes, &gImage);
  if (Loaded != LoadResult::kOk) {
    gImage = {};
    Refuse(kExitBadImage, LoadResultName(Loaded));
  }
  SyncInstructions(gImage.Base, gImage.Size);
  uint64_t Frame[kFrameWords] = {serve::Header(serve::kLoaded)};
  Frame[serve::kLoadedBase] = gImage.Base;
  Frame[serve::kLoadedPreferredBase] = gImage.PreferredBase;
  Frame[serve::kLoadedRelocations] = gImage.Relocations;
  Frame[serve::kLoadedEntryPoint] = gImage.EntryPoint;
  Frame[serve::kLoadedSize] = gImage.Size;
  Send(Frame, sizeof(Frame));
  return StartDriverAtEl0(gImage);
}

// One request: the window bytes travel before and after the handler's call.
void Serve(const uint64_t (&Frame)[kFrameWords]) {
  const uint64_t Size = Frame[serve::kRequestBufferSize];
  const uint64_t InOffset = Frame[serve::kRequestInOffset];
  const uint64_t InBytes = Frame[serve::kRequestInBytes];
  const uint64_t OutOffset = Frame[serve::kRequestOutOffset];
  const uint64_t OutBytes = Frame[serve::kRequestOutBytes];
  const uint64_t Window = gModels->Firmware->NormalWorld().Size;
  if (InOffset > Window || InBytes > Window - InOffset || OutOffset > Window ||
      OutBytes > Window - OutOffset) {
    Refuse(kExitSupervisorFault, "window transfer out of range");
  }
  Receive(reinterpret_cast<void *>(kNormalWorldAddress + InOffset), InBytes);

  VARNELMM_RECORD_WORD_ARRAY Record;
  for (uint64_t Index = 0; Index < varnel::kRecordWords; ++Index) {
    Record[Index] = Frame[serve::kRecordFirstWord + Index];
  }
  uint64_t Answer[kFrameWords] = {serve::Header(serve::kAnswer)};
  Answer[serve::kAnswerStatus] = CallHandlerAtEl0(Record, Size);
  for (uint64_t Index = 0; Index < varnel::kRecordWords; ++Index) {
    Answer[serve::kAnswerRecord + Index] = Record[Index];
  }
  Send(Answer, sizeof(Answer));
  Send(reinterpret_cast<const void *>(kNormalWorldAddress + OutOffset), OutBytes);
}

// Flash contents for the host's own checks; no request, nothing changes.
void Peek(const uint64_t (&Frame)[kFrameWords]) {
  const uint64_t Base = gModels->Firmware->FlashWindowBase();
  const uint64_t Size = gModels->Flash->Size();
  const uint64_t Address = Frame[serve::kPeekAddress];
  const uint64_t Length = Frame[serve::kPeekLength];
  const uint64_t Offset = Address - Base;
  const uint64_t Inside = Address >= Base && Offset <= Size && Length <= Size - Offset &&
                          Length <= serve::kMaxPeekBytes;
  SendFrame(serve::kPeeked, serve::kPeekedInside, Inside);
  if (Inside != 0) {
    Send(reinterpret_cast<const void *>(kFlashStorageAddress + Offset), Length);
  }
}

[[noreturn]] void Finish() {
  uint64_t Sent = 0;
  const uint64_t Size = gModels->Flash->Size();
  for (uint64_t Offset = 0; Offset < Size; Offset += serve::kFlashBlockBytes) {
    if (gChanged[Offset / serve::kFlashBlockBytes] == 0) {
      continue;
    }
    const uint64_t Length =
        Size - Offset < serve::kFlashBlockBytes ? Size - Offset : serve::kFlashBlockBytes;
    uint64_t Block[kFrameWords] = {serve::Header(serve::kFlashBlock)};
    Block[serve::kFlashBlockOffset] = Offset;
    Block[serve::kFlashBlockLength] = Length;
    Send(Block, sizeof(Block));
    Send(reinterpret_cast<const void *>(kFlashStorageAddress + Offset), Length);
    ++Sent;
  }
  SendFrame(serve::kFinished, serve::kFinishedBlocks, Sent);
  SemihostExit(kExitPassed);
}

}  // namespace

void RunServe() {
  gRequests = SemihostOpen(serve::kRequestPath, kSemihostModeReadBinary);
  gAnswers = SemihostOpen(serve::kAnswerPath, kSemihostModeWriteBinary);
  if (gRequests < 0 || gAnswers < 0) {
    gAnswers = -1;
    ChannelLost("cannot open /proc/self/fd/3 and /proc/self/fd/4");
  }
  SetFaultObserver(ReportFault);
  Configure();
  const uint64_t Started = StartDriver();
  SendFrame(serve::kStarted, serve::kStartedStatus, Started);
  for (;;) {
    uint64_t Frame[kFrameWords];
    Receive(Frame, sizeof(Frame));
    if (Frame[0] == serve::Header(serve::kRequest)) {
      Serve(Frame);
    } else if (Frame[0] == serve::Header(serve::kPeek)) {
      Peek(Frame);
    } else if (Frame[0] == serve::Header(serve::kFinish)) {
      Finish();
    } else {
      Refuse(kExitSupervisorFault, "unknown frame from the host");
    }
  }
}

}  // namespace supervisor
