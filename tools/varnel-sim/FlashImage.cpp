// SPDX-License-Identifier: BSD-3-Clause
// Flash image file: creation, locking and mapping.
#include "tools/varnel-sim/FlashImage.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/varnel-sim/Files.h"

namespace varnelsim {
namespace {

std::string SystemError(const std::string &What, const std::string &Path) {
  return What + " '" + Path + "': " + std::strerror(errno);
}

// Fills a new file with erased bytes (0xFF), a megabyte at a time.
bool FillErased(int Descriptor, uint64_t Size) {
  const std::vector<uint8_t> Block(1 << 20, 0xFF);
  uint64_t Done = 0;
  while (Done < Size) {
    const uint64_t Want = Size - Done < Block.size() ? Size - Done : Block.size();
    const ssize_t Wrote = ::write(Descriptor, Block.data(), Want);
    if (Wrote <= 0) {
      if (Wrote < 0 && errno == EINTR) {
        continue;
      }
      return false;
    }
    Done += static_cast<uint64_t>(Wrote);
  }
  return true;
}

// Creates Path filled with 0xFF unless it exists: the content is written to an unnamed file in
// its directory (O_TMPFILE) that is linked into place when full, so no run ever sees a
// half-filled image and nothing is left behind when the run ends early.
void CreateErased(const std::string &Path, uint64_t Size) {
  const size_t Slash = Path.rfind('/');
  const std::string Directory =
      Slash == std::string::npos ? "." : (Slash == 0 ? "/" : Path.substr(0, Slash));
  std::string Temporary;
  int Descriptor = ::open(Directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
  if (Descriptor < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    Temporary = Directory + "/.varnel-flash-XXXXXX";  // no unnamed files here
    Descriptor = ::mkstemp(Temporary.data());
  }
  if (Descriptor < 0) {
    throw FlashImageError(SystemError("cannot create flash image", Path), false);
  }
  const bool Filled = FillErased(Descriptor, Size) && ::fchmod(Descriptor, 0644) == 0;
  const int Saved = errno;
  const std::string Self = "/proc/self/fd/" + std::to_string(Descriptor);
  const bool Linked = Filled && (Temporary.empty() ? ::linkat(AT_FDCWD, Self.c_str(), AT_FDCWD,
                                                              Path.c_str(), AT_SYMLINK_FOLLOW)
                                                   : ::link(Temporary.c_str(), Path.c_str())) == 0;
  const int LinkError = errno;
  ::close(Descriptor);
  if (!Temporary.empty()) {
    ::unlink(Temporary.c_str());
  }
  if (!Filled) {
    errno = Saved;
    throw FlashImageError(SystemError("cannot fill new flash image", Path), false);
  }
  if (!Linked && LinkError != EEXIST) {  // EEXIST: another run created it meanwhile
    errno = LinkError;
    throw FlashImageError(SystemError("cannot create flash image", Path), false);
  }
}

}  // namespace

std::optional<FileIdentity> IdentityOf(const std::string &Path) {
  struct stat Status;
  if (::stat(Path.c_str(), &Status) != 0) {
    return std::nullopt;
  }
  return FileIdentity{Status.st_dev, Status.st_ino};
}

FlashImage::FlashImage(uint64_t Size) : Length(Size) {
  void *Mapping =
      ::mmap(nullptr, Length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Mapping == MAP_FAILED) {
    throw FlashImageError(SystemError("cannot map an erased flash of", std::to_string(Size)),
                          false);
  }
  Bytes = static_cast<uint8_t *>(Mapping);
  std::memset(Bytes, 0xFF, Length);
}

FlashImage::FlashImage(const std::string &Path, std::optional<uint64_t> Size, uint64_t DefaultSize,
                       bool Writable) {
  struct stat Status;
  if (::stat(Path.c_str(), &Status) != 0) {
    if (errno != ENOENT) {
      throw FlashImageError(SystemError("cannot open flash image", Path), false);
    }
    CreateErased(Path, Size.value_or(DefaultSize));
  } else if (!S_ISREG(Status.st_mode)) {
    throw FlashImageError("flash image '" + Path + "' is not a regular file", true);
  }
  Descriptor = ::open(Path.c_str(), (Writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (Descriptor < 0) {
    throw FlashImageError(
        SystemError(Writable ? "cannot open flash image for writing" : "cannot open flash image",
                    Path),
        false);
  }
  const int Lock = Writable ? LOCK_EX : LOCK_SH;
  if (::flock(Descriptor, Lock | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      Print(stderr, "varnel-sim: waiting for another run to release '" + Escape(Path) + "'\n");
      FlushChecked(stderr);
    }
    while (::flock(Descriptor, Lock) != 0) {
      if (errno != EINTR) {
        const std::string Message = SystemError("cannot lock flash image", Path);
        ::close(Descriptor);
        throw FlashImageError(Message, false);
      }
    }
  }
  if (::fstat(Descriptor, &Status) != 0 || !S_ISREG(Status.st_mode)) {
    ::close(Descriptor);
    throw FlashImageError("flash image '" + Path + "' is not a regular file", true);
  }
  Id = FileIdentity{Status.st_dev, Status.st_ino};
  Length = static_cast<uint64_t>(Status.st_size);
  if (Size && *Size != Length) {
    ::close(Descriptor);
    throw FlashImageError("flash image '" + Path + "' holds " + std::to_string(Length) +
                              " bytes but --flash-size asks for " + std::to_string(*Size),
                          true);
  }
  if (!IsImageSize(Length)) {
    ::close(Descriptor);
    throw FlashImageError("flash image '" + Path + "' is " + std::to_string(Length) +
                              " bytes, not a whole number of " + SectorText() + " sectors up to " +
                              LargestImageText(),
                          true);
  }
  void *Mapping = ::mmap(nullptr, Length, Writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                         Descriptor, 0);
  if (Mapping == MAP_FAILED) {
    const std::string Message = SystemError("cannot map flash image", Path);
    ::close(Descriptor);
    throw FlashImageError(Message, false);
  }
  Bytes = static_cast<uint8_t *>(Mapping);
}

FlashImage::~FlashImage() {
  ::munmap(Bytes, Length);
  if (Descriptor >= 0) {
    ::close(Descriptor);  // releases the lock
  }
}

}  // namespace varnelsim
