// SPDX-License-Identifier: BSD-3-Clause
// What the driver knows about each request, one row per function number: the branch name its
// lines print, the record words it reads and writes, the gates it passes, the secure sub-command
// that carries it out, its signed part and its message texts. The handler, its size check and
// every request path read their row; nothing about a request is written anywhere else.
#pragma once

#include <stdint.h>

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

struct RequestDescriptor {
  const char *BranchName;
  // Error line when the secure call fails: the branch name, and for flash requests Offset and
  // Length too. Null when the request makes no secure call.
  const char *FailFormat;
  // Authenticated requests: error line when the firmware refuses the signed part; else null.
  const char *AuthRefusedFormat;
  RequestPath Path;
  uint8_t ReadWords;    // bit n: the request reads record word n (word 0 always)
  uint8_t WriteWords;   // bit n: the request may write record word n (word 0 always)
  uint8_t Sub;          // the secure sub-command (SubCommand) that carries the request out
  uint8_t SignedBytes;  // 0, or the signed part's length; AuthInfo is the word right behind it
  bool SeedGated;       // refused once a seed is deployed
  bool PermissionChecked;
  bool MovesData;  // Buffer names normal-world data (read and write); else x4 is 0
};

// Bit mask of record words.
constexpr uint8_t Words(uint32_t First, uint32_t Last) {
  return static_cast<uint8_t>(((1u << (Last + 1)) - 1) & ~((1u << First) - 1));
}

// The highest word of a mask (0 for an empty one).
constexpr uint8_t LastWord(uint8_t Mask) {
  uint8_t Last = 0;
  for (uint8_t Word = 0; Word < kRecordWords; ++Word) {
    if ((Mask & (1u << Word)) != 0) {
      Last = Word;
    }
  }
  return Last;
}

namespace requesttable {

constexpr uint8_t kWord0 = Words(0, 0);

// A function's branch name, as the protocol header lists it.
constexpr const char *Branch(uint64_t Function) {
  return VarnelMmFunctionName(Function);
}

// Any row: the seed gate, the permission check, the signed part and whether Buffer names data
// come from the protocol header's fact list, which request planners read as well.
constexpr RequestDescriptor Row(uint64_t Function, const char *Fail, const char *Refused,
                                RequestPath Path, uint8_t Read, uint8_t Written, SubCommand Sub) {
  return {Branch(Function),
          Fail,
          Refused,
          Path,
          Read,
          Written,
          static_cast<uint8_t>(Sub),
          static_cast<uint8_t>(VarnelMmFunctionSignedBytes(Function)),
          VarnelMmFunctionSeedGated(Function) != 0,
          VarnelMmFunctionPermissionChecked(Function) != 0,
          VarnelMmFunctionMovesData(Function) != 0};
}

constexpr RequestDescriptor Query(uint64_t Function, const char *Fail, RequestPath Path,
                                  uint8_t Written, SubCommand Sub) {
  return Row(Function, Fail, nullptr, Path, kWord0, Written, Sub);
}

constexpr RequestDescriptor Plain(uint64_t Function, const char *Fail, uint8_t Read,
                                  SubCommand Sub) {
  return Row(Function, Fail, nullptr, RequestPath::kFlash, Read, kWord0, Sub);
}

// An authenticated request reads its signed part and the AuthInfo word behind it.
constexpr RequestDescriptor Signed(uint64_t Function, const char *Fail, const char *Refused,
                                   SubCommand Sub) {
  return Row(Function, Fail, Refused, RequestPath::kFlash,
             Words(0, VarnelMmFunctionSignedBytes(Function) / sizeof(uint64_t)), kWord0, Sub);
}

constexpr const char kReadFailed[] = "%a Fail to Read Offset %llx Len %llx\n";
constexpr const char kWriteFailed[] = "%a Fail to Write Offset %llx Len %llx\n";
constexpr const char kEraseFailed[] = "%a Fail to Erase Offset %llx Len %llx\n";
constexpr const char kLockFailed[] = "%a Fail to Lock region at Offset %llx Len %llx\n";

}  // namespace requesttable

