// The flash image file of varnel-sim: mapped shared into memory, so every program and erase the
// firmware model makes lands in the file. A missing file is created filled with 0xFF.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace varnelsim {

// Opening or creating the image failed; Usage tells a size mismatch (a command-line mistake)
// from a failure of the file system.
class FlashImageError : public std::runtime_error {
 public:
  FlashImageError(const std::string &Message, bool Usage)
      : std::runtime_error(Message), UsageMistake(Usage) {}
  bool UsageMistake;
};

class FlashImage {
 public:
  // Opens Path, or creates it with Size bytes (DefaultSize when Size is absent) of 0xFF. An
  // existing file must be Size bytes long when Size is given.
  FlashImage(const std::string &Path, std::optional<uint64_t> Size, uint64_t DefaultSize);
  ~FlashImage();
  FlashImage(const FlashImage &) = delete;
  FlashImage &operator=(const FlashImage &) = delete;

  uint8_t *Data() { return Bytes; }
  uint64_t Size() const { return Length; }
  bool Created() const { return New; }
  // Writes dirty pages back to the file.
  void Sync();

 private:
  int Descriptor = -1;
  uint8_t *Bytes = nullptr;
  uint64_t Length = 0;
  bool New = false;
};

}  // namespace varnelsim
