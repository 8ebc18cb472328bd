// SPDX-License-Identifier: BSD-3-Clause
// Input checks, atomic outputs, checked console writes and escaping.
#include "tools/varnel-sim/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>

#include "tools/varnel-sim/CommandLine.h"

namespace varnelsim {
namespace {

bool gOutputFailed = false;
volatile sig_atomic_t gStopSignal = 0;

void AskToStop(int Signal) {
  gStopSignal = Signal;
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

void InstallStopHandlers() {
  struct sigaction Action = {};
  Action.sa_handler = AskToStop;
  sigemptyset(&Action.sa_mask);
  for (const int Signal : {SIGINT, SIGTERM, SIGHUP}) {
    ::sigaction(Signal, &Action, nullptr);
  }
  // Ignored: a write to a closed pipe or past the file size limit then fails with EPIPE or EFBIG,
  // which Print and AtomicOutput report.
  struct sigaction Ignore = {};
  Ignore.sa_handler = SIG_IGN;
  sigemptyset(&Ignore.sa_mask);
  for (const int Signal : {SIGPIPE, SIGXFSZ}) {
    ::sigaction(Signal, &Ignore, nullptr);
  }
}

int StopSignal() {
  return gStopSignal;
}

unsigned OpenClosedStandardDescriptors() {
  unsigned Closed = 0;
  for (int Descriptor = 0; Descriptor <= 2; ++Descriptor) {
    if (::fcntl(Descriptor, F_GETFD) < 0 && errno == EBADF) {
      // The lowest free descriptor is this one: the ones below it are open.
      const int Opened = ::open("/dev/null", Descriptor == 0 ? O_RDONLY : O_WRONLY);
      if (Opened != Descriptor) {
        std::abort();  // cannot happen: nothing else is open yet
      }
      Closed |= 1u << Descriptor;
    }
  }
  return Closed;
}

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

std::string Format(const char *Pattern, ...) {
  std::va_list Arguments;
  va_start(Arguments, Pattern);
  std::va_list Again;
  va_copy(Again, Arguments);
  const int Length = std::vsnprintf(nullptr, 0, Pattern, Arguments);
  va_end(Arguments);
  std::string Text;
  if (Length > 0) {
    Text.resize(static_cast<size_t>(Length) + 1);
    const int Written = std::vsnprintf(Text.data(), Text.size(), Pattern, Again);
    Text.resize(Written == Length ? static_cast<size_t>(Length) : 0);
  }
  va_end(Again);
  return Text;
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

InputFile::InputFile(const std::string &Path, const std::string &What, uint64_t Limit,
                     bool StdinClosed)
    : Name(Path) {
  if (Path == "-") {
    Stdin = true;
    struct stat Status;
    if (StdinClosed) {
      throw UsageError(What + ": standard input is closed");
    }
    if (::fstat(STDIN_FILENO, &Status) != 0 || S_ISDIR(Status.st_mode)) {
      throw UsageError(What + ": standard input is a directory or cannot be read");
    }
    if (S_ISREG(Status.st_mode) && static_cast<uint64_t>(Status.st_size) > Limit) {
      throw UsageError(What + ": standard input holds " + std::to_string(Status.st_size) +
                       " bytes, more than the flash's " + std::to_string(Limit));
    }
    // Read whole now, at most one byte more than the flash holds.
    std::vector<uint8_t> Block(1 << 16);
    while (true) {
      const ssize_t Got = ::read(STDIN_FILENO, Block.data(), Block.size());
      if (Got < 0 && errno == EINTR && StopSignal() == 0) {
        continue;
      }
      if (Got < 0) {
        throw UsageError(SystemError(What + ": cannot read", "standard input"));
      }
      if (Got == 0) {
        break;
      }
      Contents.insert(Contents.end(), Block.data(), Block.data() + Got);
      if (Contents.size() > Limit) {
        throw UsageError(What + ": standard input holds more than the flash's " +
                         std::to_string(Limit) + " bytes");
      }
    }
    Length = Contents.size();
    return;
  }
  Descriptor = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  struct stat Status;
  if (Descriptor < 0 || ::fstat(Descriptor, &Status) != 0) {
    throw UsageError(SystemError(What + ": cannot open", Path));
  }
  if (!S_ISREG(Status.st_mode)) {
    throw UsageError(What + ": '" + Path + "' is not a regular file (use - for standard input)");
  }
  Id = FileIdentity{Status.st_dev, Status.st_ino};
  Length = static_cast<uint64_t>(Status.st_size);
  if (Length > Limit) {
    throw UsageError(What + ": '" + Path + "' holds " + std::to_string(Length) +
                     " bytes, more than the flash's " + std::to_string(Limit));
  }
  ModifiedSeconds = Status.st_mtim.tv_sec;
  ModifiedNanoseconds = Status.st_mtim.tv_nsec;
}

InputFile::~InputFile() {
  if (Descriptor >= 0) {
    ::close(Descriptor);
  }
}

void InputFile::Read(uint64_t Offset, uint8_t *Bytes, uint64_t Count) const {
  if (Stdin) {
    std::memcpy(Bytes, Contents.data() + Offset, Count);
    return;
  }
  struct stat Status;
  const bool Same =
      ::fstat(Descriptor, &Status) == 0 && static_cast<uint64_t>(Status.st_size) == Length &&
      Status.st_mtim.tv_sec == ModifiedSeconds && Status.st_mtim.tv_nsec == ModifiedNanoseconds;
  if (!Same) {
    throw ToolError("'" + Name + "' changed after it was checked; nothing more was sent");
  }
  uint64_t Done = 0;
  while (Done < Count) {
    const ssize_t Got =
        ::pread(Descriptor, Bytes + Done, Count - Done, static_cast<off_t>(Offset + Done));
    if (Got < 0 && errno == EINTR) {
      continue;
    }
    if (Got <= 0) {
      throw ToolError(Got < 0 ? SystemError("cannot read", Name)
                              : "'" + Name + "' became shorter while it was read");
    }
    Done += static_cast<uint64_t>(Got);
  }
}

void CheckOutputPath(const std::string &Path, const std::string &What) {
  if (Path == "-") {
    return;
  }
  if (Path.empty()) {
    throw UsageError(What + ": empty file name");
  }
  const size_t Base = Path.rfind('/');
  const std::string Leaf = Base == std::string::npos ? Path : Path.substr(Base + 1);
  if (Path.size() >= PATH_MAX || Leaf.size() > NAME_MAX) {
    throw UsageError(What + ": the file name is too long");
  }
  struct stat Status;
  if (::stat(Path.c_str(), &Status) == 0) {
    if (S_ISDIR(Status.st_mode)) {
      throw UsageError(What + ": '" + Path + "' is a directory");
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
    Descriptor = ::open(Path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (Descriptor < 0) {
      throw ToolError(SystemError("cannot open", Path));
    }
    InPlace = true;
    return;
  }
  // A link to a file is followed: the file it names is replaced, the link stays.
  if (char *Resolved = ::realpath(Path.c_str(), nullptr); Resolved != nullptr) {
    Target = Resolved;
    std::free(Resolved);  // NOLINT(cppcoreguidelines-no-malloc): realpath's own allocation
  }
  const size_t Slash = Target.rfind('/');
  Directory = Slash == std::string::npos ? "." : (Slash == 0 ? "/" : Target.substr(0, Slash));
  // The mode a new file would get (or the one the replaced file has).
  mode_t Mode;
  if (::stat(Target.c_str(), &Status) == 0) {
    Mode = Status.st_mode & 07777;
  } else {
    const mode_t Mask = ::umask(0);
    ::umask(Mask);
    Mode = 0666 & ~Mask;
  }
  // A file without a name until Commit: nothing is left behind whatever ends the run.
  Descriptor = ::open(Directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, Mode);
  if (Descriptor < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without unnamed files: a named temporary, removed by the destructor.
    Temporary = Directory + "/.varnel-out-XXXXXX";
    Descriptor = ::mkstemp(Temporary.data());
    if (Descriptor >= 0) {
      ::fchmod(Descriptor, Mode);
    }
  }
  if (Descriptor < 0) {
    throw ToolError(SystemError("cannot create a file in the directory of", Path));
  }
}

AtomicOutput::~AtomicOutput() {
  if (Descriptor >= 0) {
    ::close(Descriptor);
    if (!Temporary.empty()) {
      ::unlink(Temporary.c_str());
    }
  }
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
  if (InPlace) {
    const int Closing = Descriptor;
    Descriptor = -1;
    if (::close(Closing) != 0) {
      throw ToolError(SystemError("cannot write", Target));
    }
    return;
  }
  // The unnamed file gets a hidden name beside the target and replaces it at once; no catchable
  // signal lands between the two steps.
  sigset_t All;
  sigset_t Before;
  sigfillset(&All);
  ::sigprocmask(SIG_BLOCK, &All, &Before);
  bool Done = ::fsync(Descriptor) == 0 || errno == EINVAL;
  std::string Named = Temporary;
  if (Done && Named.empty()) {
    const std::string Self = "/proc/self/fd/" + std::to_string(Descriptor);
    for (int Attempt = 0; Attempt < 100 && Named.empty(); ++Attempt) {
      const std::string Candidate =
          Directory + Format("/.varnel-out-%d-%d", static_cast<int>(::getpid()), Attempt);
      if (::linkat(AT_FDCWD, Self.c_str(), AT_FDCWD, Candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        Named = Candidate;
      } else if (errno != EEXIST) {
        break;
      }
    }
    Done = !Named.empty();
  }
  Done = Done && ::rename(Named.c_str(), Target.c_str()) == 0;
  const std::string Message = Done ? "" : SystemError("cannot write", Target);
  if (!Done && !Named.empty()) {
    ::unlink(Named.c_str());
  }
  Temporary.clear();
  const int Closing = Descriptor;
  Descriptor = -1;
  Done = ::close(Closing) == 0 && Done;
  ::sigprocmask(SIG_SETMASK, &Before, nullptr);
  if (!Done) {
    throw ToolError(Message.empty() ? SystemError("cannot write", Target) : Message);
  }
}

}  // namespace varnelsim
