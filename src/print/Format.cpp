// The format engine: renders an ASCII format and its 64-bit argument slots into a caller's buffer.
//
// Every format character, line end and directive becomes one "text" that goes through the same
// layout: width fill, precision fill (with the sign or blank prefix of a number in front), the
// characters themselves, and the width fill of a left-justified text. Nothing is ever stored at
// or past the end mark (buffer + size - 1) except the terminating NUL, which lands at most on it.
#include "print/Format.h"

#include "base/BaseLib.h"
#include "config/VarnelMmConfig.h"
#include "log/DebugLog.h"
#include "print/StatusName.h"

namespace {

// Directive flags.
enum : uint32_t {
  kLeftJustify = 1U << 0,
  kSignPrefix = 1U << 1,
  kBlankPrefix = 1U << 2,
  kCommaGrouping = 1U << 3,
  kLongArgument = 1U << 4,
  kPrecisionGiven = 1U << 5,
  kZeroFill = 1U << 6,
  kWidthGiven = 1U << 7,
  kHexadecimal = 1U << 8,
  kUnsignedValue = 1U << 9,
};

// How the characters of a text are read: one byte each, two bytes each (UCS-2, low byte first,
// stored as the low byte), or one byte each backwards (the digits of a number).
enum TextKind : int8_t { kReversed = -1, kAscii = 1, kWide = 2 };

constexpr char kDigits[] = "0123456789ABCDEF";
constexpr char kLineEnd[] = "\r\n";
constexpr char kCarriageReturn[] = "\r";
constexpr char kNullString[] = "<null string>";
constexpr char kNullGuid[] = "<null guid>";
constexpr char kNullTime[] = "<null time>";
constexpr char kGuidFormat[] = "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x";
constexpr char kTimeFormat[] = "%02d/%02d/%04d  %02d:%02d";
constexpr char kStatusFormat[] = "%08X";

// Format characters that need more than a plain copy: NUL, line feed, carriage return and '%'.
constexpr uint64_t kSpecialCharacters =
    (1ULL << '\0') | (1ULL << '\n') | (1ULL << '\r') | (1ULL << '%');

inline bool IsSpecial(uint8_t Character) {
  return Character < 64 && ((kSpecialCharacters >> Character) & 1) != 0;
}

inline char *Fill(char *Position, const char *Limit, int64_t Count, char Character) {
  for (; Count > 0 && Position < Limit; --Count) {
    *Position++ = Character;
  }
  return Position;
}

inline const uint8_t *Bytes(const char *Text) {
  return reinterpret_cast<const uint8_t *>(Text);
}

}  // namespace

