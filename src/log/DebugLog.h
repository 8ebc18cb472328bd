// SPDX-License-Identifier: BSD-3-Clause
// Levelled debug log, assertion reports and status assertions.
//
// Message sites use VARNEL_LOG, which asks the build switches first and gathers its arguments only
// when both answer TRUE. The format is checked at compile time against the arguments: the number
// of argument slots its directives take, and whether each slot wants a number or a pointer of the
// right kind. A mismatch does not compile.
#pragma once

#include <stdint.h>

#include "base/UefiTypes.h"

#include "base/Assertion.h"
#include "config/VarnelMmConfig.h"

extern "C" {
// The build switches. They are constants of this build, defined here so that every message and
// check site folds them away.
inline bool LogPrintEnabled(void) {
  return true;
}
inline bool LogLevelEnabled(uint64_t /*Level*/) {
  return true;
}

void LogPrint(uint64_t Level, const char *Format, ...);
}

constexpr uint64_t kLevelError = 0x80000000;
constexpr uint64_t kLevelWarning = 0x00000002;
constexpr uint64_t kLevelInfo = 0x00000040;

namespace logcheck {

// What one argument slot holds, as far as the directive language can tell.
enum class SlotKind : uint8_t { Number, AsciiText, WideText, Guid, Time, OtherPointer, Null };

template <typename T>
struct KindOf {
  static constexpr SlotKind kValue =
      __is_integral(T) || __is_enum(T) ? SlotKind::Number : SlotKind::OtherPointer;
};
template <typename T>
struct WithoutConst {
  using Type = T;
};
template <typename T>
struct WithoutConst<const T> {
  using Type = T;
};

template <typename T>
struct PointeeKind {
  static constexpr SlotKind kValue = SlotKind::OtherPointer;
};
template <>
struct PointeeKind<char> {
  static constexpr SlotKind kValue = SlotKind::AsciiText;
};
template <>
struct PointeeKind<char16_t> {
  static constexpr SlotKind kValue = SlotKind::WideText;
};
template <>
struct PointeeKind<EFI_GUID> {
  static constexpr SlotKind kValue = SlotKind::Guid;
};
template <>
struct PointeeKind<EFI_TIME> {
  static constexpr SlotKind kValue = SlotKind::Time;
};

template <typename T>
struct KindOf<T *> {
  static constexpr SlotKind kValue = PointeeKind<typename WithoutConst<T>::Type>::kValue;
};
template <>
struct KindOf<decltype(nullptr)> {
  static constexpr SlotKind kValue = SlotKind::Null;
};

constexpr bool SlotAccepts(char Conversion, SlotKind Kind) {
  switch (Conversion) {
    case 'd':
    case 'u':
    case 'x':
    case 'X':
    case 'c':
    case 'r':
    case '*':
      return Kind == SlotKind::Number;
    case 'p':
      return Kind != SlotKind::AsciiText && Kind != SlotKind::WideText;
    case 'a':
      return Kind == SlotKind::AsciiText || Kind == SlotKind::Null;
    case 's':
    case 'S':
      return Kind == SlotKind::WideText || Kind == SlotKind::Null;
    case 'g':
      return Kind == SlotKind::Guid || Kind == SlotKind::Null;
    case 't':
      return Kind == SlotKind::Time || Kind == SlotKind::Null;
    default:
      return false;
  }
}

constexpr bool TakesSlot(char Conversion) {
  switch (Conversion) {
    case 'd':
    case 'u':
    case 'x':
    case 'X':
    case 'c':
    case 'r':
    case 'p':
    case 'a':
    case 's':
    case 'S':
    case 'g':
    case 't':
      return true;
    default:
      return false;
  }
}

// Walks the format as the engine does and checks each slot it would take against the arguments.
constexpr bool FormatMatches(const char *Format, const SlotKind *Kinds, uint64_t Count) {
  uint64_t Slot = 0;
  for (const char *Cursor = Format; *Cursor != '\0'; ++Cursor) {
    if (*Cursor != '%') {
      continue;
    }
    for (++Cursor;; ++Cursor) {
      const char Character = *Cursor;
      if (Character == '-' || Character == '+' || Character == ' ' || Character == ',' ||
          Character == 'l' || Character == 'L' || Character == '.' ||
          (Character >= '0' && Character <= '9')) {
        continue;
      }
      if (Character == '*') {
        if (Slot >= Count || !SlotAccepts('*', Kinds[Slot])) {
          return false;
        }
        ++Slot;
        continue;
      }
      if (Character == '\0') {
        return Slot == Count;
      }
      if (TakesSlot(Character)) {
        if (Slot >= Count || !SlotAccepts(Character, Kinds[Slot])) {
          return false;
        }
        ++Slot;
      }
      break;
    }
  }
  return Slot == Count;
}

// Not constexpr: reaching it during constant evaluation is the compile-time error.
void FormatDoesNotMatchArguments();

template <typename T>
struct Identity {
  using Type = T;
};

template <typename... Args>
struct CheckedFormat {
  const char *Text;

