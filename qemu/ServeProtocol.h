// SPDX-License-Identifier: BSD-3-Clause
// The request channel between the host (QemuTarget, which starts qemu-system-aarch64) and the
// supervisor's serve mode. Two pipes the host hands QEMU as file descriptors 3 and 4, which the
// supervisor opens through semihosting as /proc/self/fd/3 (host to supervisor) and
// /proc/self/fd/4 (supervisor to host). Every message is one frame of sixteen little-endian
// 64-bit words, some followed by data bytes; the driver's console stays on QEMU's PL011.
//
// The flash contents are not sent: the host gives QEMU its flash file as the RAM at
// kFlashRamOffset (a private mapping, so the file never changes through QEMU).
//
// A run: the host sends kConfig; the supervisor loads the image (kLoaded),
// calls the driver's entry point and answers kStarted. Then any number of kRequest / kAnswer pairs.
// kFinish makes the supervisor send every flash block the driver's requests may have changed
// (kFlashBlock frames, then kFinished) and end QEMU with status 0. A fault sends kFault and ends
// QEMU with the supervisor's fault status. Freestanding: compiled into the supervisor and into the
// host tools.
#pragma once

#include <stdint.h>

#include "VarnelMm/Protocol.h"
#include "models/NormalWorld.h"

namespace serve {

constexpr uint64_t kFrameWords = 16;
constexpr uint64_t kFrameBytes = kFrameWords * sizeof(uint64_t);

// Word 0 of every frame: the magic in the high half, the kind in the low half.
constexpr uint64_t kMagic = 0x564D4D5100000000ULL;  // "VMMQ"
constexpr uint64_t kMagicMask = 0xFFFFFFFF00000000ULL;

// The words each kind carries after the header are named below (kConfig*, kRequest*, ...).
enum Kind : uint64_t {
  // Host to supervisor.
  kConfig = 1,
  kRequest = 2,  // the window bytes sent in follow
  kFinish = 3,
  kPeek = 4,  // flash contents for the host's own checks
  // Supervisor to host.
  kLoaded = 0x10,  // sent before the entry point runs
  kStarted = 0x11,
  kAnswer = 0x12,      // the requested window bytes follow
  kFlashBlock = 0x13,  // the bytes follow
  kFinished = 0x14,
  kPeeked = 0x16,  // the bytes follow when the range lies in the flash
  kFault = 0x15,   // the text follows
};

// Word positions, by kind; word 0 is the header.
enum ConfigWord : uint64_t { kConfigFlashSize = 1, kConfigWindowBase, kConfigWindowSize };
// kRequest: the record's words right after the header, then the request's own words: the size
// handed to the handler, the window offset and byte count sent into the window first, and the
// offset and count sent back.
constexpr uint64_t kRecordFirstWord = 1;
constexpr uint64_t kRequestBufferSize = kRecordFirstWord + VARNELMM_RECORD_WORDS;
constexpr uint64_t kRequestInOffset = kRequestBufferSize + 1;
constexpr uint64_t kRequestInBytes = kRequestInOffset + 1;
constexpr uint64_t kRequestOutOffset = kRequestInBytes + 1;
constexpr uint64_t kRequestOutBytes = kRequestOutOffset + 1;
// kPeek: a flash-window address and a length (at most kMaxPeekBytes).
enum PeekWord : uint64_t { kPeekAddress = 1, kPeekLength };
enum LoadedWord : uint64_t {
  kLoadedBase = 1,
  kLoadedPreferredBase,
  kLoadedRelocations,
  kLoadedEntryPoint,
  kLoadedSize,
};
constexpr uint64_t kStartedStatus = 1;  // the entry point's status
// kAnswer: the handler's UEFI status, then the record's words.
constexpr uint64_t kAnswerStatus = 1;
constexpr uint64_t kAnswerRecord = 2;
enum FlashBlockWord : uint64_t { kFlashBlockOffset = 1, kFlashBlockLength };
constexpr uint64_t kFinishedBlocks = 1;  // flash blocks sent
constexpr uint64_t kPeekedInside = 1;    // 1 when the range lies in the flash, else 0
// kFault: the exit status, the exception's registers (all 0 when there was none), the image and
// the length of the text.
enum FaultWord : uint64_t {
  kFaultStatus = 1,
  kFaultEsr,
  kFaultElr,
  kFaultFar,
  kFaultSpEl0,
  kFaultX30,
  kFaultImageBase,
  kFaultImageSize,
  kFaultTextLength,
};
static_assert(kRequestOutBytes < kFrameWords, "a request fits in one frame");
static_assert(kAnswerRecord + VARNELMM_RECORD_WORDS <= kFrameWords, "an answer fits in one frame");
static_assert(kFaultTextLength < kFrameWords, "a fault fits in one frame");

// The supervisor's side of the two pipes.
constexpr const char *kRequestPath = "/proc/self/fd/3";
constexpr const char *kAnswerPath = "/proc/self/fd/4";
constexpr int kRequestDescriptor = 3;
constexpr int kAnswerDescriptor = 4;

constexpr uint64_t kMaxPeekBytes = 1ULL << 20;

// Flash contents go back in blocks of this size (the granule of change tracking).
constexpr uint64_t kFlashBlockBytes = 0x10000;

// Where the driver-visible state lives (see MemoryMap.h): the largest flash the serve mode
// holds, and the largest normal-world window.
constexpr uint64_t kMaxFlashBytes = 1ULL << 30;
constexpr uint64_t kMaxWindowBytes = models::kNormalWorldWindowBytes;

// The flash contents sit this far into QEMU's RAM (the host maps its flash file there); the RAM
// QEMU must be given for a flash size.
constexpr uint64_t kFlashRamOffset = 0x08000000;
constexpr uint64_t kMinimumRamBytes = 0x10000000;
constexpr uint64_t RamBytes(uint64_t FlashSize) {
  const uint64_t Needed = kFlashRamOffset + ((FlashSize + 0x1FFFFF) & ~0x1FFFFFULL);
  return Needed < kMinimumRamBytes ? kMinimumRamBytes : Needed;
}

constexpr uint64_t Header(Kind Value) {
  return kMagic | Value;
}

}  // namespace serve
