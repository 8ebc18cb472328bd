// SPDX-License-Identifier: BSD-3-Clause
// What the driver knows about each request, one row per function number, written as the image
// holds it: the branch name its lines print and its message texts (offsets into one packed
// literal), the record words it reads and writes, the bytes of the record it needs, the gates it
// passes, the secure sub-command that carries it out and its signed part. The handler, its size
// check and every request path read their row; nothing about a request is written anywhere else.
#pragma once

#include <stdint.h>

#include "base/PackedText.h"
#include "driver/VarnelMmProtocol.h"
#include "log/DebugLog.h"

namespace varnel {

// The code that serves a row.
enum class RequestPath : uint8_t {
  kFlashInfo,       // function 0: four result words
  kInfoQuery,       // functions 4, 5, 6: two result words
  kFlash,           // read, write, erase and region lock, plain and authenticated
  kLockDown,        // function 7: no secure call
  kSeedDeploy,      // function 8
  kLockRegionLock,  // function 14
};

// The texts of the table: every branch name (from the protocol's function list), then the
// messages. Each failure line takes the branch name, and for flash requests Offset and Length
// too; each refusal line takes the branch name.
#define VARNEL_REQUEST_MESSAGE_LIST(X)                              \
  X(InfoFailed, "%a Can't get Varnel Info\n")                       \
  X(ReadFailed, "%a Fail to Read Offset %llx Len %llx\n")           \
  X(WriteFailed, "%a Fail to Write Offset %llx Len %llx\n")         \
  X(EraseFailed, "%a Fail to Erase Offset %llx Len %llx\n")         \
  X(NvInfoFailed, "%a Can't get Varnel NV Info\n")                  \
  X(Nv2InfoFailed, "%a Can't get Varnel NV2 Info\n")                \
  X(FailSafeInfoFailed, "%a Can't get SPI NOR Failsafe Info\n")     \
  X(SeedFailed, "%a Can't Deploy Secure SPI Seed\n")                \
  X(ReadRefused, "%a Fail to authenticate Read request\n")          \
  X(WriteRefused, "%a Fail to authenticate write request\n")        \
  X(EraseRefused, "%a Fail to authenticate erase request\n")        \
  X(LockFailed, "%a Fail to Lock region at Offset %llx Len %llx\n") \
  X(LockRefused, "%a Fail to authenticate region lock request\n")   \
  X(LockLockFailed, "%a Fail to Lock region lock command\n")
#define VARNEL_REQUEST_TEXTS(Branch, Message) \
  VARNELMM_FUNCTION_LIST(Branch) VARNEL_REQUEST_MESSAGE_LIST(Message)
#define VARNEL_BRANCH_TEXT(Number, Id, Name) VARNEL_PACKED_TEXT(Branch##Id, Name)
#define VARNEL_BRANCH_OFFSET(Number, Id, Name) VARNEL_PACKED_OFFSET(Branch##Id, Name)

inline constexpr char kRequestTexts[] =
    VARNEL_REQUEST_TEXTS(VARNEL_BRANCH_TEXT, VARNEL_PACKED_TEXT);
enum RequestText : uint16_t {
  VARNEL_REQUEST_TEXTS(VARNEL_BRANCH_OFFSET, VARNEL_PACKED_OFFSET)  //
  kNoText = 0xFFFF,
};

// One row, 16 bytes, so a row is found with a shift.
struct RequestRow {
  uint16_t BranchName;
  uint16_t FailFormat;         // kNoText when the request makes no secure call
  uint16_t AuthRefusedFormat;  // kNoText for unauthenticated rows
  RequestPath Path;
  uint8_t LastWordRead;  // the request reads record words 0 to LastWordRead
  uint8_t WriteWords;    // bit n: the request may write record word n (word 0 always)
  uint8_t Sub;           // the secure sub-command (SubCommand) that carries the request out
  uint8_t SignedBytes;   // 0, or the signed part's length; AuthInfo is the word right behind it
  uint8_t BytesNeeded;   // the record through the highest word the request reads or writes
  bool SeedGated;        // refused once a seed is deployed
  bool PermissionChecked;
  bool MovesData;  // Buffer names normal-world data (read and write); else x4 is 0
  uint8_t Reserved;
};
static_assert(sizeof(RequestRow) == 16);

// Bit mask of record words.
constexpr uint8_t Words(uint32_t First, uint32_t Last) {
  return static_cast<uint8_t>(((1u << (Last + 1)) - 1) & ~((1u << First) - 1));
}

// The highest word of a mask (0 for an empty one).
constexpr uint8_t LastWord(uint8_t Mask) {
  uint8_t Last = 0;
  for (uint8_t Word = 0; Word < kRecordWords; ++Word) {
    Last = (Mask & (1u << Word)) != 0 ? Word : Last;
  }
  return Last;
}

// The words a row reads, as a mask.
constexpr uint8_t ReadWords(const RequestRow &Row) {
  return Words(0, Row.LastWordRead);
}

namespace requesttable {

constexpr uint8_t kWord0 = Words(0, 0);

// The branch name's offset of each function, in function order.
constexpr uint16_t kBranch[] = {
#define VARNEL_BRANCH_OF(Number, Id, Name) kBranch##Id,
    VARNELMM_FUNCTION_LIST(VARNEL_BRANCH_OF)
#undef VARNEL_BRANCH_OF
};

// A row; the gates and the signed part come from the protocol's fact list.
constexpr RequestRow Row(uint64_t Function, RequestPath Path, uint16_t Fail, uint16_t Refused,
                         uint8_t LastWordRead, uint8_t Written, SubCommand Sub) {
  const uint8_t Last = LastWordRead > LastWord(Written) ? LastWordRead : LastWord(Written);
  return {kBranch[Function],
          Fail,
          Refused,
          Path,
          LastWordRead,
          Written,
          static_cast<uint8_t>(Sub),
          static_cast<uint8_t>(VarnelMmFunctionSignedBytes(Function)),
          static_cast<uint8_t>((Last + 1) * sizeof(uint64_t)),
          VarnelMmFunctionSeedGated(Function) != 0,
          VarnelMmFunctionPermissionChecked(Function) != 0,
          VarnelMmFunctionMovesData(Function) != 0,
          0};
}

constexpr RequestPath kFlash = RequestPath::kFlash;
constexpr RequestPath kQuery = RequestPath::kInfoQuery;

}  // namespace requesttable

// Indexed by function number. Lock-down makes no secure call: its sub-command is never used.
inline constexpr RequestRow kRequests[] = {
#define R requesttable::Row
#define W0 requesttable::kWord0
    R(kFunctionGetInfo, RequestPath::kFlashInfo, kInfoFailed, kNoText, 0, Words(0, 4), kSubGetInfo),
    R(kFunctionRead, requesttable::kFlash, kReadFailed, kNoText, 3, W0, kSubRead),
    R(kFunctionWrite, requesttable::kFlash, kWriteFailed, kNoText, 3, W0, kSubWrite),
    R(kFunctionErase, requesttable::kFlash, kEraseFailed, kNoText, 2, W0, kSubErase),
    R(kFunctionGetNvInfo, requesttable::kQuery, kNvInfoFailed, kNoText, 0, Words(0, 2),
      kSubGetNvInfo),
    R(kFunctionGetNv2Info, requesttable::kQuery, kNv2InfoFailed, kNoText, 0, Words(0, 2),
      kSubGetNv2Info),
    R(kFunctionGetFailSafeInfo, requesttable::kQuery, kFailSafeInfoFailed, kNoText, 0, Words(0, 2),
      kSubGetFailSafeInfo),
    R(kFunctionRunTimeLockDown, RequestPath::kLockDown, kNoText, kNoText, 0, W0, kSubGetInfo),
    R(kFunctionSeedDeploy, RequestPath::kSeedDeploy, kSeedFailed, kNoText, 1, W0, kSubSeedDeploy),
    R(kFunctionSecureRead, requesttable::kFlash, kReadFailed, kReadRefused, 5, W0, kSubSecureRead),
    R(kFunctionSecureWrite, requesttable::kFlash, kWriteFailed, kWriteRefused, 5, W0,
      kSubSecureWrite),
    R(kFunctionSecureErase, requesttable::kFlash, kEraseFailed, kEraseRefused, 4, W0,
      kSubSecureErase),
    R(kFunctionRegionLock, requesttable::kFlash, kLockFailed, kNoText, 2, W0, kSubRegionLock),
    R(kFunctionSecureRegionLock, requesttable::kFlash, kLockFailed, kLockRefused, 4, W0,
      kSubSecureRegionLock),
    R(kFunctionLockRegionLock, RequestPath::kLockRegionLock, kLockLockFailed, kNoText, 0, W0,
      kSubLockRegionLock),
#undef R
#undef W0
};
static_assert(sizeof(kRequests) / sizeof(kRequests[0]) == kHighestFunction + 1);

// A text of a row (only for a field the row has).
inline const char *RowText(uint16_t Offset) {
  return kRequestTexts + Offset;
}

namespace requesttable {

// Each row's texts take exactly the arguments its path hands over: the branch name, and for
// flash requests Offset and Length after it.
constexpr bool TextsMatch(const RequestRow &Row) {
  using logcheck::SlotKind;
  constexpr SlotKind kNameOnly[] = {SlotKind::AsciiText};
  constexpr SlotKind kNameAndRange[] = {SlotKind::AsciiText, SlotKind::Number, SlotKind::Number};
  const bool Range = Row.Path == RequestPath::kFlash;
  const bool Fail = Row.FailFormat == kNoText
                        ? Row.Path == RequestPath::kLockDown
                        : logcheck::FormatMatches(kRequestTexts + Row.FailFormat,
                                                  Range ? kNameAndRange : kNameOnly, Range ? 3 : 1);
  const bool Refused =
      (Row.AuthRefusedFormat == kNoText) == (Row.SignedBytes == 0) &&
      (Row.AuthRefusedFormat == kNoText ||
       logcheck::FormatMatches(kRequestTexts + Row.AuthRefusedFormat, kNameOnly, 1));
  return Fail && Refused;
}

constexpr bool TableIsSound() {
  for (uint64_t Function = 0; Function <= kHighestFunction; ++Function) {
    const RequestRow &Row = kRequests[Function];
    // Each row sits at its own function number.
    if (!packedtext::Same(kRequestTexts + Row.BranchName, VarnelMmFunctionName(Function))) {
      return false;
    }
    // Word 0 is the function number coming in and the status word going out; results and
    // requests never share another word, so no decision rests on a word the handler wrote.
    if ((ReadWords(Row) & Row.WriteWords) != 1 || !TextsMatch(Row)) {
      return false;
    }
    // The copy holds what the path uses: Offset and Length for a flash request, and Buffer when
    // it moves data; the seed for seed deployment.
    const uint32_t Uses = Row.Path == RequestPath::kFlash
                              ? (Row.MovesData ? kWordBuffer : kWordLength)
                              : (Row.Path == RequestPath::kSeedDeploy ? kWordOffset : 0);
    if (Row.LastWordRead < Uses) {
      return false;
    }
    // An authenticated request reads its whole signed part and the AuthInfo word behind it, and
    // nothing else.
    if (Row.SignedBytes != 0 && Row.LastWordRead != Row.SignedBytes / sizeof(uint64_t)) {
      return false;
    }
    // The protocol's own classes, which the tools plan and report by, name the same paths: a
    // function takes a flash range exactly when it is served as a flash request, and is an info
    // query exactly when its answer carries the query's two results.
    if ((VarnelMmFunctionRangeAccess(Function) != VarnelMmRangeNone) !=
            (Row.Path == RequestPath::kFlash) ||
        (VarnelMmFunctionIsInfoQuery(Function) != 0) != (Row.Path == RequestPath::kInfoQuery)) {
      return false;
    }
  }
  return kRequests[kFunctionSecureWrite].BytesNeeded == kRecordBytes;
}
static_assert(TableIsSound());

}  // namespace requesttable

}  // namespace varnel
