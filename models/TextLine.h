// SPDX-License-Identifier: BSD-3-Clause
// A line of text built in a fixed buffer: strings, characters, "0x"-prefixed uppercase
// hexadecimal without leading zeros, and decimal. Freestanding, for the QEMU supervisor's reports
// and the scenario runner that runs on the host and under QEMU alike. Derived classes add their
// own output (CRTP keeps every call chainable).
#pragma once

#include <stdint.h>

namespace models {

template <typename Derived, uint32_t Capacity>
class TextLine {
 public:
  Derived &Str(const char *Value) {
    while (*Value != '\0') {
      Put(*Value++);
    }
    return Self();
  }
  Derived &Hex(uint64_t Value) {
    Str("0x");
    int Shift = 60;
    while (Shift > 0 && ((Value >> Shift) & 0xF) == 0) {
      Shift -= 4;
    }
    for (; Shift >= 0; Shift -= 4) {
      Put(kDigits[(Value >> Shift) & 0xF]);
    }
    return Self();
  }
  Derived &Dec(uint64_t Value) {
    char Digits[20];
    int Count = 0;
    do {
      Digits[Count++] = static_cast<char>('0' + Value % 10);
      Value /= 10;
    } while (Value != 0);
    while (Count > 0) {
      Put(Digits[--Count]);
    }
    return Self();
  }
  // Keeps room for a line end and the NUL; what does not fit is dropped.
  Derived &Put(char Value) {
    if (Length_ + 2 < Capacity) {
      Buffer_[Length_++] = Value;
      Buffer_[Length_] = '\0';
    }
    return Self();
  }
  const char *Get() const { return Buffer_; }

 protected:
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char Buffer_[Capacity] = {};
  uint32_t Length_ = 0;

 private:
  Derived &Self() { return static_cast<Derived &>(*this); }
};

}  // namespace models
