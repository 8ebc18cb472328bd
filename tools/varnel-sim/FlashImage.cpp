// Memory-mapped flash image file.
#include "tools/varnel-sim/FlashImage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

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

}  // namespace

FlashImage::FlashImage(const std::string &Path, std::optional<uint64_t> Size,
                       uint64_t DefaultSize) {
  Descriptor = ::open(Path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (Descriptor >= 0) {
    New = true;
    Length = Size.value_or(DefaultSize);
    if (!FillErased(Descriptor, Length)) {
      const std::string Message = SystemError("cannot fill new flash image", Path);
      ::close(Descriptor);
      ::unlink(Path.c_str());
      throw FlashImageError(Message, false);
    }
  } else {
    if (errno != EEXIST) {
      throw FlashImageError(SystemError("cannot create flash image", Path), false);
    }
    Descriptor = ::open(Path.c_str(), O_RDWR | O_CLOEXEC);
    if (Descriptor < 0) {
      throw FlashImageError(SystemError("cannot open flash image", Path), false);
    }
    struct stat Status;
    if (::fstat(Descriptor, &Status) != 0 || !S_ISREG(Status.st_mode)) {
      ::close(Descriptor);
      throw FlashImageError("flash image '" + Path + "' is not a regular file", true);
    }
    Length = static_cast<uint64_t>(Status.st_size);
    if (Size && *Size != Length) {
      ::close(Descriptor);
      throw FlashImageError("flash image '" + Path + "' holds " + std::to_string(Length) +
                                " bytes but --flash-size asks for " + std::to_string(*Size),
                            true);
    }
    if (Length == 0 || Length % 4096 != 0 || Length > (1ULL << 32)) {
      ::close(Descriptor);
      throw FlashImageError("flash image '" + Path + "' is " + std::to_string(Length) +
                                " bytes, not a whole number of 4 KiB sectors up to 4 GiB",
                            true);
    }
  }
  void *Mapping = ::mmap(nullptr, Length, PROT_READ | PROT_WRITE, MAP_SHARED, Descriptor, 0);
  if (Mapping == MAP_FAILED) {
    const std::string Message = SystemError("cannot map flash image", Path);
    ::close(Descriptor);
    throw FlashImageError(Message, false);
  }
  Bytes = static_cast<uint8_t *>(Mapping);
}

FlashImage::~FlashImage() {
  Sync();
  ::munmap(Bytes, Length);
  ::close(Descriptor);
}

void FlashImage::Sync() {
  ::msync(Bytes, Length, MS_SYNC);
}

}  // namespace varnelsim
