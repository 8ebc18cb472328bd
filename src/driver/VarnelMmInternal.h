// SPDX-License-Identifier: BSD-3-Clause
// The request paths' shared pieces: the shared record and the private copy of a request, the
// answer, the table's log line, and the paths the dispatcher calls with the request's row.
#pragma once

#include <stdint.h>

#include "base/UefiTypes.h"
#include "driver/RequestTable.h"
#include "driver/VarnelMmProtocol.h"
#include "log/DebugLog.h"

namespace varnel {

// The record lies in memory the normal world shares and may rewrite at any instant. The handler
// reads each word a request uses exactly once, into a private copy, before anything else happens;
// every decision and every action of the request rests on that copy. The record itself is only
// written: the answers below.

// The shared record as the driver holds it. It offers no way to read a word but FetchWord, so a
// second read of a word (a check on the copy and a use of the record, say) cannot be written by
// accident; words are only stored, as answers. One pointer, passed in one register.
class SharedRecord {
 public:
  explicit SharedRecord(void *CommBuffer) : Words_(static_cast<volatile uint64_t *>(CommBuffer)) {}
  void Store(uint32_t Word, uint64_t Value) const { Words_[Word] = Value; }
  // The record's address, for the lines that print it.
  const volatile void *Address() const { return Words_; }

 private:
  friend uint64_t FetchWord(SharedRecord Record, uint32_t Word);
  volatile uint64_t *Words_;
};
static_assert(sizeof(SharedRecord) == sizeof(void *) && __is_trivially_copyable(SharedRecord));

// The one way the driver reads the shared record.
inline uint64_t FetchWord(SharedRecord Record, uint32_t Word) {
  return Record.Words_[Word];
}

// The request as the handler took it: word 0 is the function number it dispatched on, words 1 to
// the row's LastWordRead are those the function reads. The rest are never written: the request
// table proves that no path reads beyond its row's words.
struct RequestCopy {
  VARNELMM_RECORD_WORD_ARRAY Word;
};

// Replaces word 0 with the status word and hands back the UEFI status for the MM core. Every
// path stores its status word last, so no event of the request follows it.
inline EFI_STATUS Answer(SharedRecord Record, uint64_t StatusWord, EFI_STATUS Status) {
  Record.Store(kWordFunctionId, StatusWord);
  return Status;
}

// Logs one of the request table's lines. The table proves at compile time that each format takes
// the branch name, or the branch name, Offset and Length; a name-only format leaves the other two
// unread.
inline void LogRequestLine(uint64_t Level, const char *Format, const char *BranchName,
                           uint64_t Offset = 0, uint64_t Length = 0) {
  if (LevelCanPrint(Level) && LogPrintEnabled() && LogLevelEnabled(Level)) {
    LogPrint(Level, Format, BranchName, Offset, Length);
  }
}

// RequestPaths.cpp: takes the private copy of a request whose checks passed, has an authenticated
// one authenticated, and serves it from the copy along its row's path.
EFI_STATUS ServeRequest(const RequestRow &Row, SharedRecord Record, uint64_t Function);

// AuthenticatedRequest.cpp: for an authenticated function, stages the signed part of the copy in MM
// pool memory, has the secure firmware authenticate it and releases the buffer. Answers EFI_SUCCESS
// when the firmware accepted it, EFI_DEVICE_ERROR when it refused (the refusal line is logged)
// and EFI_OUT_OF_RESOURCES when no staging buffer could be had (nothing logged, nothing called).
EFI_STATUS AuthenticateRequest(const RequestRow &Row, const RequestCopy &Request);

}  // namespace varnel
