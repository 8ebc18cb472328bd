// SPDX-License-Identifier: BSD-3-Clause
// Input checks, atomic outputs, checked console writes and escaping.
#include "tools/varnel-sim/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>

#include "tools/varnel-sim/CommandLine.h"

namespace varnelsim {
namespace {

bool gOutputFailed = false;

// Temporary outputs in the making, removed when SIGINT, SIGTERM, SIGHUP or SIGPIPE ends the run.
// Only async-signal-safe calls touch them in the handler.
constexpr int kMaxPending = 4;
char gPending[kMaxPending][PATH_MAX];
volatile sig_atomic_t gPendingUsed[kMaxPending];

void RemovePending(int Signal) {
  for (int Slot = 0; Slot < kMaxPending; ++Slot) {
    if (gPendingUsed[Slot] != 0) {
      ::unlink(gPending[Slot]);
    }
  }
  ::signal(Signal, SIG_DFL);
  ::raise(Signal);
}

int AddPending(const std::string &Path) {
  static const bool Installed = [] {
    for (const int Signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
      ::signal(Signal, RemovePending);
    }
    return true;
  }();
  (void)Installed;
  for (int Slot = 0; Slot < kMaxPending; ++Slot) {
    if (gPendingUsed[Slot] == 0 && Path.size() < PATH_MAX) {
      std::memcpy(gPending[Slot], Path.c_str(), Path.size() + 1);
      gPendingUsed[Slot] = 1;
      return Slot;
    }
  }
  return -1;
}

void DropPending(int Slot) {
  if (Slot >= 0) {
    gPendingUsed[Slot] = 0;
  }
}

// Length of the UTF-8 sequence at Text[At] (2 to 4), or 0 when it is not a valid one.
size_t Utf8Sequence(const std::string &Text, size_t At) {
  const auto Byte = [&](size_t Index) { return static_cast<unsigned char>(Text[Index]); };
  const unsigned char Lead = Byte(At);
  size_t Length;
  uint32_t Point;
  if (Lead >= 0xC2 && Lead <= 0xDF) {
    Length = 2;
    Point = Lead & 0x1F;
  } else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Length = 3;
    Point = Lead & 0x0F;
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Length = 4;
    Point = Lead & 0x07;
  } else {
    return 0;
  }
  if (At + Length > Text.size()) {
    return 0;
  }
  for (size_t Index = 1; Index < Length; ++Index) {
    if ((Byte(At + Index) & 0xC0) != 0x80) {
      return 0;
    }
    Point = (Point << 6) | (Byte(At + Index) & 0x3F);
  }
  const bool Overlong = (Length == 3 && Point < 0x800) || (Length == 4 && Point < 0x10000);
  const bool Surrogate = Point >= 0xD800 && Point <= 0xDFFF;
  return Overlong || Surrogate || Point > 0x10FFFF ? 0 : Length;
}

std::string SystemError(const std::string &What, const std::string &Path) {
  return What + " '" + Path + "': " + std::strerror(errno);
}

}  // namespace

std::string Escape(const std::string &Text) {
  std::string Safe;
  for (size_t At = 0; At < Text.size();) {
    const auto Byte = static_cast<unsigned char>(Text[At]);
    if (Byte == '\\') {
      Safe += "\\\\";
      ++At;
    } else if (Byte >= 0x20 && Byte < 0x7F) {
      Safe += Text[At++];
    } else if (const size_t Length = Byte >= 0x80 ? Utf8Sequence(Text, At) : 0; Length != 0) {
      Safe.append(Text, At, Length);
      At += Length;
    } else {
      static const char kDigits[] = "0123456789ABCDEF";
      Safe += "\\x";
      Safe += kDigits[Byte >> 4];
      Safe += kDigits[Byte & 0xF];
      ++At;
    }
  }
  return Safe;
}

void PrintBytes(std::FILE *Out, const uint8_t *Bytes, uint64_t Length) {
  if (Length != 0 && std::fwrite(Bytes, 1, Length, Out) != Length) {
    gOutputFailed = true;
  }
}

