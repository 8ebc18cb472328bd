// SPDX-License-Identifier: BSD-3-Clause
// End-to-end scenarios as plain data, shared by the host runner (driver linked with the models)
// and the QEMU supervisor (the real image at EL0 on the same models). Each scenario starts a
// fresh world: blank flash, fresh models, a freshly loaded driver whose entry has not run yet.
//
// Normal-world addresses differ between the platforms, so scenario words in
// [kNw, kNw + 1 MiB) stand for "normal-world base + offset"; the runner resolves them in the
// request, in the expected words and in the expected secure-call registers alike.
#pragma once

#include <stdint.h>

#include "base/UefiTypes.h"
#include "driver/VarnelMmProtocol.h"
#include "models/NormalWorld.h"

// In an expected console text: one or more decimal digits (a line number of the source).
#define SCENARIO_ANY_NUMBER "\x1A"

namespace scenarios {

constexpr uint64_t kNw = 0x4E57000000000000ULL;
constexpr uint64_t kNwSpan = models::kNormalWorldWindowBytes;
constexpr uint64_t kWindow = VARNELMM_FLASH_WINDOW_BASE;  // flash offset 0
constexpr uint64_t kKeep = 0xFFFF'FFFF'FFFF'FFFEULL;      // expected word 0: as sent
constexpr uint64_t kFlashSize = 0x2000000;                // 32 MiB part unless a scenario says

enum class SetupKind : uint8_t {
  kNone,
  kFault,              // A = service (0..14, 15 = translation), B = x0 to answer, C = 1 always
  kFailAllocations,    // A = count of MmAllocatePool calls that fail
  kFreeAnswer,         // A = status MmFreePool answers once (the buffer is still released)
  kQueryAnswer,        // A = sub-command 4/5/6, B/C/D = x1/x2/x3
  kInfoWord,           // A = x2 of sub-command 0
  kReportedFlashSize,  // A = x3 of sub-command 0
  kRegisterAnswer,     // A = status of MmiHandlerRegister
  kRevision,           // A = header revision of the services table
  kRefuseAuthentication,
  kFillNormalWorld,      // A = address (kNw + offset), B = length, C = pattern seed
  kFillFlash,            // A = flash offset, B = length, C = pattern seed
  kRewriteOnAllocation,  // the normal world writes B over record word A during the next
                         // MmAllocatePool call
};

struct Setup {
  SetupKind Kind = SetupKind::kNone;
  uint64_t A = 0;
  uint64_t B = 0;
  uint64_t C = 0;
  uint64_t D = 0;
};

enum class StepKind : uint8_t {
  kStart,               // the MM core calls the entry point
  kRequest,             // one request through GUID dispatch
  kNullCommBuffer,      // the handler called with CommBuffer null
  kNullCommBufferSize,  // the handler called with CommBufferSize null
  kMisalignedRequest,   // a request whose record starts one byte past an 8-byte boundary
};

enum class Signing : uint8_t { kNone, kGoodMac, kBadMac };

// One secure-service call expected in a step: the registers whose bit is set in Mask.
struct CallExpectation {
  uint8_t Mask = 0;  // bit n: compare xn (n = 0..4)
  uint64_t X[5] = {};
};

enum class MemoryCheckKind : uint8_t {
  kNone,
  kNormalWorldPattern,  // Address = kNw + offset
  kFlashPattern,        // Address = flash offset
  kFlashErased,         // every byte 0xFF
  kConsoleProgrammed,   // the UART holds the console settings (8N1, FIFOs, divisor 1.0, on)
  kFlashRegionLocked,   // Address = flash offset: a locked region covers it
};

struct MemoryCheck {
  MemoryCheckKind Kind = MemoryCheckKind::kNone;
  uint64_t Address = 0;
  uint64_t Length = 0;
  uint8_t Seed = 0;
};

struct Step {
  const char *Title = "";
  StepKind Kind = StepKind::kRequest;
  Setup Before[2] = {};
  VARNELMM_RECORD_WORD_ARRAY Words = {};
  uint64_t CommBufferSize = varnel::kRecordBytes;
  Signing Sign = Signing::kNone;
  uint64_t SentFunction = kKeep;  // word 0 as sent, when it differs from the one signed
  // --- expected ---
  EFI_STATUS Status = EFI_SUCCESS;
  uint64_t Answer = kKeep;  // word 0 after the request
  uint8_t ResultMask = 0;   // bit n: word n is Results[n] (else as sent)
  VARNELMM_RECORD_WORD_ARRAY Results = {};
  int32_t Calls = -1;  // secure-service calls made in the step; -1 = not checked
  CallExpectation Call[2] = {};
  const char *Console = "";  // the exact console bytes of the step; null = not checked
  uint32_t Breakpoints = 0;
  MemoryCheck Check = {};
};

struct Scenario {
  const char *Name;
  const Step *Steps;
  uint32_t StepCount;
  uint64_t FlashSize = kFlashSize;
};

// Byte Index of a test pattern.
constexpr uint8_t PatternByte(uint8_t Seed, uint64_t Index) {
  return static_cast<uint8_t>(Seed + Index * 7 + (Index >> 8));
}

// Every scenario, and the sample session of `make demo` among them.
extern const Scenario kScenarios[];
extern const uint32_t kScenarioCount;
extern const Scenario &kDemoScenario;

}  // namespace scenarios
