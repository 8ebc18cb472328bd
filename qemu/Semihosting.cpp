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

Line &Line::Text(const char *Text) {
  while (*Text != '\0') {
    Char(*Text++);
  }
  return *this;
}

Line &Line::Char(char Value) {
  if (Length_ + 2 < kCapacity) {
    Buffer_[Length_++] = Value;
  }
  return *this;
}

Line &Line::Hex(uint64_t Value) {
  Text("0x");
  int Shift = 60;
  while (Shift > 0 && ((Value >> Shift) & 0xF) == 0) {
    Shift -= 4;
  }
  for (; Shift >= 0; Shift -= 4) {
    Char("0123456789ABCDEF"[(Value >> Shift) & 0xF]);
  }
  return *this;
}

Line &Line::Dec(uint64_t Value) {
  char Digits[20];
  int Count = 0;
  do {
    Digits[Count++] = static_cast<char>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  while (Count > 0) {
    Char(Digits[--Count]);
  }
  return *this;
}

void Line::Send() {
  Buffer_[Length_++] = '\n';
  Buffer_[Length_] = '\0';
  SemihostWrite(Buffer_);
  Length_ = 0;
}

}  // namespace supervisor