void Print(std::FILE *Out, const std::string &Text) {
  PrintBytes(Out, reinterpret_cast<const uint8_t *>(Text.data()), Text.size());
}

void FlushChecked(std::FILE *Out) {
  if (std::fflush(Out) != 0 || std::ferror(Out) != 0) {
    gOutputFailed = true;
  }
}

bool OutputFailed() {
  return gOutputFailed;
}

InputFile::InputFile(const std::string &Path, const std::optional<FileIdentity> &Image,
                     const std::string &What)
    : Name(Path) {
  if (Path == "-") {
    Stdin = true;
    Contents.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) {
      throw UsageError(What + ": cannot read standard input");
    }
    Length = Contents.size();
    return;
  }
  struct stat Status;
  if (::stat(Path.c_str(), &Status) != 0) {
    throw UsageError(SystemError(What + ": cannot open", Path));
  }
  if (!S_ISREG(Status.st_mode)) {
    throw UsageError(What + ": '" + Path + "' is not a regular file (use - for standard input)");
  }
  Id = FileIdentity{Status.st_dev, Status.st_ino};
  if (Image && *Image == Id) {
    throw UsageError(What + ": '" + Path + "' is the flash image itself");
  }
  if (::access(Path.c_str(), R_OK) != 0) {
    throw UsageError(SystemError(What + ": cannot read", Path));
  }
  Length = static_cast<uint64_t>(Status.st_size);
  ModifiedSeconds = Status.st_mtim.tv_sec;
  ModifiedNanoseconds = Status.st_mtim.tv_nsec;
}

void InputFile::Read(uint64_t Offset, uint8_t *Bytes, uint64_t Count) const {
  if (Stdin) {
    std::memcpy(Bytes, Contents.data() + Offset, Count);
    return;
  }
  const int Descriptor = ::open(Name.c_str(), O_RDONLY | O_CLOEXEC);
  if (Descriptor < 0) {
    throw ToolError(SystemError("cannot open", Name));
  }
  struct stat Status;
  const bool Same =
      ::fstat(Descriptor, &Status) == 0 && FileIdentity{Status.st_dev, Status.st_ino} == Id &&
      static_cast<uint64_t>(Status.st_size) == Length && Status.st_mtim.tv_sec == ModifiedSeconds &&
      Status.st_mtim.tv_nsec == ModifiedNanoseconds;
  uint64_t Done = 0;
  while (Same && Done < Count) {
    const ssize_t Got =
        ::pread(Descriptor, Bytes + Done, Count - Done, static_cast<off_t>(Offset + Done));
    if (Got < 0 && errno == EINTR) {
      continue;
    }
    if (Got <= 0) {
      const std::string Message = Got < 0 ? SystemError("cannot read", Name)
                                          : "'" + Name + "' became shorter while it was read";
      ::close(Descriptor);
      throw ToolError(Message);
    }
    Done += static_cast<uint64_t>(Got);
  }
  ::close(Descriptor);
  if (!Same) {
    throw ToolError("'" + Name + "' changed after it was checked; nothing more was sent");
  }
}

void CheckOutputPath(const std::string &Path, const std::optional<FileIdentity> &Image,
                     const std::string &What) {
  if (Path == "-") {
    return;
  }
  if (Path.empty()) {
    throw UsageError(What + ": empty file name");
  }
  struct stat Status;
  if (::stat(Path.c_str(), &Status) == 0) {
    if (S_ISDIR(Status.st_mode)) {
      throw UsageError(What + ": '" + Path + "' is a directory");
    }
    if (Image && *Image == FileIdentity{Status.st_dev, Status.st_ino}) {
      throw UsageError(What + ": '" + Path + "' is the flash image itself");
    }
    if (!S_ISREG(Status.st_mode)) {  // a device or a pipe is written in place
      if (::access(Path.c_str(), W_OK) != 0) {
        throw UsageError(SystemError(What + ": cannot write", Path));
      }
      return;
    }
  }
  const size_t Slash = Path.rfind('/');
  const std::string Directory =
      Slash == std::string::npos ? "." : (Slash == 0 ? "/" : Path.substr(0, Slash));
  if (::stat(Directory.c_str(), &Status) != 0 || !S_ISDIR(Status.st_mode)) {
    throw UsageError(What + ": directory '" + Directory + "' does not exist");
  }
  if (::access(Directory.c_str(), W_OK) != 0) {
    throw UsageError(SystemError(What + ": cannot write in directory", Directory));
  }
}

