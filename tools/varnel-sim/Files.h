// SPDX-License-Identifier: BSD-3-Clause
// The files varnel-sim reads and writes besides the flash image: input files checked before any
// request and read back unchanged, outputs that replace their target only when complete, checked
// writes to stdout and stderr, and the escaping of untrusted text in messages.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/varnel-sim/FlashImage.h"

namespace varnelsim {

// A failure of the tool itself (I/O): exit status 3.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text safe for a terminal and for JSON: control characters, DEL and bytes that are not valid
// UTF-8 become \xNN, a backslash is doubled, everything else is kept.
std::string Escape(const std::string &Text);

// Writes Text to Out; a failed write is remembered (see OutputFailed) rather than ignored.
void Print(std::FILE *Out, const std::string &Text);
void PrintBytes(std::FILE *Out, const uint8_t *Bytes, uint64_t Length);
// True when any Print, or a flush of stdout or stderr, has failed so far.
bool OutputFailed();
// Flushes Out and records a failure.
void FlushChecked(std::FILE *Out);

// An input file as checked before the first request: a regular file (read again when used, and
// refused if it changed meanwhile) or standard input ("-", read whole at check time).
class InputFile {
 public:
  // Throws UsageError naming What (e.g. "write: input") when Path is missing, not a regular file
  // or "-", unreadable, or the flash image.
  InputFile(const std::string &Path, const std::optional<FileIdentity> &Image,
            const std::string &What);
  uint64_t Size() const { return Length; }
  const std::string &Path() const { return Name; }
  // Reads Length bytes at Offset into Bytes; throws ToolError when the file changed since it
  // was checked or cannot be read.
  void Read(uint64_t Offset, uint8_t *Bytes, uint64_t Count) const;

 private:
  std::string Name;
  uint64_t Length = 0;
  bool Stdin = false;
  std::vector<uint8_t> Contents;  // standard input
  FileIdentity Id;
  int64_t ModifiedSeconds = 0;
  int64_t ModifiedNanoseconds = 0;
};

// Throws UsageError when Path cannot become an output (What names it for the message): its
// directory is missing or not writable, it is a directory, or it is the flash image. "-" is
// standard output.
void CheckOutputPath(const std::string &Path, const std::optional<FileIdentity> &Image,
                     const std::string &What);

// An output file written to a temporary file beside its target and renamed over it by Commit;
// dropped (the target untouched) otherwise. "-" writes straight to stdout, and a target that is
// not a regular file (a device, a pipe) is written in place.
class AtomicOutput {
 public:
  explicit AtomicOutput(const std::string &Path);  // throws ToolError
  ~AtomicOutput();
  AtomicOutput(const AtomicOutput &) = delete;
  AtomicOutput &operator=(const AtomicOutput &) = delete;
  void Write(const uint8_t *Bytes, uint64_t Length);  // throws ToolError
  void Commit();                                      // throws ToolError

 private:
  std::string Target;
  std::string Temporary;
  int Descriptor = -1;
  int Pending = -1;  // slot of the temporary file among those an interrupt removes
  bool Stdout = false;
};

}  // namespace varnelsim
