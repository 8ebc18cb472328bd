// SPDX-License-Identifier: BSD-3-Clause
#include "tests/support/RecordWatch.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

RecordWatch *gWatch = nullptr;
struct sigaction gPreviousSegv;
struct sigaction gPreviousTrap;

#if defined(__x86_64__) && defined(__linux__)
constexpr unsigned long long kTrapFlag = 0x100;   // EFLAGS.TF
constexpr unsigned long long kWriteAccess = 0x2;  // page-fault error code: W/R
#endif

// Hands a signal that is not the watch's to whoever had it before.
void Chain(const struct sigaction &Previous, int Signal, siginfo_t *Info, void *Context) {
  if ((Previous.sa_flags & SA_SIGINFO) != 0 && Previous.sa_sigaction != nullptr) {
    Previous.sa_sigaction(Signal, Info, Context);
    return;
  }
  if (Previous.sa_handler != SIG_DFL && Previous.sa_handler != SIG_IGN) {
    Previous.sa_handler(Signal);
    return;
  }
  // The default action: restore it and let the instruction fault again.
  sigaction(Signal, &Previous, nullptr);
}

}  // namespace

bool RecordWatch::Available() {
#if defined(__x86_64__) && defined(__linux__)
  return true;
#else
  return false;
#endif
}

RecordWatch::RecordWatch() {
  if (gWatch != nullptr) {
    std::fprintf(stderr, "RecordWatch: only one watch at a time\n");
    std::abort();
  }
  PageSize_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *Mapped =
      mmap(nullptr, 3 * PageSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Mapped == MAP_FAILED) {
    std::perror("RecordWatch: mmap");
    std::abort();
  }
  Pages_ = static_cast<uint8_t *>(Mapped);
  gWatch = this;
  if (Available()) {
    struct sigaction Action = {};
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_SIGINFO;
    Action.sa_sigaction = [](int Signal, siginfo_t *Info, void *Context) {
      OnFault(Signal, Info, Context);
    };
    sigaction(SIGSEGV, &Action, &gPreviousSegv);
    Action.sa_sigaction = [](int Signal, siginfo_t *Info, void *Context) {
      OnTrap(Signal, Info, Context);
    };
    sigaction(SIGTRAP, &Action, &gPreviousTrap);
  }
}

RecordWatch::~RecordWatch() {
  Disarm();
  if (Available()) {
    sigaction(SIGSEGV, &gPreviousSegv, nullptr);
    sigaction(SIGTRAP, &gPreviousTrap, nullptr);
  }
  munmap(Pages_, 3 * PageSize_);
  gWatch = nullptr;
}

void RecordWatch::Protect(bool Closed) const {
  if (mprotect(Pages_ + PageSize_, 2 * PageSize_, Closed ? PROT_NONE : PROT_READ | PROT_WRITE) !=
      0) {
    std::abort();
  }
}

void RecordWatch::Arm() {
  for (uint32_t Word = 0; Word < kWords; ++Word) {
    Loads_[Word] = 0;
    Stores_[Word] = 0;
  }
  StrayLoads_ = 0;
  StrayStores_ = 0;
  Accesses_ = 0;
  if (Available()) {
    Armed_ = true;
    Protect(true);
  }
}

void RecordWatch::Disarm() {
  if (Armed_) {
    Armed_ = false;
    Protect(false);
  }
}

void RecordWatch::Write(uint64_t Offset, const void *Bytes, size_t Length) {
  const bool WasArmed = Armed_;
  Disarm();
  std::memcpy(Record() + Offset, Bytes, Length);
  if (WasArmed) {
    Armed_ = true;
    Protect(true);
  }
}

void RecordWatch::OnFault(int Signal, void *InfoPointer, void *ContextPointer) {
  auto *Info = static_cast<siginfo_t *>(InfoPointer);
  RecordWatch *W = gWatch;
  const auto *Address = static_cast<const uint8_t *>(Info->si_addr);
  if (W == nullptr || !W->Armed_ || W->Stepping_ || Address < W->Record() ||
      Address >= W->Record() + 2 * W->PageSize_) {
    Chain(gPreviousSegv, Signal, Info, ContextPointer);
    return;
  }
#if defined(__x86_64__) && defined(__linux__)
  auto *Context = static_cast<ucontext_t *>(ContextPointer);
  const bool Store =
      (static_cast<unsigned long long>(Context->uc_mcontext.gregs[REG_ERR]) & kWriteAccess) != 0;
  const uint64_t Word = static_cast<uint64_t>(Address - W->Record()) / sizeof(uint64_t);
  W->Accesses_ = W->Accesses_ + 1;
  if (Word < kWords) {
    if (Store) {
      W->Stores_[Word] = W->Stores_[Word] + 1;
    } else {
      W->Loads_[Word] = W->Loads_[Word] + 1;
    }
  } else if (Store) {
    W->StrayStores_ = W->StrayStores_ + 1;
  } else {
    W->StrayLoads_ = W->StrayLoads_ + 1;
  }
  // Let this one instruction run, then trap.
  W->Stepping_ = true;
  W->Protect(false);
  Context->uc_mcontext.gregs[REG_EFL] |= static_cast<greg_t>(kTrapFlag);
#else
  (void)ContextPointer;
#endif
}

void RecordWatch::OnTrap(int Signal, void *InfoPointer, void *ContextPointer) {
  RecordWatch *W = gWatch;
  if (W == nullptr || !W->Stepping_) {
    Chain(gPreviousTrap, Signal, static_cast<siginfo_t *>(InfoPointer), ContextPointer);
    return;
  }
#if defined(__x86_64__) && defined(__linux__)
  auto *Context = static_cast<ucontext_t *>(ContextPointer);
  Context->uc_mcontext.gregs[REG_EFL] &= ~static_cast<greg_t>(kTrapFlag);
#endif
  W->Stepping_ = false;
  if (W->Armed_) {
    W->Protect(true);
  }
}

}  // namespace testsupport
