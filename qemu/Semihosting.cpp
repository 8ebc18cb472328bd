// Semihosting calls (the A64 `hlt #0xF000` convention) and the line builder.
#include "qemu/Semihosting.h"

namespace supervisor {
namespace {

constexpr uint64_t kSysWrite0 = 0x04;
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
