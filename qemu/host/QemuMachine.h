// SPDX-License-Identifier: BSD-3-Clause
// The real VarnelMm.efi as a host program sees it: starts qemu-system-aarch64 with the
// supervisor in serve mode and sends it requests over the channel of qemu/ServeProtocol.h. The
// guest reaches the flash through a private mapping of a file (the caller's flash file, or a
// memory file holding a copy of the flash bytes): QEMU reads only the pages the requests touch
// and its writes never reach the file. One QEMU boot per machine, so the driver's state lives as
// long as the object. The flash bytes given to the constructor change only in SaveFlash, after
// the run ended well: a fault, a hang, a stop or a QEMU failure (QemuError) leaves them as they
// were. QEMU never outlives the process that started it (it gets SIGKILL when its parent dies).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "VarnelMm/Protocol.h"
#include "models/NormalWorld.h"
#include "qemu/ServeProtocol.h"

namespace qemuhost {

struct QemuSettings {
  std::string Qemu = "qemu-system-aarch64";
  std::string Supervisor;      // supervisor.elf of the qemu preset
  std::string Image;           // VarnelMm.efi built with QEMU virt's console base
  double TimeoutSeconds = 30;  // for the start and for every request
  uint64_t WindowBase = models::kNormalWorldWindowBase;
  uint64_t WindowSize = serve::kMaxWindowBytes;
  // Asked while waiting for QEMU to start or to answer a request: once it says yes, QEMU has one
  // more second to answer, then the wait ends with QemuError::Kind::kStopped.
  std::function<bool()> ShouldStop;
};

// The target could not answer: the image faulted (Fault), stopped answering (Hang), QEMU could
// not be started or ended on its own (Qemu), or the caller asked to stop while it waited
// (Stopped). The message says what happened and where.
class QemuError : public std::runtime_error {
 public:
  enum class Kind : uint8_t { kFault, kHang, kQemu, kStopped };
  QemuError(Kind What, const std::string &Message) : std::runtime_error(Message), What(What) {}
  Kind What;
};

struct QemuAnswer {
  uint64_t Status;                   // the handler's UEFI status
  VARNELMM_RECORD_WORD_ARRAY Words;  // the record as the handler left it
};

// Where the supervisor loaded the image.
struct LoadedImageInfo {
  uint64_t Base = 0;
  uint64_t PreferredBase = 0;
  uint64_t Relocations = 0;
  uint64_t EntryPoint = 0;
  uint64_t Size = 0;
};

// Window bytes that travel with one request: sent into the window before it, fetched after it.
struct WindowTransfer {
  uint64_t InOffset = 0;
  uint64_t InBytes = 0;
  uint64_t OutOffset = 0;
  uint64_t OutBytes = 0;
};

class QemuMachine {
 public:
  // Flash (FlashSize bytes) must outlive the machine. FlashFile, when not -1, is a descriptor of
  // the regular file whose shared mapping Flash is: QEMU maps that file privately instead of
  // taking a copy of the bytes.
  QemuMachine(const QemuSettings &Settings, uint8_t *Flash, uint64_t FlashSize, int FlashFile = -1);
  ~QemuMachine();
  QemuMachine(const QemuMachine &) = delete;
  QemuMachine &operator=(const QemuMachine &) = delete;

  // Boots QEMU over the flash file, and has the supervisor load the image and call its entry point;
  // answers the entry point's status.
  uint64_t Start();
  // One request; Transfer says which window bytes travel. The record is placed so that it ends
  // where the handler's EL0 page ends.
  QemuAnswer Request(const VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t BufferSize,
                     const WindowTransfer &Transfer);
  // Same, sending the window bytes ToWindow changed since the last request and fetching those a
  // read request of the record names (functions 1 and 9, Buffer inside the window).
  QemuAnswer Request(const VARNELMM_RECORD_WORD_ARRAY &Words,
                     uint64_t BufferSize = VARNELMM_RECORD_BYTES);
  // Ends the run: the flash blocks the requests changed are copied into the caller's flash, and
  // QEMU must end with status 0.
  void SaveFlash();

  uint64_t WindowBase() const { return Settings.WindowBase; }
  uint64_t WindowSize() const { return Settings.WindowSize; }
  // The host's copy of the window, in step with the emulated one after each request. Length
  // bytes at Offset, which must lie inside the window.
  void ToWindow(uint64_t Offset, const uint8_t *Bytes, uint64_t Length);
  void FromWindow(uint64_t Offset, uint8_t *Bytes, uint64_t Length) const;
  const LoadedImageInfo &Image() const { return Loaded; }

  // The driver's console bytes since the last call (also those written before a failure).
  std::string TakeConsole();
  // Flash contents at a flash-window address, without a request; false outside the flash.
  bool PeekFlash(uint64_t Address, uint64_t Length, uint8_t *Bytes);

 private:
  void Launch();
  int FlashBacking();  // the descriptor QEMU maps the flash from
  void WaitFor(int Fd, short Events);
  void SendBytes(const void *Bytes, uint64_t Length);
  void ReceiveBytes(void *Bytes, uint64_t Length);
  // Reads one frame, which must be of Kind; a fault frame or the end of QEMU raise QemuError.
  void ReceiveFrame(uint64_t Kind, uint64_t (&Frame)[16]);
  void CheckFrame(uint64_t Kind, const uint64_t (&Frame)[16]);
  [[noreturn]] void Fail(QemuError::Kind What, const std::string &Message);
  [[noreturn]] void Faulted(const uint64_t (&Frame)[serve::kFrameWords]);
  [[noreturn]] void Ended();
  [[noreturn]] void TimedOut();
  void DrainConsole();  // console bytes from QEMU's file into Console
  void DrainErrors();
  std::string Where(uint64_t Address) const;
  std::string AskMonitor(const std::string &Command);
  int WaitForExit(double Seconds);
  void Stop();

  QemuSettings Settings;
  uint8_t *Flash;
  uint64_t FlashSize;
  int FlashFile;
  bool Stoppable = false;  // the current wait ends early when Settings.ShouldStop says so
  bool StopSeen = false;
  std::string Console;
  std::vector<uint8_t> Window;
  uint64_t ChangedFrom = 0;  // window bytes [ChangedFrom, ChangedTo) still to be sent
  uint64_t ChangedTo = 0;
  LoadedImageInfo Loaded;
  std::string Doing;  // what the machine waits for, for messages
  pid_t Child = -1;
  int RequestFd = -1;  // write end of the request pipe
  int AnswerFd = -1;   // read end of the answer pipe
  int ErrorFd = -1;    // QEMU's stderr (the supervisor's semihosting lines)
  int ConsoleFd = -1;  // memory file behind QEMU's PL011
  int MonitorFd = -1;  // QEMU's human monitor, asked where the CPU is when it hangs
  uint64_t ConsoleRead = 0;
  std::string Errors;
  double Deadline = 0;
};

}  // namespace qemuhost
