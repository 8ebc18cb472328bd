// SPDX-License-Identifier: BSD-3-Clause
// QEMU start, the request channel's host side, and the reports of faults, hangs and QEMU failures.
#include "qemu/host/QemuMachine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>

#include "qemu/LoaderDevices.h"
#include "qemu/ServeProtocol.h"

namespace qemuhost {
namespace {

// Descriptor numbers QEMU gets besides the two of the channel.
constexpr int kMonitorDescriptor = 5;
constexpr int kConsoleDescriptor = 6;
constexpr int kFlashDescriptor = 7;
// After a stop was asked, how long QEMU still has to answer the request in flight.
constexpr double kStopGraceSeconds = 1.0;

double Now() {
  timespec Time;
  clock_gettime(CLOCK_MONOTONIC, &Time);
  return static_cast<double>(Time.tv_sec) + static_cast<double>(Time.tv_nsec) * 1e-9;
}

std::string Hex(uint64_t Value) {
  // "0x" and at most 16 digits: the text always fits, so the length snprintf returns tells
  // nothing.
  char Text[24];
  (void)std::snprintf(Text, sizeof(Text), "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

// A descriptor above the ones QEMU is handed, closed on exec.
int Lift(int Fd) {
  const int Lifted = fcntl(Fd, F_DUPFD_CLOEXEC, 10);
  close(Fd);
  return Lifted;
}

// QEMU's option syntax doubles commas inside values.
std::string OptionValue(const std::string &Text) {
  std::string Escaped;
  for (const char Character : Text) {
    Escaped += Character;
    if (Character == ',') {
      Escaped += ',';
    }
  }
  return Escaped;
}

void CloseFd(int &Fd) {
  if (Fd >= 0) {
    close(Fd);
    Fd = -1;
  }
}

}  // namespace

QemuMachine::QemuMachine(const QemuSettings &Settings, uint8_t *Flash, uint64_t FlashSize,
                         int FlashFile)
    : Settings(Settings),
      Flash(Flash),
      FlashSize(FlashSize),
      FlashFile(FlashFile),
      Window(Settings.WindowSize, 0) {}

QemuMachine::~QemuMachine() {
  Stop();
}

void QemuMachine::Stop() {
  if (Child > 0) {
    kill(Child, SIGKILL);
    waitpid(Child, nullptr, 0);
    Child = -1;
  }
  CloseFd(RequestFd);
  CloseFd(AnswerFd);
  CloseFd(ErrorFd);
  CloseFd(ConsoleFd);
  CloseFd(MonitorFd);
}

void QemuMachine::Launch() {
  if (FlashSize == 0 || FlashSize > serve::kMaxFlashBytes) {
    Fail(QemuError::Kind::kQemu, "the QEMU target holds at most " +
                                     std::to_string(serve::kMaxFlashBytes >> 20) + " MiB of flash");
  }
  if (Settings.WindowSize == 0 || Settings.WindowSize > serve::kMaxWindowBytes) {
    Fail(QemuError::Kind::kQemu, "normal-world window larger than the QEMU target's");
  }
  for (const std::string *Path : {&Settings.Supervisor, &Settings.Image}) {
    struct stat Status;
    if (stat(Path->c_str(), &Status) != 0 || !S_ISREG(Status.st_mode)) {
      Fail(QemuError::Kind::kQemu,
           "cannot use '" + *Path + "': " + (errno != 0 ? std::strerror(errno) : "not a file") +
               (Path == &Settings.Supervisor ? " (build it with the qemu preset)" : ""));
    }
    if (Path == &Settings.Image &&
        static_cast<uint64_t>(Status.st_size) > supervisor::kImageFileMaxBytes) {
      Fail(QemuError::Kind::kQemu, "image '" + *Path + "' is larger than " +
                                       std::to_string(supervisor::kImageFileMaxBytes >> 20) +
                                       " MiB");
    }
  }
  // A write to the request pipe after QEMU ended must fail, not end this process.
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    Fail(QemuError::Kind::kQemu, std::string("cannot ignore SIGPIPE: ") + std::strerror(errno));
  }

  const int FlashFd = FlashBacking();
  int Requests[2];
  int Answers[2];
  int Errors[2];
  int Monitor[2];
  if (pipe(Requests) != 0 || pipe(Answers) != 0 || pipe(Errors) != 0 ||
      socketpair(AF_UNIX, SOCK_STREAM, 0, Monitor) != 0) {
    Fail(QemuError::Kind::kQemu, std::string("cannot make pipes: ") + std::strerror(errno));
  }
  const int ConsoleFile = memfd_create("varnelmm-console", MFD_CLOEXEC);
  const int ChildRequests = Lift(Requests[0]);
  const int ChildAnswers = Lift(Answers[1]);
  const int ChildErrors = Lift(Errors[1]);
  const int ChildMonitor = Lift(Monitor[1]);
  RequestFd = Lift(Requests[1]);
  AnswerFd = Lift(Answers[0]);
  ErrorFd = Lift(Errors[0]);
  MonitorFd = Lift(Monitor[0]);
  ConsoleFd = Lift(ConsoleFile);
  // Bigger pipes, fewer switches between the two processes for bulk data; best effort.
  fcntl(RequestFd, F_SETPIPE_SZ, 1 << 20);
  fcntl(AnswerFd, F_SETPIPE_SZ, 1 << 20);
  for (const int Fd : {RequestFd, AnswerFd, ErrorFd}) {
    fcntl(Fd, F_SETFL, fcntl(Fd, F_GETFL) | O_NONBLOCK);
  }

  // QEMU's RAM: 128 MiB of its own, then the flash file mapped privately where the supervisor
  // keeps the flash (guest writes stay in QEMU's copy-on-write pages, reads fault in only the
  // pages they touch), then the rest of the RAM the supervisor expects. Three NUMA nodes are how
  // QEMU places memory backends one after the other.
  const uint64_t RamBytes = serve::RamBytes(FlashSize);
  const uint64_t Rest = RamBytes - serve::kFlashRamOffset - FlashSize;
  std::vector<std::string> Arguments = {
      Settings.Qemu,
      "-M",
      "virt",
      "-cpu",
      "cortex-a57",
      "-m",
      std::to_string(RamBytes >> 10) + "K",
      "-object",
      "memory-backend-ram,id=low,size=" + std::to_string(serve::kFlashRamOffset),
      "-object",
      "memory-backend-file,id=flash,share=off,size=" + std::to_string(FlashSize) +
          ",mem-path=/proc/self/fd/" + std::to_string(kFlashDescriptor),
      "-numa",
      "node,memdev=low",
      "-numa",
      "node,memdev=flash"};
  if (Rest != 0) {
    Arguments.insert(Arguments.end(),
                     {"-object", "memory-backend-ram,id=rest,size=" + std::to_string(Rest), "-numa",
                      "node,memdev=rest"});
  }
  // The loader devices put the serve mode and the image where the supervisor reads them.
  const std::string ModeLoader = "loader,addr=" + Hex(supervisor::kModeAddress) +
                                 ",data=" + std::to_string(supervisor::kModeServe) +
                                 ",data-len=" + std::to_string(sizeof(supervisor::RunMode));
  const std::string ImageLoader = "loader,file=" + OptionValue(Settings.Image) +
                                  ",addr=" + Hex(supervisor::kImageFileAddress) + ",force-raw=on";
  Arguments.insert(Arguments.end(),
                   {"-display",
                    "none",
                    "-monitor",
                    "none",
                    "-nic",
                    "none",
                    "-semihosting",
                    "-chardev",
                    "file,id=console,path=/proc/self/fd/" + std::to_string(kConsoleDescriptor),
                    "-serial",
                    "chardev:console",
                    "-chardev",
                    "socket,id=monitor,fd=" + std::to_string(kMonitorDescriptor),
                    "-mon",
                    "chardev=monitor,mode=readline",
                    "-kernel",
                    Settings.Supervisor,
                    "-device",
                    ModeLoader,
                    "-device",
                    ImageLoader});
  std::vector<char *> Argv;
  Argv.reserve(Arguments.size() + 1);
  for (std::string &Argument : Arguments) {
    Argv.push_back(Argument.data());
  }
  Argv.push_back(nullptr);

  // fork rather than posix_spawn: the child must ask for its parent-death signal before exec.
  // Everything it needs is prepared above; between fork and exec it only makes system calls. A
  // failed exec sends its errno through Exec, which closes by itself when exec succeeds.
  const pid_t Parent = getpid();
  // Above the descriptors the child moves its ends to, like every other one here.
  const int Null = Lift(open("/dev/null", O_RDONLY | O_CLOEXEC));
  int Exec[2] = {-1, -1};
  if (Null < 0 || pipe2(Exec, O_CLOEXEC) != 0) {
    Fail(QemuError::Kind::kQemu, std::string("cannot make pipes: ") + std::strerror(errno));
  }
  Exec[0] = Lift(Exec[0]);
  Exec[1] = Lift(Exec[1]);
  Child = fork();
  if (Child == 0) {
    // QEMU dies with this process, even by SIGKILL; a parent already gone means no QEMU at all.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != Parent) {
      _exit(127);
    }
    // Its own process group: a Ctrl-C at the terminal reaches only this process, which lets the
    // request in flight end and then ends QEMU.
    setpgid(0, 0);
    (void)signal(SIGPIPE, SIG_DFL);
    (void)signal(SIGXFSZ, SIG_DFL);
    const std::pair<int, int> Moves[] = {{Null, 0},
                                         {ChildErrors, 1},
                                         {ChildErrors, 2},
                                         {ChildRequests, serve::kRequestDescriptor},
                                         {ChildAnswers, serve::kAnswerDescriptor},
                                         {ChildMonitor, kMonitorDescriptor},
                                         {ConsoleFd, kConsoleDescriptor},
                                         {FlashFd, kFlashDescriptor}};
    for (const auto &[From, To] : Moves) {
      if (dup2(From, To) < 0) {
        _exit(127);
      }
    }
    execvp(Argv[0], Argv.data());
    const int Error = errno;
    (void)!write(Exec[1], &Error, sizeof(Error));
    _exit(127);
  }
  const int Forked = errno;
  close(Exec[1]);
  for (const int Fd : {ChildRequests, ChildAnswers, ChildErrors, ChildMonitor, FlashFd, Null}) {
    close(Fd);
  }
  int ExecError = Forked;
  ssize_t Got;
  while ((Got = read(Exec[0], &ExecError, sizeof(ExecError))) < 0 && errno == EINTR) {
  }
  close(Exec[0]);
  if (Child < 0 || Got > 0) {
    if (Child > 0) {
      waitpid(Child, nullptr, 0);
    }
    Child = -1;
    Fail(QemuError::Kind::kQemu,
         "cannot start '" + Settings.Qemu + "': " + std::strerror(ExecError));
  }
}

int QemuMachine::FlashBacking() {
  // The caller's file, when QEMU can open it for writing (its mapping stays private: QEMU
  // never writes the file, but it opens a memory backend's file read-write).
  if (FlashFile >= 0) {
    struct stat Status;
    const std::string Self = "/proc/self/fd/" + std::to_string(FlashFile);
    const int Reopened = open(Self.c_str(), O_RDWR | O_CLOEXEC);
    if (Reopened >= 0 && fstat(Reopened, &Status) == 0 && S_ISREG(Status.st_mode) &&
        static_cast<uint64_t>(Status.st_size) == FlashSize) {
      return Lift(Reopened);
    }
    if (Reopened >= 0) {
      close(Reopened);
    }
  }
  // Otherwise a memory file holding a copy of the flash bytes.
  const int Copy = memfd_create("varnelmm-flash", MFD_CLOEXEC);
  if (Copy < 0 || ftruncate(Copy, static_cast<off_t>(FlashSize)) != 0) {
    Fail(QemuError::Kind::kQemu,
         std::string("cannot make the flash file: ") + std::strerror(errno));
  }
  for (uint64_t Done = 0; Done < FlashSize;) {
    const ssize_t Wrote = pwrite(Copy, Flash + Done, FlashSize - Done, static_cast<off_t>(Done));
    if (Wrote <= 0 && errno != EINTR) {
      const int Error = errno;
      close(Copy);
      Fail(QemuError::Kind::kQemu,
           std::string("cannot fill the flash file: ") + std::strerror(Error));
    }
    Done += Wrote > 0 ? static_cast<uint64_t>(Wrote) : 0;
  }
  return Lift(Copy);
}

uint64_t QemuMachine::Start() {
  Deadline = Now() + Settings.TimeoutSeconds;
  Doing = "QEMU to start";
  Stoppable = true;
  StopSeen = false;
  Launch();
  uint64_t Config[serve::kFrameWords] = {serve::Header(serve::kConfig)};
  Config[serve::kConfigFlashSize] = FlashSize;
  Config[serve::kConfigWindowBase] = Settings.WindowBase;
  Config[serve::kConfigWindowSize] = Settings.WindowSize;
  SendBytes(Config, sizeof(Config));
  Doing = "the image to load";
  uint64_t Frame[serve::kFrameWords];
  ReceiveFrame(serve::kLoaded, Frame);
  Loaded = {Frame[serve::kLoadedBase], Frame[serve::kLoadedPreferredBase],
            Frame[serve::kLoadedRelocations], Frame[serve::kLoadedEntryPoint],
            Frame[serve::kLoadedSize]};
  Doing = "the driver's entry point";
  Deadline = Now() + Settings.TimeoutSeconds;
  ReceiveFrame(serve::kStarted, Frame);
  Stoppable = false;
  DrainConsole();
  return Frame[serve::kStartedStatus];
}

QemuAnswer QemuMachine::Request(const VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t BufferSize) {
  WindowTransfer Transfer;
  Transfer.InOffset = ChangedFrom;
  Transfer.InBytes = ChangedTo - ChangedFrom;
  const uint64_t Buffer = Words[3];
  if (VarnelMmFunctionRangeAccess(Words[0]) == VarnelMmRangeRead && Buffer >= Settings.WindowBase &&
      Buffer - Settings.WindowBase < Settings.WindowSize) {
    Transfer.OutOffset = Buffer - Settings.WindowBase;
    Transfer.OutBytes = std::min(Words[2], Settings.WindowSize - Transfer.OutOffset);
  }
  return Request(Words, BufferSize, Transfer);
}

void QemuMachine::ToWindow(uint64_t Offset, const uint8_t *Bytes, uint64_t Length) {
  if (Offset > Window.size() || Length > Window.size() - Offset) {
    throw std::invalid_argument("bytes outside the normal-world window");
  }
  std::memcpy(Window.data() + Offset, Bytes, Length);
  if (Length == 0) {
    return;
  }
  if (ChangedFrom == ChangedTo) {
    ChangedFrom = Offset;
    ChangedTo = Offset + Length;
  } else {
    ChangedFrom = std::min(ChangedFrom, Offset);
    ChangedTo = std::max(ChangedTo, Offset + Length);
  }
}

void QemuMachine::FromWindow(uint64_t Offset, uint8_t *Bytes, uint64_t Length) const {
  if (Offset > Window.size() || Length > Window.size() - Offset) {
    throw std::invalid_argument("bytes outside the normal-world window");
  }
  std::memcpy(Bytes, Window.data() + Offset, Length);
}

QemuAnswer QemuMachine::Request(const VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t BufferSize,
                                const WindowTransfer &Transfer) {
  if (Child <= 0) {
    Fail(QemuError::Kind::kQemu, "request without a running QEMU");
  }
  const auto Inside = [this](uint64_t Offset, uint64_t Bytes) {
    return Offset <= Settings.WindowSize && Bytes <= Settings.WindowSize - Offset;
  };
  if (!Inside(Transfer.InOffset, Transfer.InBytes) ||
      !Inside(Transfer.OutOffset, Transfer.OutBytes)) {
    throw std::invalid_argument("window transfer outside the window");
  }
  Deadline = Now() + Settings.TimeoutSeconds;
  Doing = "the answer to request " + Hex(Words[0]);
  Stoppable = true;
  StopSeen = false;
  uint64_t Frame[serve::kFrameWords] = {serve::Header(serve::kRequest)};
  std::copy(std::begin(Words), std::end(Words), Frame + serve::kRecordFirstWord);
  Frame[serve::kRequestBufferSize] = BufferSize;
  Frame[serve::kRequestInOffset] = Transfer.InOffset;
  Frame[serve::kRequestInBytes] = Transfer.InBytes;
  Frame[serve::kRequestOutOffset] = Transfer.OutOffset;
  Frame[serve::kRequestOutBytes] = Transfer.OutBytes;
  SendBytes(Frame, sizeof(Frame));
  SendBytes(Window.data() + Transfer.InOffset, Transfer.InBytes);
  ChangedFrom = ChangedTo = 0;
  ReceiveFrame(serve::kAnswer, Frame);
  ReceiveBytes(Window.data() + Transfer.OutOffset, Transfer.OutBytes);
  Stoppable = false;
  QemuAnswer Answer;
  Answer.Status = Frame[serve::kAnswerStatus];
  std::copy(Frame + serve::kAnswerRecord, Frame + serve::kAnswerRecord + VARNELMM_RECORD_WORDS,
            Answer.Words);
  DrainConsole();
  return Answer;
}

void QemuMachine::SaveFlash() {
  if (Child <= 0) {
    return;
  }
  Deadline = Now() + Settings.TimeoutSeconds;
  Doing = "the flash contents at the end of the run";
  const uint64_t Finish[serve::kFrameWords] = {serve::Header(serve::kFinish)};
  SendBytes(Finish, sizeof(Finish));
  // Blocks are collected first and copied only once the run has ended well.
  struct Block {
    uint64_t Offset;
    std::vector<uint8_t> Bytes;
  };
  std::vector<Block> Blocks;
  for (;;) {
    uint64_t Frame[serve::kFrameWords];
    ReceiveBytes(Frame, sizeof(Frame));
    if (Frame[0] == serve::Header(serve::kFinished)) {
      break;
    }
    CheckFrame(serve::kFlashBlock, Frame);
    const uint64_t Offset = Frame[serve::kFlashBlockOffset];
    const uint64_t Length = Frame[serve::kFlashBlockLength];
    if (Offset > FlashSize || Length > FlashSize - Offset || Length > serve::kFlashBlockBytes) {
      Fail(QemuError::Kind::kQemu, "flash block outside the flash: " + Hex(Offset));
    }
    Blocks.push_back({Offset, std::vector<uint8_t>(Length)});
    ReceiveBytes(Blocks.back().Bytes.data(), Length);
  }
  const int Status = WaitForExit(Settings.TimeoutSeconds);
  DrainConsole();
  if (Status != 0) {
    Ended();
  }
  Child = -1;
  for (const Block &Item : Blocks) {
    std::memcpy(Flash + Item.Offset, Item.Bytes.data(), Item.Bytes.size());
  }
  Stop();
}

void QemuMachine::SendBytes(const void *Bytes, uint64_t Length) {
  const auto *At = static_cast<const uint8_t *>(Bytes);
  while (Length != 0) {
    const ssize_t Written = write(RequestFd, At, Length);
    if (Written > 0) {
      At += Written;
      Length -= static_cast<uint64_t>(Written);
      continue;
    }
    if (Written < 0 && errno != EAGAIN && errno != EINTR) {
      // QEMU is gone; what it said last (a fault, a refusal) explains why.
      uint64_t Frame[serve::kFrameWords];
      ReceiveFrame(serve::kFault, Frame);
    }
    WaitFor(RequestFd, POLLOUT);
  }
}

void QemuMachine::ReceiveBytes(void *Bytes, uint64_t Length) {
  auto *At = static_cast<uint8_t *>(Bytes);
  while (Length != 0) {
    const ssize_t Got = read(AnswerFd, At, Length);
    if (Got > 0) {
      At += Got;
      Length -= static_cast<uint64_t>(Got);
      continue;
    }
    if (Got == 0) {
      Ended();
    }
    if (errno != EAGAIN && errno != EINTR) {
      Ended();
    }
    WaitFor(AnswerFd, POLLIN);
  }
}

void QemuMachine::WaitFor(int Fd, short Events) {
  DrainErrors();
  if (Stoppable && !StopSeen && Settings.ShouldStop && Settings.ShouldStop()) {
    StopSeen = true;
    Deadline = std::min(Deadline, Now() + kStopGraceSeconds);
  }
  const double Left = Deadline - Now();
  if (Left <= 0) {
    TimedOut();
  }
  pollfd Wait = {Fd, Events, 0};
  poll(&Wait, 1, static_cast<int>(std::min(Left, 0.1) * 1000) + 1);
}

void QemuMachine::ReceiveFrame(uint64_t Kind, uint64_t (&Frame)[16]) {
  ReceiveBytes(Frame, sizeof(Frame));
  CheckFrame(Kind, Frame);
}

void QemuMachine::CheckFrame(uint64_t Kind, const uint64_t (&Frame)[16]) {
  if (Frame[0] == serve::Header(serve::kFault)) {
    Faulted(Frame);
  }
  if (Frame[0] != serve::Header(static_cast<serve::Kind>(Kind))) {
    Fail(QemuError::Kind::kQemu,
         "unexpected frame " + Hex(Frame[0]) + " while waiting for " + Doing);
  }
}

void QemuMachine::DrainErrors() {
  char Buffer[4096];
  ssize_t Got;
  while (ErrorFd >= 0 && (Got = read(ErrorFd, Buffer, sizeof(Buffer))) > 0) {
    Errors.append(Buffer, static_cast<size_t>(Got));
  }
}

void QemuMachine::DrainConsole() {
  char Buffer[4096];
  ssize_t Got;
  while (ConsoleFd >= 0 &&
         (Got = pread(ConsoleFd, Buffer, sizeof(Buffer), static_cast<off_t>(ConsoleRead))) > 0) {
    ConsoleRead += static_cast<uint64_t>(Got);
    Console.append(Buffer, static_cast<size_t>(Got));
  }
}

std::string QemuMachine::TakeConsole() {
  DrainConsole();
  std::string Text;
  Text.swap(Console);
  return Text;
}

bool QemuMachine::PeekFlash(uint64_t Address, uint64_t Length, uint8_t *Bytes) {
  if (Child <= 0) {
    return false;
  }
  Deadline = Now() + Settings.TimeoutSeconds;
  Doing = "flash contents at " + Hex(Address);
  for (uint64_t Done = 0; Done < Length;) {
    const uint64_t Size = std::min(Length - Done, serve::kMaxPeekBytes);
    uint64_t Frame[serve::kFrameWords] = {serve::Header(serve::kPeek)};
    Frame[serve::kPeekAddress] = Address + Done;
    Frame[serve::kPeekLength] = Size;
    SendBytes(Frame, sizeof(Frame));
    ReceiveFrame(serve::kPeeked, Frame);
    if (Frame[serve::kPeekedInside] == 0) {
      return false;
    }
    ReceiveBytes(Bytes + Done, Size);
    Done += Size;
  }
  return true;
}

std::string QemuMachine::Where(uint64_t Address) const {
  if (Loaded.Size != 0 && Address >= Loaded.Base && Address - Loaded.Base < Loaded.Size) {
    return Hex(Address) + " (VarnelMm.efi+" + Hex(Address - Loaded.Base) + ")";
  }
  return Hex(Address) + " (outside the image)";
}

int QemuMachine::WaitForExit(double Seconds) {
  const double Until = Now() + Seconds;
  for (;;) {
    int Status = 0;
    const pid_t Done = waitpid(Child, &Status, WNOHANG);
    if (Done == Child) {
      Child = -1;
      DrainErrors();
      return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    }
    if (Done < 0 || Now() > Until) {
      kill(Child, SIGKILL);
      waitpid(Child, nullptr, 0);
      Child = -1;
      DrainErrors();
      return -1;
    }
    DrainErrors();
    usleep(2000);
  }
}

void QemuMachine::Fail(QemuError::Kind What, const std::string &Message) {
  DrainConsole();
  Stop();
  throw QemuError(What, Message);
}

void QemuMachine::Faulted(const uint64_t (&Frame)[serve::kFrameWords]) {
  std::string Text(std::min<uint64_t>(Frame[serve::kFaultTextLength], 4096), '\0');
  ReceiveBytes(Text.data(), Text.size());
  Loaded.Base = Frame[serve::kFaultImageBase];
  Loaded.Size = Frame[serve::kFaultImageSize];
  const int Status = WaitForExit(2);
  // The supervisor's report line (on QEMU's stderr) names the exception class.
  std::smatch Class;
  const bool Named = std::regex_search(Errors, Class, std::regex("EC 0x[0-9A-F]+ \\((.*)\\) ESR"));
  std::string Message;
  const uint64_t Esr = Frame[serve::kFaultEsr];
  const uint64_t Elr = Frame[serve::kFaultElr];
  if (Esr == 0 && Elr == 0) {
    Message = "the supervisor refused the run: " + Text;
  } else {
    Message = "the image faulted " + Text + ": EC " + Hex(Esr >> 26 & 0x3F) +
              (Named ? " (" + Class[1].str() + ")" : "") + ", ESR " + Hex(Esr) + ", at ELR " +
              Where(Elr) + ", FAR " + Hex(Frame[serve::kFaultFar]) + ", SP_EL0 " +
              Hex(Frame[serve::kFaultSpEl0]) + ", x30 " + Where(Frame[serve::kFaultX30]);
  }
  Message += "; QEMU ended with status " + std::to_string(Status);
  Fail(QemuError::Kind::kFault, Message);
}

void QemuMachine::Ended() {
  const int Status = Child > 0 ? WaitForExit(2) : -1;
  std::string Message = "QEMU ended while waiting for " + Doing;
  if (Status >= 0) {
    Message += " (status " + std::to_string(Status) + ")";
  }
  std::string Tail = Errors;
  while (!Tail.empty() && (Tail.back() == '\n' || Tail.back() == '\r')) {
    Tail.pop_back();
  }
  std::replace(Tail.begin(), Tail.end(), '\n', ' ');
  if (!Tail.empty()) {
    Message += ": " + Tail;
  }
  Fail(QemuError::Kind::kQemu, Message);
}

void QemuMachine::TimedOut() {
  std::string Message = StopSeen ? "stopped while waiting for " + Doing
                                 : "no answer within " +
                                       std::to_string(static_cast<int>(Settings.TimeoutSeconds)) +
                                       " s while waiting for " + Doing;
  const std::string Registers = AskMonitor("info registers");
  std::smatch Match;
  if (std::regex_search(Registers, Match, std::regex("PC=([0-9a-f]+)"))) {
    Message += "; the CPU is at PC " + Where(std::stoull(Match[1].str(), nullptr, 16));
    if (std::regex_search(Registers, Match, std::regex("EL([0-3])[th]"))) {
      Message += " at EL" + Match[1].str();
    }
  }
  Fail(StopSeen ? QemuError::Kind::kStopped : QemuError::Kind::kHang, Message);
}

std::string QemuMachine::AskMonitor(const std::string &Command) {
  if (MonitorFd < 0) {
    return "";
  }
  const std::string Line = Command + "\n";
  if (send(MonitorFd, Line.data(), Line.size(), MSG_NOSIGNAL) < 0) {
    return "";
  }
  // The monitor echoes the command, prints its answer and a new prompt.
  std::string Answer;
  const double Until = Now() + 2;
  while (Now() < Until) {
    pollfd Wait = {MonitorFd, POLLIN, 0};
    if (poll(&Wait, 1, 100) > 0) {
      char Buffer[4096];
      const ssize_t Got = recv(MonitorFd, Buffer, sizeof(Buffer), 0);
      if (Got <= 0) {
        break;
      }
      Answer.append(Buffer, static_cast<size_t>(Got));
      const size_t Prompt = Answer.rfind("(qemu) ");
      if (Prompt != std::string::npos && Answer.find("PSTATE") != std::string::npos &&
          Prompt > Answer.find("PSTATE")) {
        break;
      }
    }
  }
  return Answer;
}

}  // namespace qemuhost