extern "C" {

char *FillOutput(char *Position, char *Limit, int64_t Count, char Character) {
  return Fill(Position, Limit, Count, Character);
}

uint64_t AsciiStrnLenS(const char *String, uint64_t Limit) {
  if (String == nullptr) {
    return 0;
  }
  uint64_t Length = 0;
  while (Length < Limit && String[Length] != '\0') {
    ++Length;
  }
  return Length;
}

uint64_t FormatBufferV(char *Buffer, uint64_t BufferSize, const char *Format, va_list Arguments) {
  const bool Checks = AssertChecksEnabled();
  if (BufferSize > 0 && Buffer == nullptr) {
    if (Checks) {
      AssertReport(__FILE__, __LINE__, "(Buffer != ((void *) 0))");
    }
    return 0;
  }
  if (BufferSize > 0 && Format == nullptr) {
    if (Checks) {
      AssertReport(__FILE__, __LINE__, "(Format != ((void *) 0))");
    }
    return 0;
  }
  if (AsciiStrnLenS(Format, config::kMaxAsciiStringLength + 1) > config::kMaxAsciiStringLength) {
    if (Checks) {
      AssertReport(__FILE__, __LINE__,
                   "(AsciiStrnLenS (Format, MaxAsciiStringLength + 1) <= MaxAsciiStringLength)");
    }
    return 0;
  }
  if (BufferSize == 0) {
    return 0;
  }

  char ValueBuffer[kFormatValueBufferSize];
  char *Position = Buffer;
  char *const EndMark = Buffer + BufferSize - 1;
  const uint8_t *Cursor = Bytes(Format);

  while (Position < EndMark) {
    uint8_t Conversion = *Cursor;
    if (!IsSpecial(Conversion)) {
      // A plain character with the default state lays out as itself.
      *Position++ = static_cast<char>(Conversion);
      ++Cursor;
      continue;
    }
    if (Conversion == '\0') {
      break;
    }

    uint32_t Flags = 0;
    uint64_t Width = 0;
    uint64_t Precision = 1;

    if (Conversion == '%') {
      for (;;) {
        Conversion = *++Cursor;
        switch (Conversion) {
          case '-':
            Flags |= kLeftJustify;
            continue;
          case '+':
            Flags |= kSignPrefix;
            continue;
          case ' ':
            Flags |= kBlankPrefix;
            continue;
          case ',':
            Flags |= kCommaGrouping;
            continue;
          case 'l':
          case 'L':
            Flags |= kLongArgument;
            continue;
          case '.':
            Flags |= kPrecisionGiven;
            continue;
          case '*': {
            const uint64_t Value = va_arg(Arguments, uint64_t);
            if ((Flags & kPrecisionGiven) != 0) {
              Precision = Value;
            } else {
              Width = Value;
              Flags |= kWidthGiven;
            }
            continue;
          }
          case '0':
            if ((Flags & kPrecisionGiven) == 0) {
              Flags |= kZeroFill;
            }
            [[fallthrough]];
          case '1':
          case '2':
          case '3':
          case '4':
          case '5':
          case '6':
          case '7':
          case '8':
          case '9': {
            uint64_t Value = 0;
            while (Cursor[0] >= '0' && Cursor[0] <= '9') {
              Value = Value * 10 + (Cursor[0] - '0');
              ++Cursor;
            }
            --Cursor;  // the loop's pre-increment steps onto the character after the run
            if ((Flags & kPrecisionGiven) != 0) {
              Precision = Value;
            } else {
              Width = Value;
              Flags |= kWidthGiven;
            }
            continue;
          }
          default:
            break;
        }
        break;
      }
    }
    // Cursor now rests on the conversion character (or on the plain line-end character).

    const uint8_t *Text = Bytes(ValueBuffer);
    TextKind Kind = kAscii;
    uint64_t Count = 0;
    char PrecisionFill = ' ';
    char Prefix = '\0';
    uint32_t Group = 0;

    switch (Conversion) {
      case '\0':
        // The format ends inside the directive: only the width fill comes out, and the main loop
        // stops at this NUL.
        Precision = 0;
        ValueBuffer[0] = '\0';
        --Cursor;
        break;
      case '\n':
        Text = Bytes(kLineEnd);
        if (Cursor[1] == '\r') {
          ++Cursor;
        }
        break;
      case '\r':
        if (Cursor[1] == '\n') {
          Text = Bytes(kLineEnd);
          ++Cursor;
        } else {
          Text = Bytes(kCarriageReturn);
        }
        break;
      case 'p':
        Flags = (Flags & ~(kSignPrefix | kBlankPrefix | kZeroFill)) | kLongArgument;
        [[fallthrough]];
      case 'X':
        Flags |= kZeroFill;
        [[fallthrough]];
      case 'x':
        Flags |= kHexadecimal;
        [[fallthrough]];
      case 'u':
      case 'd': {
        if (Conversion == 'u') {
          Flags = (Flags & ~kSignPrefix) | kUnsignedValue;
        }
        uint64_t Value = va_arg(Arguments, uint64_t);
        if ((Flags & kLongArgument) == 0) {
          Value = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(Value)));
        }
        if ((Flags & kSignPrefix) != 0) {
          Prefix = '+';
        } else if ((Flags & kBlankPrefix) != 0) {
          Prefix = ' ';
        }
        char *Digit = ValueBuffer;
        *Digit = '\0';
        if ((Flags & kHexadecimal) != 0) {
          Flags &= ~kCommaGrouping;
          if ((Flags & kLongArgument) == 0) {
            Value = static_cast<uint32_t>(Value);
          }
          do {
            *++Digit = kDigits[Value & 15];
            Value >>= 4;
          } while (Value != 0);
        } else {
          if ((Flags & kCommaGrouping) != 0) {
            Flags &= ~kZeroFill;
            Precision = 1;
          }
          if ((Flags & kUnsignedValue) == 0 && static_cast<int64_t>(Value) < 0) {
            Value = 0 - Value;
            Prefix = '-';
          } else if ((Flags & kUnsignedValue) != 0 && (Flags & kLongArgument) == 0) {
            Value = static_cast<uint32_t>(Value);
          }
          do {
            *++Digit = kDigits[Value % 10];
            Value /= 10;
          } while (Value != 0);
        }
        Count = static_cast<uint64_t>(Digit - ValueBuffer);
        if (Count == 1 && *Digit == '0' && Precision == 0) {
          Count = 0;
        }
        Group = static_cast<uint32_t>((3 - Count % 3) % 3);
        if ((Flags & kCommaGrouping) != 0 && Count > 0) {
          Count += (Count - 1) / 3;
        }
        if (Prefix != '\0') {
          ++Count;
          ++Precision;
        }
        if ((Flags & (kZeroFill | kWidthGiven | kLeftJustify | kPrecisionGiven)) ==
            (kZeroFill | kWidthGiven)) {
          Precision = Width;
        }
        Text = Bytes(Digit);
        Kind = kReversed;
        PrecisionFill = '0';
        break;
      }
      case 'a':
      case 's':
      case 'S':
        Kind = Conversion == 'a' ? kAscii : kWide;
        if ((Flags & kPrecisionGiven) == 0) {
          Precision = 0;
        }
        Text = reinterpret_cast<const uint8_t *>(va_arg(Arguments, uint64_t));
        if (Text == nullptr) {
          Text = Bytes(kNullString);
          Kind = kAscii;
        }
        break;
      case 'c': {
        const uint64_t Value = va_arg(Arguments, uint64_t);
        ValueBuffer[0] = static_cast<char>(Value);
        ValueBuffer[1] = static_cast<char>(Value >> 8);
        ValueBuffer[2] = '\0';
        ValueBuffer[3] = '\0';
        Kind = kWide;
        break;
      }
      case 'g': {
        const auto *Guid = reinterpret_cast<const uint8_t *>(va_arg(Arguments, uint64_t));
        if (Guid == nullptr) {
          Text = Bytes(kNullGuid);
          break;
        }
        const uint64_t Data1 = UnalignedRead16(Guid) + UnalignedRead16(Guid + 2) * 65536ULL;
        FormatValueText(ValueBuffer, kGuidFormat, Data1, uint64_t{UnalignedRead16(Guid + 4)},
                        uint64_t{UnalignedRead16(Guid + 6)}, uint64_t{Guid[8]}, uint64_t{Guid[9]},
                        uint64_t{Guid[10]}, uint64_t{Guid[11]}, uint64_t{Guid[12]},
                        uint64_t{Guid[13]}, uint64_t{Guid[14]}, uint64_t{Guid[15]});
        break;
      }
      case 't': {
        const auto *Time = reinterpret_cast<const uint8_t *>(va_arg(Arguments, uint64_t));
        if (Time == nullptr) {
          Text = Bytes(kNullTime);
          break;
        }
        // Year (16 bits, little-endian), Month, Day, Hour, Minute.
        const uint64_t Year = Time[0] + Time[1] * 256ULL;
        FormatValueText(ValueBuffer, kTimeFormat, uint64_t{Time[2]}, uint64_t{Time[3]}, Year,
                        uint64_t{Time[4]}, uint64_t{Time[5]});
        break;
      }
      case 'r': {
        const uint64_t Status = va_arg(Arguments, uint64_t);
        const char *Name = print::StatusName(Status);
        if (Name != nullptr) {
          Text = Bytes(Name);
        } else {
          FormatValueText(ValueBuffer, kStatusFormat, Status);
        }
        break;
      }
      default:
        // '%' and every character without a meaning of its own print themselves.
        ValueBuffer[0] = static_cast<char>(Conversion);
        ValueBuffer[1] = '\0';
        break;
    }
    ++Cursor;

    if (Kind != kReversed) {
      // Count the characters up to the first zero character, and at most the precision when one
      // was given.
      const uint64_t Limit = (Flags & kPrecisionGiven) != 0 ? Precision : ~0ULL;
      if (Kind == kWide) {
        while (Count < Limit && (Text[2 * Count] | Text[2 * Count + 1]) != 0) {
          ++Count;
        }
      } else {
        while (Count < Limit && Text[Count] != 0) {
          ++Count;
        }
      }
    }

    if (Precision < Count) {
      Precision = Count;
    }
    const uint32_t Justify = Flags & (kWidthGiven | kLeftJustify);
    if (Justify == kWidthGiven) {
      Position = Fill(Position, EndMark, static_cast<int64_t>(Width - Precision), ' ');
    }
    uint64_t Index = 0;
    if (Prefix != '\0') {
      Position = Fill(Position, EndMark, 1, Prefix);
      Index = 1;
    }
    Position = Fill(Position, EndMark, static_cast<int64_t>(Precision - Count), PrecisionFill);

    if ((Flags & kCommaGrouping) == 0) {
      // The first Count characters are known to be non-zero: no test per character needed.
      uint64_t Remaining = Count > Index ? Count - Index : 0;
      const uint64_t Room = static_cast<uint64_t>(EndMark - Position);
      if (Remaining > Room) {
        Remaining = Room;
      }
      for (; Remaining > 0; --Remaining) {
        *Position++ = static_cast<char>(*Text);
        Text += Kind;
      }
    } else {
      while (Index < Count && (Text[0] | (Kind == kWide ? Text[1] : 0)) != 0) {
        Position = Fill(Position, EndMark, 1, static_cast<char>(*Text));
        Text += Kind;
        ++Index;
        if (++Group == 3) {
          Group = 0;
          ++Index;
          if (Index < Count) {
            Position = Fill(Position, EndMark, 1, ',');
          }
        }
      }
    }

    if (Justify == (kWidthGiven | kLeftJustify)) {
      Position = Fill(Position, EndMark, static_cast<int64_t>(Width - Precision), ' ');
    }
  }

  if (Checks && Buffer == nullptr) {
    AssertReport(__FILE__, __LINE__, "Buffer != ((void *) 0)");
  }
  Fill(Position, EndMark + 1, 1, '\0');
  return static_cast<uint64_t>(Position - Buffer);
}

uint64_t FormatBuffer(char *Buffer, uint64_t BufferSize, const char *Format, ...) {
  va_list Arguments;
  va_start(Arguments, Format);
  const uint64_t Count = FormatBufferV(Buffer, BufferSize, Format, Arguments);
  va_end(Arguments);
  return Count;
}

void FormatValueText(char *Destination, const char *Format, ...) {
  va_list Arguments;
  va_start(Arguments, Format);
  FormatBufferV(Destination, kFormatValueBufferSize, Format, Arguments);
  va_end(Arguments);
}

}  // extern "C"
