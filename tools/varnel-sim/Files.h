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

// SIGINT, SIGTERM or SIGHUP asked the run to stop between two requests: exit status 128 + signal.
class Interrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Installs the handlers that turn SIGINT, SIGTERM and SIGHUP into a request to stop, and makes
// SIGPIPE and SIGXFSZ failed writes instead of deaths.
void InstallStopHandlers();
// The signal that asked the run to stop, or 0.
int StopSignal();

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, before anything else is
// opened, so no file of the run can become one of them. Returns a bit per descriptor that was
// closed.
unsigned OpenClosedStandardDescriptors();

// Text safe for a terminal and for JSON: control characters, DEL and bytes that are not valid
// UTF-8 become \xNN, a backslash is doubled, everything else is kept.
std::string Escape(const std::string &Text);

// printf-style formatting into a string of whatever length the result needs (no fixed buffer to
// truncate a long file name in a message).
std::string Format(const char *Pattern, ...) __attribute__((format(printf, 1, 2)));

// Writes Text to Out; a failed write is remembered (see OutputFailed) rather than ignored.
void Print(std::FILE *Out, const std::string &Text);
void PrintBytes(std::FILE *Out, const uint8_t *Bytes, uint64_t Length);
// True when any Print, or a flush of stdout or stderr, has failed so far.
bool OutputFailed();
// Flushes Out and records a failure.
void FlushChecked(std::FILE *Out);

// An input file opened and checked before the first request: a regular file of at most Limit
// bytes (read when used, and refused if it changed meanwhile) or standard input ("-", read whole
// at check time, at most Limit bytes).
class InputFile {
 public:
  // Throws UsageError naming What (e.g. "write: input") when Path is missing, not a regular file
  // or "-", unreadable or larger than Limit, or when it is "-" and standard input was closed
  // (StdinClosed), is a directory or cannot be read.
  InputFile(const std::string &Path, const std::string &What, uint64_t Limit, bool StdinClosed);
  ~InputFile();
  InputFile(const InputFile &) = delete;
  InputFile &operator=(const InputFile &) = delete;
  uint64_t Size() const { return Length; }
  const std::string &Path() const { return Name; }
  FileIdentity Identity() const { return Id; }
  bool IsStdin() const { return Stdin; }
  // Reads Count bytes at Offset into Bytes; throws ToolError when the file changed since it was
  // checked or cannot be read.
  void Read(uint64_t Offset, uint8_t *Bytes, uint64_t Count) const;

 private:
  std::string Name;
  uint64_t Length = 0;
  bool Stdin = false;
  int Descriptor = -1;
  std::vector<uint8_t> Contents;  // standard input
  FileIdentity Id;
  int64_t ModifiedSeconds = 0;
  int64_t ModifiedNanoseconds = 0;
};

// Throws UsageError when Path cannot become an output (What names it for the message): its name
// is too long, its directory is missing or not writable, or it is a directory. "-" is standard
// output.
void CheckOutputPath(const std::string &Path, const std::string &What);

// An output file: an unnamed file in the target's directory (O_TMPFILE) that gets the target's
// name only in Commit, so nothing is left behind when the run ends any other way, SIGKILL
// included. "-" writes straight to stdout, and a target that is not a regular file (a device, a
// pipe) is written in place.
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
  std::string Directory;
  std::string Temporary;  // only where the file system has no unnamed files
  int Descriptor = -1;
  bool Stdout = false;
  bool InPlace = false;
};

}  // namespace varnelsim
