// SPDX-License-Identifier: BSD-3-Clause
// varnel-sim's simulated machine: the host platform of the models over the caller's flash storage.
#include "tools/varnel-sim/Simulator.h"

#include <cstring>
#include <vector>

#include "config/VarnelMmConfig.h"
#include "driver/MmServices.h"
#include "driver/VarnelMmProtocol.h"
#include "models/HostPlatform.h"

namespace varnelsim {
namespace {

// Request buffers live in the platform's normal-world window at its default place and size;
// large transfers are sent in chunks of it.
constexpr uint64_t kWindowBase = models::kNormalWorldWindowBase;
constexpr uint64_t kWindowSize = models::kNormalWorldWindowBytes;

models::HostPlatformOptions PlatformOptions(uint8_t *Flash, uint64_t FlashSize) {
  models::HostPlatformOptions Options;
  Options.FlashSize = FlashSize;
  Options.FlashStorage = Flash;
  return Options;
}

}  // namespace

struct Simulator::State {
  State(uint8_t *Flash, uint64_t Size) : Platform(PlatformOptions(Flash, Size)), Size(Size) {}
  models::HostPlatform Platform;
  uint64_t Size;
  std::vector<uint8_t> Communicate;
};

Simulator::Simulator(uint8_t *Flash, uint64_t FlashSize)
    : Impl(std::make_unique<State>(Flash, FlashSize)) {}

Simulator::~Simulator() = default;

EFI_STATUS Simulator::Start() {
  return Impl->Platform.StartDriver();
}

Answer Simulator::Send(const VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t BufferSize) {
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
  return Result;
}

uint64_t Simulator::WindowBase() const {
  return kWindowBase;
}

uint64_t Simulator::WindowSize() const {
  return kWindowSize;
}

void Simulator::ToWindow(uint64_t Offset, const uint8_t *Bytes, uint64_t Length) {
  std::memcpy(Impl->Platform.NormalWorld(kWindowBase + Offset, Length), Bytes, Length);
}

void Simulator::FromWindow(uint64_t Offset, uint8_t *Bytes, uint64_t Length) {
  std::memcpy(Bytes, Impl->Platform.NormalWorld(kWindowBase + Offset, Length), Length);
}

std::string Simulator::TakeConsole() {
  std::string Text = Impl->Platform.ConsoleText();
  Impl->Platform.ClearConsole();
  return Text;
}

bool Simulator::PeekFlash(uint64_t Address, uint64_t Length, uint8_t *Bytes) {
  const uint64_t Base = config::kFlashWindowBase;
  if (Address < Base || Address - Base > Impl->Size || Length > Impl->Size - (Address - Base)) {
    return false;
  }
  std::memcpy(Bytes, Impl->Platform.FlashBytes(Address - Base), Length);
  return true;
}

}  // namespace varnelsim
