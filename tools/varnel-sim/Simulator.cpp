// varnel-sim's machine: the host platform of the models, with the flash image copied in at start
// and back at the end, and the console drained into a sink after every request.
#include "tools/varnel-sim/Simulator.h"

#include <cstring>
#include <string>
#include <vector>

#include "driver/MmServices.h"
#include "driver/VarnelMmProtocol.h"
#include "models/HostPlatform.h"
#include "models/SipHash.h"

namespace varnelsim {
namespace {

// Normal-world memory that request buffers live in; large transfers are sent in chunks of it.
constexpr uint64_t kWindowBase = 0x80000000;
constexpr uint64_t kWindowSize = 1ULL << 20;

void KeyToBytes(const models::SipHashKey &Key, uint8_t (&Bytes)[16]) {
  for (int Index = 0; Index < 8; ++Index) {
    Bytes[Index] = static_cast<uint8_t>(Key.K0 >> (8 * Index));
    Bytes[8 + Index] = static_cast<uint8_t>(Key.K1 >> (8 * Index));
  }
}

models::HostPlatformOptions PlatformOptions(uint64_t FlashSize) {
  models::HostPlatformOptions Options;
  Options.FlashSize = FlashSize;
  Options.BlankFlash = false;
  Options.NormalWorldBase = kWindowBase;
  Options.NormalWorldSize = kWindowSize;
  return Options;
}

}  // namespace

struct Simulator::State {
  State(uint8_t *Image, uint64_t Size, std::FILE *ConsoleSink)
      : Platform(PlatformOptions(Size)), Image(Image), Size(Size), Console(ConsoleSink) {
    std::memcpy(Platform.FlashBytes(), Image, Size);
  }

  void DrainConsole() {
    const std::string Text = Platform.ConsoleText();
    if (Console != nullptr && !Text.empty()) {
      std::fwrite(Text.data(), 1, Text.size(), Console);
      std::fflush(Console);
    }
    Platform.ClearConsole();
  }

  models::HostPlatform Platform;
  uint8_t *Image;
  uint64_t Size;
  std::FILE *Console;
  std::vector<uint8_t> Communicate;
};

Simulator::Simulator(uint8_t *Flash, uint64_t FlashSize, std::FILE *Console)
    : Impl(std::make_unique<State>(Flash, FlashSize, Console)) {}

Simulator::~Simulator() {
  SaveFlash();
}

void Simulator::SaveFlash() {
  models::NorFlash &Nor = Impl->Platform.Flash();
  if (Nor.ProgramCount() != 0 || Nor.EraseCount() != 0) {
    std::memcpy(Impl->Image, Impl->Platform.FlashBytes(), Impl->Size);
  }
}

EFI_STATUS Simulator::Start() {
  const EFI_STATUS Status = Impl->Platform.StartDriver();
  Impl->DrainConsole();
  return Status;
}

Answer Simulator::Request(const uint64_t (&Words)[6], uint64_t BufferSize) {
  // The buffer always holds the whole record, whatever size the handler is told, so that a small
  // BufferSize tests the handler's answer rather than the host's memory checks.
  const uint64_t Message = BufferSize < varnel::kRecordBytes ? varnel::kRecordBytes : BufferSize;
  std::vector<uint8_t> &Buffer = Impl->Communicate;
  Buffer.assign(models::kMmCommunicateHeaderSize + Message, 0);
  const models::MmCommunicateHeader Header = {varnel::kVarnelMmGuid, BufferSize};
  std::memcpy(Buffer.data(), &Header, sizeof(Header));
  uint8_t *Record = Buffer.data() + models::kMmCommunicateHeaderSize;
  std::memcpy(Record, Words, varnel::kRecordBytes);

  Answer Result;
  Result.Status = Impl->Platform.Core().Dispatch(Buffer.data(), Buffer.size());
  std::memcpy(Result.Words, Record, varnel::kRecordBytes);
  Impl->DrainConsole();
  return Result;
}

uint64_t Simulator::WindowBase() const {
  return kWindowBase;
}
uint64_t Simulator::WindowSize() const {
  return kWindowSize;
}
uint8_t *Simulator::WindowBytes() {
  return Impl->Platform.NormalWorld(kWindowBase, kWindowSize);
}

uint64_t Simulator::Mac(const uint8_t (&Key)[16], const void *Bytes, uint64_t Length) {
  return models::ComputeRequestMac(models::SipHashKeyFromBytes(Key), Bytes, Length);
}

void Simulator::ProvisionedKey(uint8_t (&Key)[16]) {
  for (int Index = 0; Index < 16; ++Index) {
    Key[Index] = static_cast<uint8_t>(Index);
  }
}

void Simulator::SeedKey(uint64_t Seed, uint8_t (&Key)[16]) {
  KeyToBytes(models::SeedKey(Seed), Key);
}

}  // namespace varnelsim