AtomicOutput::AtomicOutput(const std::string &Path) : Target(Path), Stdout(Path == "-") {
  if (Stdout) {
    return;
  }
  // A device or a pipe (/dev/null, a FIFO) is written in place; only files are replaced.
  struct stat Status;
  if (::stat(Path.c_str(), &Status) == 0 && !S_ISREG(Status.st_mode)) {
    Descriptor = ::open(Path.c_str(), O_WRONLY | O_CLOEXEC);
    if (Descriptor < 0) {
      throw ToolError(SystemError("cannot open", Path));
    }
    return;
  }
  // A link to a file is followed: the file it names is replaced, the link stays.
  if (char *Resolved = ::realpath(Path.c_str(), nullptr); Resolved != nullptr) {
    Target = Resolved;
    std::free(Resolved);  // NOLINT(cppcoreguidelines-no-malloc): realpath's own allocation
  }
  const size_t Slash = Target.rfind('/');
  const std::string Directory = Slash == std::string::npos ? "." : Target.substr(0, Slash);
  Temporary = Directory + "/.varnel-out-XXXXXX";
  Descriptor = ::mkstemp(Temporary.data());
  if (Descriptor < 0) {
    throw ToolError(SystemError("cannot create a temporary file for", Path));
  }
  Pending = AddPending(Temporary);
  // The mode a new file would get (or the one the replaced file has).
  mode_t Mode;
  if (::stat(Target.c_str(), &Status) == 0) {
    Mode = Status.st_mode & 07777;
  } else {
    const mode_t Mask = ::umask(0);
    ::umask(Mask);
    Mode = 0666 & ~Mask;
  }
  ::fchmod(Descriptor, Mode);
}

AtomicOutput::~AtomicOutput() {
  if (Descriptor >= 0) {
    ::close(Descriptor);
    if (!Temporary.empty()) {
      ::unlink(Temporary.c_str());
    }
  }
  DropPending(Pending);
}

void AtomicOutput::Write(const uint8_t *Bytes, uint64_t Length) {
  if (Stdout) {
    PrintBytes(stdout, Bytes, Length);
    if (OutputFailed()) {
      throw ToolError(std::string("cannot write to standard output: ") + std::strerror(errno));
    }
    return;
  }
  uint64_t Done = 0;
  while (Done < Length) {
    const ssize_t Wrote = ::write(Descriptor, Bytes + Done, Length - Done);
    if (Wrote < 0 && errno == EINTR) {
      continue;
    }
    if (Wrote <= 0) {
      throw ToolError(SystemError("cannot write", Target));
    }
    Done += static_cast<uint64_t>(Wrote);
  }
}

void AtomicOutput::Commit() {
  if (Stdout) {
    FlushChecked(stdout);
    if (OutputFailed()) {
      throw ToolError(std::string("cannot write to standard output: ") + std::strerror(errno));
    }
    return;
  }
  const int Closing = Descriptor;
  Descriptor = -1;
  const bool Done = ::close(Closing) == 0 &&
                    (Temporary.empty() || ::rename(Temporary.c_str(), Target.c_str()) == 0);
  const std::string Message = Done ? "" : SystemError("cannot write", Target);
  if (!Done && !Temporary.empty()) {
    ::unlink(Temporary.c_str());
  }
  DropPending(Pending);
  Pending = -1;
  if (!Done) {
    throw ToolError(Message);
  }
}

}  // namespace varnelsim