// Indexed by function number.
inline constexpr RequestDescriptor kRequests[] = {
    requesttable::Query(kFunctionGetInfo, "%a Can't get Varnel Info\n", RequestPath::kFlashInfo,
                        Words(0, 4), kSubGetInfo),
    requesttable::Plain(kFunctionRead, requesttable::kReadFailed, Words(0, 3), kSubRead),
    requesttable::Plain(kFunctionWrite, requesttable::kWriteFailed, Words(0, 3), kSubWrite),
    requesttable::Plain(kFunctionErase, requesttable::kEraseFailed, Words(0, 2), kSubErase),
    requesttable::Query(kFunctionGetNvInfo, "%a Can't get Varnel NV Info\n",
                        RequestPath::kInfoQuery, Words(0, 2), kSubGetNvInfo),
    requesttable::Query(kFunctionGetNv2Info, "%a Can't get Varnel NV2 Info\n",
                        RequestPath::kInfoQuery, Words(0, 2), kSubGetNv2Info),
    requesttable::Query(kFunctionGetFailSafeInfo, "%a Can't get SPI NOR Failsafe Info\n",
                        RequestPath::kInfoQuery, Words(0, 2), kSubGetFailSafeInfo),
    // Lock-down makes no secure call: its sub-command is never used.
    requesttable::Query(kFunctionRunTimeLockDown, nullptr, RequestPath::kLockDown,
                        requesttable::kWord0, kSubGetInfo),
    requesttable::Row(kFunctionSeedDeploy, "%a Can't Deploy Secure SPI Seed\n", nullptr,
                      RequestPath::kSeedDeploy, Words(0, 1), requesttable::kWord0, kSubSeedDeploy),
    requesttable::Signed(kFunctionSecureRead, requesttable::kReadFailed,
                         "%a Fail to authenticate Read request\n", kSubSecureRead),
    requesttable::Signed(kFunctionSecureWrite, requesttable::kWriteFailed,
                         "%a Fail to authenticate write request\n", kSubSecureWrite),
    requesttable::Signed(kFunctionSecureErase, requesttable::kEraseFailed,
                         "%a Fail to authenticate erase request\n", kSubSecureErase),
    requesttable::Plain(kFunctionRegionLock, requesttable::kLockFailed, Words(0, 2),
                        kSubRegionLock),
    requesttable::Signed(kFunctionSecureRegionLock, requesttable::kLockFailed,
                         "%a Fail to authenticate region lock request\n", kSubSecureRegionLock),
    requesttable::Row(kFunctionLockRegionLock, "%a Fail to Lock region lock command\n", nullptr,
                      RequestPath::kLockRegionLock, requesttable::kWord0, requesttable::kWord0,
                      kSubLockRegionLock),
};
static_assert(sizeof(kRequests) / sizeof(kRequests[0]) == kHighestFunction + 1);

// Bytes of the record a request needs: through the highest word it reads or writes.
constexpr uint64_t BytesNeeded(const RequestDescriptor &Row) {
  const uint32_t Touched = Row.ReadWords | Row.WriteWords;
  uint64_t Bytes = 0;
  for (uint32_t Word = 0; Word < kRecordWords; ++Word) {
    if ((Touched & (1u << Word)) != 0) {
      Bytes = (Word + 1) * sizeof(uint64_t);
    }
  }
  return Bytes;
}

namespace requesttable {

// Each row's texts take exactly the arguments its path hands over: the branch name, and for
// flash requests Offset and Length after it.
constexpr bool TextsMatch(const RequestDescriptor &Row) {
  using logcheck::SlotKind;
  constexpr SlotKind kNameOnly[] = {SlotKind::AsciiText};
  constexpr SlotKind kNameAndRange[] = {SlotKind::AsciiText, SlotKind::Number, SlotKind::Number};
  const bool Range = Row.Path == RequestPath::kFlash;
  const bool Fail = Row.FailFormat == nullptr
                        ? Row.Path == RequestPath::kLockDown
                        : logcheck::FormatMatches(Row.FailFormat, Range ? kNameAndRange : kNameOnly,
                                                  Range ? 3 : 1);
  const bool Refused = (Row.AuthRefusedFormat == nullptr) == (Row.SignedBytes == 0) &&
                       (Row.AuthRefusedFormat == nullptr ||
                        logcheck::FormatMatches(Row.AuthRefusedFormat, kNameOnly, 1));
  return Fail && Refused;
}

constexpr bool TableIsSound() {
  for (uint64_t Function = 0; Function <= kHighestFunction; ++Function) {
    const RequestDescriptor &Row = kRequests[Function];
    // Each row sits at its own function number.
    if (Row.BranchName != Branch(Function)) {
      return false;
    }
    // Every request reads a run of words from word 0 on, so the copy is one simple loop.
    if (Row.ReadWords != Words(0, LastWord(Row.ReadWords))) {
      return false;
    }
    // Word 0 is the function number coming in and the status word going out.
    if ((Row.ReadWords & Row.WriteWords & 1) == 0 || !TextsMatch(Row)) {
      return false;
    }
    // Results and requests never share a word, so no decision rests on a word the handler wrote.
    if ((Row.ReadWords & Row.WriteWords) != 1) {
      return false;
    }
    // An authenticated request reads its whole signed part and the AuthInfo word behind it, and
    // nothing else.
    if (Row.SignedBytes != 0 && Row.ReadWords != Words(0, Row.SignedBytes / sizeof(uint64_t))) {
      return false;
    }
  }
  return BytesNeeded(kRequests[kFunctionSecureWrite]) == kRecordBytes;
}
static_assert(TableIsSound());

}  // namespace requesttable

// ---- The table as the driver carries it ---------------------------------------------------------
// The rows above hold pointers, which the image would have to store and relocate one by one. The
// driver uses this compiled form instead: every distinct text once, back to back in one pool, and
// rows that name their texts by offset.

