// SPDX-License-Identifier: BSD-3-Clause
// Recording fake of the platform seam for host unit tests.
//
// While a RecordingSeam object lives it is the installed host seam (HostSeamInstall):
//  - MMIO inside the console window (console::kBase, 4 KiB) goes to a Pl011Model, which
//    keeps the register state, the ordered register trace and the transmitted bytes;
//  - MMIO anywhere else is recorded as a raw access; reads there answer ScriptRawRead's value (0);
//  - every CallSecureService is recorded with its eight words in and the block as it went back;
//    the answer comes from the queue of QueueSecureAnswer, else from SetSecureHandler, else the
//    default (x0 = 0, x1..x7 untouched);
//  - every BreakpointTrap is counted, and an optional hook runs inside it.
// Only one may live at a time; its destructor restores the seam's defaults.
//
//   TEST(Log, ErrorLine_Sent) {
//     testsupport::RecordingSeam Seam;
//     LogPrint(0x80000000, "x%d\n", 1);
//     EXPECT_EQ(Seam.ConsoleText(), "x1\r\n");
//   }
#pragma once

#include <stdint.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "arch/Arch.h"
#include "models/Pl011Model.h"

namespace testsupport {

struct RawAccess {
  models::Pl011AccessKind Kind;
  uint8_t Width;  // bits
  uint64_t Address;
  uint32_t Value;

  bool operator==(const RawAccess &) const = default;
};

struct SecureCall {
  ServiceArgumentBlock In;   // the eight words as the caller loaded them
  ServiceArgumentBlock Out;  // the block as it went back (words 0..3 are the results)
};

class RecordingSeam {
 public:
  // The device starts in the PL011 reset state unless a starting state is given.
  RecordingSeam();
  explicit RecordingSeam(const models::Pl011Registers &ConsoleStart);
  ~RecordingSeam();
  RecordingSeam(const RecordingSeam &) = delete;
  RecordingSeam &operator=(const RecordingSeam &) = delete;

  // The console device (registers, scripted flags, trace, transmitted bytes).
  models::Pl011Model &Console() { return *Uart; }
  // Everything transmitted so far, as text.
  std::string ConsoleText() const;
  // Transmitted text since the last call (and forgets it).
  std::string TakeConsoleText();
  // The console's register trace as a vector; ClearConsoleTrace empties it.
  std::vector<models::Pl011Access> ConsoleTrace() const;
  void ClearConsoleTrace() { Uart->ClearTrace(); }

  // MMIO outside the console window.
  const std::vector<RawAccess> &RawAccesses() const { return Raw; }
  void ScriptRawRead(uint32_t Value) { RawReadValue = Value; }

  // Secure-service calls.
  using SecureHandler = std::function<void(ServiceArgumentBlock &Block)>;
  void SetSecureHandler(SecureHandler Handler) { Handler_ = std::move(Handler); }
  // The next call answers with these x0..x3 (x4..x7 untouched); answers are used in order.
  void QueueSecureAnswer(uint64_t X0, uint64_t X1 = 0, uint64_t X2 = 0, uint64_t X3 = 0);
  const std::vector<SecureCall> &SecureCalls() const { return Calls; }

  // Breakpoint traps taken while this seam was installed.
  uint64_t Breakpoints() const { return BreakpointCount; }
  void SetBreakpointHook(std::function<void()> Hook) { BreakpointHook = std::move(Hook); }

 private:
  static void OnSecureService(void *Context, ServiceArgumentBlock *Block);
  static void OnBreakpoint(void *Context);
  static uint32_t OnRead32(void *Context, uint64_t Address);
  static void OnWrite32(void *Context, uint64_t Address, uint32_t Value);
  static void OnWrite8(void *Context, uint64_t Address, uint8_t Value);
  bool InConsole(uint64_t Address) const;

  std::unique_ptr<models::Pl011Model> Uart;
  uint64_t TakenUpTo = 0;
  std::vector<RawAccess> Raw;
  uint32_t RawReadValue = 0;
  SecureHandler Handler_;
  std::deque<ServiceArgumentBlock> Answers;
  std::vector<SecureCall> Calls;
  uint64_t BreakpointCount = 0;
  std::function<void()> BreakpointHook;
};

// Shorthands for console trace expectations.
inline models::Pl011Access UartRead(uint32_t Offset, uint32_t Value) {
  return {models::Pl011AccessKind::Read, 32, Offset, Value};
}
inline models::Pl011Access UartWrite(uint32_t Offset, uint32_t Value) {
  return {models::Pl011AccessKind::Write, 32, Offset, Value};
}
inline models::Pl011Access UartWriteByte(uint8_t Value) {
  return {models::Pl011AccessKind::Write, 8, pl011::kDr, Value};
}

}  // namespace testsupport
