// SPDX-License-Identifier: BSD-3-Clause
// The flash image file of varnel-sim: opened (created filled with 0xFF when missing), locked
// against other runs, and mapped shared, so the firmware model programs and erases the file's own
// pages and a run touches only the pages it reads or changes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "models/NorFlash.h"

namespace varnelsim {

// A flash image holds whole sectors of the part, at most 4 GiB of them.
constexpr uint64_t kImageSectorBytes = models::NorFlash::kSectorSize;
constexpr uint64_t kLargestImageBytes = 1ULL << 32;
// True for a size a flash image may have.
constexpr bool IsImageSize(uint64_t Size) {
  return Size != 0 && Size % kImageSectorBytes == 0 && Size <= kLargestImageBytes;
}
// "4 KiB", "4 GiB": the two bounds as the messages print them.
inline std::string SectorText() {
  return std::to_string(kImageSectorBytes >> 10) + " KiB";
}
inline std::string LargestImageText() {
  return std::to_string(kLargestImageBytes >> 30) + " GiB";
}

// Opening or creating the image failed; Usage tells a size mismatch (a command-line mistake)
// from a failure of the file system.
class FlashImageError : public std::runtime_error {
 public:
  FlashImageError(const std::string &Message, bool Usage)
      : std::runtime_error(Message), UsageMistake(Usage) {}
  bool UsageMistake;
};

// Device and inode of a file: how varnel-sim tells that two paths name the same file.
struct FileIdentity {
  dev_t Device = 0;
  ino_t Inode = 0;
  bool operator==(const FileIdentity &Other) const {
    return Device == Other.Device && Inode == Other.Inode;
  }
};
// The identity of Path (following links), or nothing when it does not exist.
std::optional<FileIdentity> IdentityOf(const std::string &Path);

class FlashImage {
 public:
  // Opens Path, or creates it with Size bytes (DefaultSize when Size is absent) of 0xFF. An
  // existing file must be Size bytes long when Size is given. A Writable image is opened for
  // writing and locked exclusively; otherwise it is opened read-only under a shared lock (so a
  // read-only file can be queried). Waits for another run that holds a conflicting lock.
  FlashImage(const std::string &Path, std::optional<uint64_t> Size, uint64_t DefaultSize,
             bool Writable);
  // An erased flash of Size bytes in memory only, for a read-only run without an image file.
  explicit FlashImage(uint64_t Size);
  ~FlashImage();
  FlashImage(const FlashImage &) = delete;
  FlashImage &operator=(const FlashImage &) = delete;

  uint8_t *Data() { return Bytes; }
  uint64_t Size() const { return Length; }
  FileIdentity Identity() const { return Id; }
  // The open image file, or -1 for a flash held in memory only.
  int File() const { return Descriptor; }

 private:
  int Descriptor = -1;
  uint8_t *Bytes = nullptr;
  uint64_t Length = 0;
  FileIdentity Id;
};

}  // namespace varnelsim
