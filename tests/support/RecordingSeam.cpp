// SPDX-License-Identifier: BSD-3-Clause
// Recording fake of the platform seam: console MMIO to a PL011 model, everything else recorded.
#include "tests/support/RecordingSeam.h"

#include "arch/host/HostSeam.h"
#include "console/ConsoleSettings.h"

namespace testsupport {

RecordingSeam::RecordingSeam() : RecordingSeam(models::Pl011Model::kResetState) {}

RecordingSeam::RecordingSeam(const models::Pl011Registers &ConsoleStart)
    : Uart(std::make_unique<models::Pl011Model>()) {
  Uart->SetRegisters(ConsoleStart);
  const HostSeamHooks Hooks = {OnSecureService, OnBreakpoint, OnRead32, OnWrite32, OnWrite8, this};
  HostSeamInstall(&Hooks);
}

RecordingSeam::~RecordingSeam() {
  HostSeamInstall(nullptr);
}

std::string RecordingSeam::ConsoleText() const {
  return std::string(reinterpret_cast<const char *>(Uart->Transmitted()), Uart->TransmittedCount());
}

std::string RecordingSeam::TakeConsoleText() {
  const uint64_t Count = Uart->TransmittedCount();
  std::string Text(reinterpret_cast<const char *>(Uart->Transmitted()) + TakenUpTo,
                   Count - TakenUpTo);
  TakenUpTo = Count;
  return Text;
}

std::vector<models::Pl011Access> RecordingSeam::ConsoleTrace() const {
  return std::vector<models::Pl011Access>(Uart->Trace(), Uart->Trace() + Uart->TraceCount());
}

void RecordingSeam::QueueSecureAnswer(uint64_t X0, uint64_t X1, uint64_t X2, uint64_t X3) {
  ServiceArgumentBlock Answer = {};
  Answer.Word[0] = X0;
  Answer.Word[1] = X1;
  Answer.Word[2] = X2;
  Answer.Word[3] = X3;
  Answers.push_back(Answer);
}

bool RecordingSeam::InConsole(uint64_t Address) const {
  return Address - console::kBase < models::Pl011Model::kWindowSize;
}

void RecordingSeam::OnSecureService(void *Context, ServiceArgumentBlock *Block) {
  auto *Self = static_cast<RecordingSeam *>(Context);
  SecureCall Call;
  Call.In = *Block;
  if (!Self->Answers.empty()) {
    for (int Index = 0; Index < 4; ++Index) {
      Block->Word[Index] = Self->Answers.front().Word[Index];
    }
    Self->Answers.pop_front();
  } else if (Self->Handler_) {
    Self->Handler_(*Block);
  } else {
    Block->Word[0] = 0;
  }
  Call.Out = *Block;
  Self->Calls.push_back(Call);
}

void RecordingSeam::OnBreakpoint(void *Context) {
  auto *Self = static_cast<RecordingSeam *>(Context);
  ++Self->BreakpointCount;
  if (Self->BreakpointHook) {
    Self->BreakpointHook();
  }
}

uint32_t RecordingSeam::OnRead32(void *Context, uint64_t Address) {
  auto *Self = static_cast<RecordingSeam *>(Context);
  if (Self->InConsole(Address)) {
    return Self->Uart->Read32(Address - console::kBase);
  }
  Self->Raw.push_back({models::Pl011AccessKind::Read, 32, Address, Self->RawReadValue});
  return Self->RawReadValue;
}

void RecordingSeam::OnWrite32(void *Context, uint64_t Address, uint32_t Value) {
  auto *Self = static_cast<RecordingSeam *>(Context);
  if (Self->InConsole(Address)) {
    Self->Uart->Write32(Address - console::kBase, Value);
    return;
  }
  Self->Raw.push_back({models::Pl011AccessKind::Write, 32, Address, Value});
}

void RecordingSeam::OnWrite8(void *Context, uint64_t Address, uint8_t Value) {
  auto *Self = static_cast<RecordingSeam *>(Context);
  if (Self->InConsole(Address)) {
    Self->Uart->Write8(Address - console::kBase, Value);
    return;
  }
  Self->Raw.push_back({models::Pl011AccessKind::Write, 8, Address, Value});
}

}  // namespace testsupport