  template <uint64_t N>
  consteval CheckedFormat(const char (&Format)[N]) : Text(Format) {  // NOLINT: implicit on purpose
    constexpr SlotKind Kinds[] = {KindOf<Args>::kValue..., SlotKind::Null};
    if (!FormatMatches(Format, Kinds, sizeof...(Args))) {
      FormatDoesNotMatchArguments();
    }
  }
};

// Every argument travels as one 64-bit slot.
template <typename T>
inline uint64_t ToSlot(T Value) {
  if constexpr (__is_integral(T) || __is_enum(T)) {
    if constexpr (static_cast<T>(-1) < static_cast<T>(0)) {
      return static_cast<uint64_t>(static_cast<int64_t>(Value));
    } else {
      return static_cast<uint64_t>(Value);
    }
  } else {
    return reinterpret_cast<uint64_t>(Value);
  }
}
inline uint64_t ToSlot(decltype(nullptr)) {
  return 0;
}

template <typename... Args>
inline void LogChecked(uint64_t Level, CheckedFormat<typename Identity<Args>::Type...> Format,
                       Args... Arguments) {
  LogPrint(Level, Format.Text, ToSlot(Arguments)...);
}

}  // namespace logcheck

// True when a message site of this level is compiled: its low 32 bits share a bit with the site
// mask, which is the output mask unless a test build widens it. LogPrint makes the same test with
// the output mask, so for a constant level the build drops exactly the sites (info) whose lines
// could never reach the console, at no cost in the image.
constexpr bool LevelCanPrint(uint64_t Level) {
  return (static_cast<uint32_t>(Level) & config::kLogSiteMask) != 0;
}

// Guarded message: switches first, then the arguments, then LogPrint. The format is checked
// against the arguments even where the level is filtered out.
#define VARNEL_LOG(Level, ...)                                                 \
  do {                                                                         \
    if (LevelCanPrint(Level) && LogPrintEnabled() && LogLevelEnabled(Level)) { \
      ::logcheck::LogChecked((Level), __VA_ARGS__);                            \
    }                                                                          \
  } while (0)

#define VARNEL_STATUS_ASSERT(Status, LineFormat, Text)        \
  do {                                                        \
    const EFI_STATUS AssertedStatus_ = (Status);              \
    if (AssertChecksEnabled() && EfiError(AssertedStatus_)) { \
      VARNEL_LOG(kLevelError, LineFormat, AssertedStatus_);   \
      AssertReport(__FILE__, __LINE__, Text);                 \
    }                                                         \
  } while (0)

// The two status-assertion forms: an error-level line naming the status, then a report.
#define ASSERT_EFI_ERROR(Status) \
  VARNEL_STATUS_ASSERT(Status, "\nASSERT_EFI_ERROR (Status = %r)\n", "!EFI_ERROR (Status)")
#define ASSERT_RETURN_ERROR(Status) \
  VARNEL_STATUS_ASSERT(Status, "\nASSERT_RETURN_ERROR (Status = %r)\n", "!RETURN_ERROR (Status)")
