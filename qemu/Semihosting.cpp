// SPDX-License-Identifier: BSD-3-Clause
// Semihosting calls (the A64 `hlt #0xF000` convention) and the line builder.
#include "qemu/Semihosting.h"

namespace supervisor {
namespace {

constexpr uint64_t kSysOpen = 0x01;
constexpr uint64_t kSysWrite0 = 0x04;
constexpr uint64_t kSysWrite = 0x05;
constexpr uint64_t kSysRead = 0x06;
constexpr uint64_t kSysExit = 0x18;
constexpr uint64_t kApplicationExit = 0x20026;

uint64_t Semihost(uint64_t Operation, const volatile void *Parameter) {
  register uint64_t X0 asm("x0") = Operation;
  register const volatile void *X1 asm("x1") = Parameter;
  asm volatile("hlt #0xf000" : "+r"(X0) : "r"(X1) : "memory");
  return X0;
}

}  // namespace

void SemihostWrite(const char *Text) {
  Semihost(kSysWrite0, Text);
}

int64_t SemihostOpen(const char *Path, uint64_t Mode) {
  uint64_t Length = 0;
  while (Path[Length] != '\0') {
    ++Length;
  }
  const volatile uint64_t Block[3] = {reinterpret_cast<uint64_t>(Path), Mode, Length};
  return static_cast<int64_t>(Semihost(kSysOpen, Block));
}

uint64_t SemihostRead(int64_t Handle, void *Buffer, uint64_t Length) {
  const volatile uint64_t Block[3] = {static_cast<uint64_t>(Handle),
                                      reinterpret_cast<uint64_t>(Buffer), Length};
  return Semihost(kSysRead, Block);
}

uint64_t SemihostWriteFile(int64_t Handle, const void *Buffer, uint64_t Length) {
  const volatile uint64_t Block[3] = {static_cast<uint64_t>(Handle),
                                      reinterpret_cast<uint64_t>(Buffer), Length};
  return Semihost(kSysWrite, Block);
}

void SemihostExit(uint32_t Status) {
  const volatile uint64_t Block[2] = {kApplicationExit, Status};
  for (;;) {
    Semihost(kSysExit, Block);
  }
}

void Line::Send() {
  Buffer_[Length_++] = '\n';
  Buffer_[Length_] = '\0';
  SemihostWrite(Buffer_);
  Length_ = 0;
}

}  // namespace supervisor