namespace requesttable {

constexpr uint64_t TextLength(const char *Text) {
  uint64_t Length = 0;
  while (Text[Length] != '\0') {
    ++Length;
  }
  return Length;
}

constexpr bool SameText(const char *A, const char *B) {
  uint64_t Index = 0;
  while (A[Index] != '\0' && A[Index] == B[Index]) {
    ++Index;
  }
  return A[Index] == B[Index];
}

constexpr uint32_t kTextsPerRow = 3;

constexpr const char *TextOf(const RequestDescriptor &Row, uint32_t Field) {
  return Field == 0 ? Row.BranchName : (Field == 1 ? Row.FailFormat : Row.AuthRefusedFormat);
}

// Whether text (Function, Field) is the first appearance of its characters in the table.
constexpr bool FirstAppearance(uint64_t Function, uint32_t Field) {
  const char *Text = TextOf(kRequests[Function], Field);
  for (uint64_t Earlier = 0; Earlier <= Function; ++Earlier) {
    for (uint32_t Other = 0; Other < kTextsPerRow; ++Other) {
      if (Earlier == Function && Other == Field) {
        return true;
      }
      const char *Seen = TextOf(kRequests[Earlier], Other);
      if (Seen != nullptr && SameText(Seen, Text)) {
        return false;
      }
    }
  }
  return true;
}

constexpr uint64_t PoolBytes() {
  uint64_t Bytes = 0;
  for (uint64_t Function = 0; Function <= kHighestFunction; ++Function) {
    for (uint32_t Field = 0; Field < kTextsPerRow; ++Field) {
      const char *Text = TextOf(kRequests[Function], Field);
      if (Text != nullptr && FirstAppearance(Function, Field)) {
        Bytes += TextLength(Text) + 1;
      }
    }
  }
  return Bytes;
}

struct TextPool {
  char Bytes[PoolBytes()];
};

constexpr TextPool BuildPool() {
  TextPool Pool = {};
  uint64_t Next = 0;
  for (uint64_t Function = 0; Function <= kHighestFunction; ++Function) {
    for (uint32_t Field = 0; Field < kTextsPerRow; ++Field) {
      const char *Text = TextOf(kRequests[Function], Field);
      if (Text != nullptr && FirstAppearance(Function, Field)) {
        for (uint64_t Index = 0; Index <= TextLength(Text); ++Index) {
          Pool.Bytes[Next++] = Text[Index];
        }
      }
    }
  }
  return Pool;
}

}  // namespace requesttable

inline constexpr requesttable::TextPool kRequestTexts = requesttable::BuildPool();
static_assert(sizeof(kRequestTexts) < 0x10000);

// One row of the compiled table: the descriptor's texts as offsets in kRequestTexts.
struct RequestRow {
  uint16_t BranchName;
  uint16_t FailFormat;         // kNoText when the row has none
  uint16_t AuthRefusedFormat;  // kNoText for unauthenticated rows
  RequestPath Path;
  uint8_t LastWordRead;  // the request reads words 0 to LastWordRead
  uint8_t WriteWords;
  uint8_t Sub;
  uint8_t SignedBytes;
  bool SeedGated;
  bool PermissionChecked;
  bool MovesData;
  uint8_t Reserved[2];  // rows of 16 bytes are found with a shift
};
static_assert(sizeof(RequestRow) == 16);

namespace requesttable {

constexpr uint16_t kNoText = 0xFFFF;

constexpr uint16_t PoolOffset(const char *Text) {
  if (Text == nullptr) {
    return kNoText;
  }
  uint64_t Offset = 0;
  while (!SameText(kRequestTexts.Bytes + Offset, Text)) {
    Offset += TextLength(kRequestTexts.Bytes + Offset) + 1;
  }
  return static_cast<uint16_t>(Offset);
}

struct CompiledRows {
  RequestRow Row[kHighestFunction + 1];
};

constexpr CompiledRows Compile() {
  CompiledRows Rows = {};
  for (uint64_t Function = 0; Function <= kHighestFunction; ++Function) {
    const RequestDescriptor &From = kRequests[Function];
    Rows.Row[Function] = {PoolOffset(From.BranchName),
                          PoolOffset(From.FailFormat),
                          PoolOffset(From.AuthRefusedFormat),
                          From.Path,
                          LastWord(From.ReadWords),
                          From.WriteWords,
                          From.Sub,
                          From.SignedBytes,
                          From.SeedGated,
                          From.PermissionChecked,
                          From.MovesData,
                          {0, 0}};
  }
  return Rows;
}

}  // namespace requesttable

inline constexpr requesttable::CompiledRows kRequestRows = requesttable::Compile();

// The row of a function number in range.
inline const RequestRow &RowOf(uint64_t Function) {
  return kRequestRows.Row[Function];
}
// A text of a row, from the pool (only for a field the row has).
inline const char *RowText(uint16_t Offset) {
  return kRequestTexts.Bytes + Offset;
}

// The compiled rows name the same texts as the table: spot-check one across the pool.
static_assert(requesttable::SameText(kRequestTexts.Bytes +
                                         kRequestRows.Row[kFunctionSecureErase].BranchName,
                                     requesttable::Branch(kFunctionSecureErase)));

}  // namespace varnel
