// SPDX-License-Identifier: BSD-3-Clause
// An independent, deliberately plain model of the driver's observable behaviour: given the driver
// state, one request and the secure world's answers, it predicts the UEFI status, the record
// after the request, the secure calls with their registers, the pool traffic, the console lines
// and the state afterwards. It shares no code with the driver; every constant is restated here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace reference {

// UEFI statuses the driver answers with.
constexpr uint64_t kErrorBit = 0x8000000000000000ULL;
constexpr uint64_t kEfiSuccess = 0;
constexpr uint64_t kEfiInvalidParameter = kErrorBit | 2;
constexpr uint64_t kEfiBadBufferSize = kErrorBit | 4;
constexpr uint64_t kEfiDeviceError = kErrorBit | 7;
constexpr uint64_t kEfiOutOfResources = kErrorBit | 9;
constexpr uint64_t kEfiAccessDenied = kErrorBit | 15;
constexpr uint64_t kEfiIncompatibleVersion = kErrorBit | 25;

// Status words of the record.
constexpr uint64_t kWordSuccess = 0xAABBCC00;
constexpr uint64_t kWordNoPermission = 0xAABBCC01;
constexpr uint64_t kWordAuthRefused = 0xAABBCCFE;
constexpr uint64_t kWordFailure = 0xAABBCCFF;

constexpr uint64_t kFlashService = 0xC4000070;
constexpr uint64_t kTranslateService = 0xC200FFF1;
constexpr uint64_t kWindowBase = 0x91A00000;

struct Row {
  uint32_t First;
  uint32_t Last;
  uint32_t Permission;
};

// Everything the driver keeps between requests.
struct State {
  Row Boot[6];
  Row RunTime[3];
  bool RunTimeLocked;
  bool SeedDeployed;
};

// The tables as built into the image, both flags clear.
State BuiltState();
// The start-up fit of the boot table to the flash size (the third value of the info query).
void PatchBootTable(State &S, bool InfoOk, uint64_t FlashSize);
// Whether the range [Offset, Offset + Length) may be changed under the table the flag selects.
bool WriteAllowed(const State &S, uint64_t Offset, uint32_t Length);

// One secure call as the model expects it. Words whose bit in Compared is clear carry no meaning.
// Translate calls carry the staging buffer's address in x2 (StagingInX2); the authentication
// call carries whatever the translation answered (TranslatedInX2).
struct Call {
  uint64_t In[5];
  uint8_t Compared;
  bool StagingInX2;
  bool TranslatedInX2;
};

// x0..x3 as the secure world answered them.
struct Answer {
  uint64_t Out[4];
};

// The secure world as the test arranged it: asked with the model's call number and call.
using Firmware = std::function<Answer(size_t Index, const Call &C)>;

// What the console must show: a message line rendered in full, or an assertion report of which
// only the condition text is fixed (file and line belong to the implementation).
struct Line {
  bool Assertion;
  std::string Text;
};

struct Request {
  bool NullBuffer;
  bool NullSize;
  uint64_t Words[6];
  uint64_t Size;    // the value behind CommBufferSize
  bool Misaligned;  // CommBuffer lies one byte past a word boundary
  // Words the normal world rewrote while the request ran (bit n: word n). Nothing the handler
  // decides or does depends on them: it works on the words as they were when it took them.
  uint8_t RewriteMask;
  uint64_t RewriteWords[6];
};

struct Pool {
  bool AllocateOk;
  uint64_t FreeStatus;  // what MmFreePool answers
};

struct Prediction {
  uint64_t Status;
  uint64_t Words[6];  // the record afterwards (meaningful only for bytes below Size)
  std::vector<Call> Calls;
  std::vector<Answer> Answers;
  bool Allocates;
  uint64_t AllocationSize;
  bool Frees;
  std::vector<Line> Console;
  State After;
};

Prediction Predict(const State &Before, const Request &R, const Pool &P, const Firmware &F);

// Start-up: the entry point with a services-table revision, the secure world's answer to the
// flash-information query and the registration status. Reports the entry status, the console
// lines, the calls and the state; Registered tells whether the handler exists afterwards.
struct StartPrediction {
  uint64_t Status;
  bool Registered;
  bool ConsoleUp;
  std::vector<Call> Calls;
  std::vector<Line> Console;
  State After;
};
StartPrediction PredictStart(const State &Before, uint32_t Revision, uint64_t RegisterStatus,
                             const Firmware &F);

// Bytes of the record that a function reads or writes; requests with less get EFI_BAD_BUFFER_SIZE.
uint64_t BytesNeeded(uint64_t Function);

// Texts, as the console shows them.
std::string StatusName(uint64_t Status);
std::string Hex(uint64_t Value);
bool Negative(uint64_t Value);

}  // namespace reference
