// SPDX-License-Identifier: BSD-3-Clause
// The format engine: renders an ASCII format and its 64-bit argument slots into a caller's buffer.
//
// Every format character, line end and directive becomes one text that goes through the same
// layout: width fill, precision fill (with the sign or blank prefix of a number in front), the
// characters themselves, and the width fill of a left-justified text. Nothing is ever stored at
// or past the end mark (buffer + size - 1) except the terminating NUL, which lands at most on it.
//
// Builds optimised for speed add shortcuts for the plain runs of a format and for the directives
// the driver's messages use most ('%a', '%x', '%08llx', '%d' and the like). Each shortcut stores
// exactly what the general path would; size-optimised builds (the image) leave them out.
#include "print/Format.h"

#include "base/Assertion.h"
#include "base/MemoryStringRegister.h"
#include "config/VarnelMmConfig.h"
#include "print/StatusName.h"

#ifndef VARNEL_FORMAT_FAST_PATHS
#ifdef __OPTIMIZE_SIZE__
#define VARNEL_FORMAT_FAST_PATHS 0
#else
#define VARNEL_FORMAT_FAST_PATHS 1
#endif
#endif

namespace {

constexpr bool kFastPaths = VARNEL_FORMAT_FAST_PATHS != 0;

// Helpers that size-optimised builds keep out of line, so each is there once.
#if VARNEL_FORMAT_FAST_PATHS
#define VARNEL_FORMAT_OUT_OF_LINE
#else
#define VARNEL_FORMAT_OUT_OF_LINE __attribute__((noinline))
#endif

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
// stored as the low byte), or one byte each backwards (the digits of a number). The value is the
// step from one character to the next.
enum TextKind : int8_t { kReversed = -1, kAscii = 1, kWide = 2 };

constexpr char kDigits[] = "0123456789ABCDEF";
constexpr char kLineEnd[] = "\r\n";
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

// Word-at-a-time helpers.
constexpr uint64_t kByteOnes = 0x0101010101010101ULL;
constexpr uint64_t kByteHighs = 0x8080808080808080ULL;

// Non-zero exactly when one of the eight bytes of Word is zero. Only bytes above the first zero
// byte can be marked falsely, so on a little-endian machine the lowest mark is exact.
inline uint64_t ZeroByteMask(uint64_t Word) {
  return (Word - kByteOnes) & ~Word & kByteHighs;
}

// Marks the bytes of Word that are a line end or '%'.
inline uint64_t SpecialByteMask(uint64_t Word) {
  return ZeroByteMask(Word ^ (kByteOnes * '%')) | ZeroByteMask(Word ^ (kByteOnes * '\n')) |
         ZeroByteMask(Word ^ (kByteOnes * '\r'));
}

using AlignedWord = uint64_t __attribute__((may_alias));

inline uint64_t LoadWord(const void *Address) {
  uint64_t Word;
  __builtin_memcpy(&Word, Address, sizeof(Word));
  return Word;
}

inline void StoreWord(void *Address, uint64_t Word) {
  __builtin_memcpy(Address, &Word, sizeof(Word));
}

}  // namespace

extern "C" {
// Every fill of the engine goes through here.
VARNEL_FORMAT_OUT_OF_LINE char *FillOutput(char *Position, char *Limit, int64_t Count,
                                           char Character) {
  for (; Count > 0 && Position < Limit; --Count) {
    *Position++ = Character;
  }
  return Position;
}
}  // extern "C"

namespace {

// Copies Count characters in order and returns the position after them.
inline char *CopyForward(char *Position, const uint8_t *Text, uint64_t Count) {
  if (kFastPaths && Count >= 8) {
    // Whole words, the last one overlapping the one before it.
    for (uint64_t Offset = 0; Offset + 8 < Count; Offset += 8) {
      StoreWord(Position + Offset, LoadWord(Text + Offset));
    }
    StoreWord(Position + Count - 8, LoadWord(Text + Count - 8));
    return Position + Count;
  }
  for (uint64_t Offset = 0; Offset < Count; ++Offset) {
    Position[Offset] = static_cast<char>(Text[Offset]);
  }
  return Position + Count;
}

inline const uint8_t *Bytes(const char *Text) {
  return reinterpret_cast<const uint8_t *>(Text);
}

// The pointer an argument slot holds: every argument, pointers too, travels as a 64-bit slot.
inline const uint8_t *SlotPointer(uint64_t Slot) {
  return reinterpret_cast<const uint8_t *>(Slot);  // NOLINT(performance-no-int-to-ptr)
}

inline uint64_t SignExtend32(uint64_t Value) {
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(Value)));
}

// Copies the run of plain characters at Cursor (they lay out as themselves), as far as the
// format, whose NUL is at FormatEnd, and the buffer allow.
inline char *CopyPlainRun(char *Position, char *EndMark, const uint8_t *&Cursor,
                          const uint8_t *FormatEnd) {
  if (kFastPaths) {
    const uint64_t FormatLeft = static_cast<uint64_t>(FormatEnd - Cursor);
    const uint64_t Room = static_cast<uint64_t>(EndMark - Position);
    const uint8_t *const RunLimit = Cursor + (FormatLeft < Room ? FormatLeft : Room);
    // Most runs are a few characters between directives: those go one at a time.
    for (int Single = 0; Single < 4; ++Single) {
      if (Cursor >= RunLimit || IsSpecial(*Cursor)) {
        return Position;
      }
      *Position++ = static_cast<char>(*Cursor++);
    }
    while (RunLimit - Cursor >= 8) {
      const uint64_t Word = LoadWord(Cursor);
      const uint64_t Specials = SpecialByteMask(Word);
      if (Specials != 0) {
        // The lowest mark is the first special character (little-endian words).
        for (int Plain = __builtin_ctzll(Specials) / 8; Plain > 0; --Plain) {
          *Position++ = static_cast<char>(*Cursor++);
        }
        return Position;
      }
      StoreWord(Position, Word);
      Cursor += 8;
      Position += 8;
    }
  }
  while (Position < EndMark && !IsSpecial(*Cursor)) {
    *Position++ = static_cast<char>(*Cursor++);
  }
  return Position;
}

// Length of String up to its NUL, at most Limit (above 0). Reads whole aligned words, the first
// one from before String (those bytes are taken as non-zero) and the last one possibly past
// Limit: an aligned word never straddles a page, so this is safe on any memory, but the address
// sanitizer would flag it.
__attribute__((no_sanitize("address"))) inline uint64_t StringLength(const char *String,
                                                                     uint64_t Limit) {
  const auto *const Words = static_cast<const char *>(__builtin_align_down(String, 8));
  const uint64_t Skew = static_cast<uint64_t>(String - Words);
  uint64_t Word = *reinterpret_cast<const AlignedWord *>(Words) | ((1ULL << (8 * Skew)) - 1);
  for (uint64_t Offset = 0;;) {
    const uint64_t Zeros = ZeroByteMask(Word);
    if (Zeros != 0) {
      const uint64_t Length = Offset + __builtin_ctzll(Zeros) / 8 - Skew;
      return Length < Limit ? Length : Limit;
    }
    Offset += 8;
    if (Offset - Skew >= Limit) {
      return Limit;
    }
    Word = *reinterpret_cast<const AlignedWord *>(Words + Offset);
  }
}

// A directive without flags, width or precision ('%a', and 'x', 'X', 'd', 'u' with any size
// letters), or with only a width led by '0' on a hexadecimal conversion ('%08llx').
struct PlainDirective {
  uint8_t Conversion;
  bool Long;
  uint64_t ZeroWidth;
  const uint8_t *Next;  // the format character after the directive
};

// Recognises a plain directive at Cursor (on its '%'); false for any other directive.
inline bool ParsePlainDirective(const uint8_t *Cursor, PlainDirective &Plain) {
  const uint8_t *Probe = Cursor + 1;
  const bool ZeroFilled = *Probe == '0';
  Plain.ZeroWidth = 0;
  for (; *Probe >= '0' && *Probe <= '9'; ++Probe) {
    Plain.ZeroWidth = Plain.ZeroWidth * 10 + (*Probe - '0');
  }
  const bool Widened = Probe != Cursor + 1;
  Plain.Long = false;
  while ((*Probe | 0x20) == 'l') {  // 'l' or 'L'
    Plain.Long = true;
    ++Probe;
  }
  Plain.Conversion = *Probe;
  Plain.Next = Probe + 1;
  const bool Hexadecimal = Plain.Conversion == 'x' || Plain.Conversion == 'X';
  if (Widened) {
    return ZeroFilled && Hexadecimal;
  }
  return Hexadecimal || Plain.Conversion == 'a' || Plain.Conversion == 'd' ||
         Plain.Conversion == 'u';
}

// Stores a plain directive's text for its argument slot Value: the same characters as the
// general path, cut by the end mark alone.
inline char *RenderPlainDirective(char *Position, char *EndMark, const PlainDirective &Plain,
                                  uint64_t Value, char *ValueBuffer) {
  uint64_t Room = static_cast<uint64_t>(EndMark - Position);
  if (Plain.Conversion == 'a') {
    const char *String =
        Value != 0 ? reinterpret_cast<const char *>(SlotPointer(Value)) : kNullString;
    return CopyForward(Position, Bytes(String), StringLength(String, Room));
  }
  if (Plain.Conversion == 'x' || Plain.Conversion == 'X') {
    if (!Plain.Long) {
      Value = static_cast<uint32_t>(Value);
    }
    // One digit per started nibble, at least one; only the leading ones when cut.
    uint64_t Digits = static_cast<uint64_t>(67 - __builtin_clzll(Value | 1)) / 4;
    if (Plain.ZeroWidth > Digits) {
      Position = FillOutput(Position, EndMark, static_cast<int64_t>(Plain.ZeroWidth - Digits), '0');
      Room = static_cast<uint64_t>(EndMark - Position);
    }
    if (Digits > Room) {
      if (Room == 0) {
        return Position;
      }
      Value >>= 4 * (Digits - Room);
      Digits = Room;
    }
    for (uint64_t Index = Digits; Index > 0; --Index) {
      Position[Index - 1] = kDigits[Value & 15];
      Value >>= 4;
    }
    return Position + Digits;
  }
  // 'd' or 'u'.
  if (!Plain.Long) {
    Value = Plain.Conversion == 'd' ? SignExtend32(Value) : static_cast<uint32_t>(Value);
  }
  if (Plain.Conversion == 'd' && static_cast<int64_t>(Value) < 0) {
    *Position++ = '-';
    --Room;
    Value = 0 - Value;
  }
  char *Digit = ValueBuffer;
  do {
    *++Digit = kDigits[Value % 10];
    Value /= 10;
  } while (Value != 0);
  uint64_t Digits = static_cast<uint64_t>(Digit - ValueBuffer);
  if (Digits > Room) {
    Digits = Room;
  }
  for (; Digits > 0; --Digits) {
    *Position++ = *Digit--;
  }
  return Position;
}

// Renders the text of a status without a name ('r'), a GUID ('g') or a time ('t') into the
// value buffer, through the engine itself. Kept out of line so that the engine's own frame,
// which nests once through here, carries neither these arguments nor their stack slots.
__attribute__((noinline)) void RenderValueText(char *ValueBuffer, uint8_t Conversion,
                                               uint64_t Value) {
  if (Conversion == 'r') {
    FormatValueText(ValueBuffer, kStatusFormat, Value);
    return;
  }
  const uint8_t *Item = SlotPointer(Value);
  if (Conversion == 't') {
    // Month, Day, Year (16 bits, little-endian), Hour, Minute.
    FormatValueText(ValueBuffer, kTimeFormat, uint64_t{Item[2]}, uint64_t{Item[3]},
                    Item[0] + Item[1] * 256ULL, uint64_t{Item[4]}, uint64_t{Item[5]});
    return;
  }
  // Data1 from two little-endian halves, Data2, Data3, then the eight Data4 bytes.
  const uint64_t Data1 = UnalignedRead16(Item) + UnalignedRead16(Item + 2) * 65536ULL;
  const uint64_t Data2 = UnalignedRead16(Item + 4);
  const uint64_t Data3 = UnalignedRead16(Item + 6);
  FormatValueText(ValueBuffer, kGuidFormat, Data1, Data2, Data3, uint64_t{Item[8]},
                  uint64_t{Item[9]}, uint64_t{Item[10]}, uint64_t{Item[11]}, uint64_t{Item[12]},
                  uint64_t{Item[13]}, uint64_t{Item[14]}, uint64_t{Item[15]});
}

}  // namespace

extern "C" {

// Whole aligned words are read while the limit leaves room for one. The bytes after the NUL in
// its word may be read: an aligned word never straddles a page, so this is safe on any memory,
// but the address sanitizer would flag it.
#if !VARNEL_FORMAT_FAST_PATHS
__attribute__((noinline))
#endif
__attribute__((no_sanitize("address"))) uint64_t
AsciiStrnLenS(const char *String, uint64_t Limit) {
  if (String == nullptr) {
    return 0;
  }
  uint64_t Length = 0;
  if (kFastPaths) {
    for (; Length < Limit && ((reinterpret_cast<uintptr_t>(String) + Length) & 7) != 0; ++Length) {
      if (String[Length] == '\0') {
        return Length;
      }
    }
    while (Limit - Length >= 8 &&
           ZeroByteMask(*reinterpret_cast<const AlignedWord *>(String + Length)) == 0) {
      Length += 8;
    }
  }
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
  const uint64_t FormatLength = AsciiStrnLenS(Format, config::kMaxAsciiStringLength + 1);
  if (FormatLength > config::kMaxAsciiStringLength) {
    if (Checks) {
      AssertReport(__FILE__, __LINE__,
                   "(AsciiStrnLenS (Format, MaxAsciiStringLength + 1) <= MaxAsciiStringLength)");
    }
    return 0;
  }
  if (BufferSize == 0) {
    return 0;
  }

  // Every argument is one 64-bit slot, taken strictly in order.
  const auto NextSlot = [&Arguments]() -> uint64_t { return va_arg(Arguments, uint64_t); };
  char ValueBuffer[kFormatValueBufferSize];
  char *Position = Buffer;
  char *const EndMark = Buffer + BufferSize - 1;
  const uint8_t *Cursor = Bytes(Format);
  const uint8_t *const FormatEnd = Cursor + FormatLength;

  while (Position < EndMark) {
    uint8_t Conversion = *Cursor;
    if (!IsSpecial(Conversion)) {
      if (kFastPaths) {
        Position = CopyPlainRun(Position, EndMark, Cursor, FormatEnd);
      } else {
        *Position++ = static_cast<char>(Conversion);  // a plain character lays out as itself
        ++Cursor;
      }
      continue;
    }
    if (Conversion == '\0') {
      break;
    }
    if (kFastPaths) {
      if (Conversion == '\n') {
        // "\r\n", taking a carriage return right after the line feed along.
        *Position++ = '\r';
        Position = FillOutput(Position, EndMark, 1, '\n');
        Cursor += Cursor[1] == '\r' ? 2 : 1;
        continue;
      }
      PlainDirective Plain;
      if (Conversion == '%' && ParsePlainDirective(Cursor, Plain)) {
        Position = RenderPlainDirective(Position, EndMark, Plain, NextSlot(), ValueBuffer);
        Cursor = Plain.Next;
        continue;
      }
    }

    // The directive state; a plain line end keeps the defaults.
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
          case '*':
          case '0':
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
            if (Conversion == '*') {
              Value = NextSlot();
            } else {
              if (Conversion == '0' && (Flags & kPrecisionGiven) == 0) {
                Flags |= kZeroFill;
              }
              // The whole digit run; the loop's pre-increment then steps past it.
              for (; Cursor[0] >= '0' && Cursor[0] <= '9'; ++Cursor) {
                Value = Value * 10 + (Cursor[0] - '0');
              }
              --Cursor;
            }
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
    // Cursor rests on the conversion character (or on the plain line-end character).

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
        uint64_t Value = NextSlot();
        if ((Flags & kLongArgument) == 0) {
          Value = SignExtend32(Value);
        }
        if ((Flags & kSignPrefix) != 0) {
          Prefix = '+';
        } else if ((Flags & kBlankPrefix) != 0) {
          Prefix = ' ';
        }
        uint64_t Radix = 16;
        if ((Flags & kHexadecimal) != 0) {
          Flags &= ~kCommaGrouping;
          if ((Flags & kLongArgument) == 0) {
            Value = static_cast<uint32_t>(Value);
          }
        } else {
          Radix = 10;
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
        }
        char *Digit = ValueBuffer;
        *Digit = '\0';
        do {
          *++Digit = kDigits[Value % Radix];
          Value /= Radix;
        } while (Value != 0);
        Count = static_cast<uint64_t>(Digit - ValueBuffer);
        if (Count == 1 && *Digit == '0' && Precision == 0) {
          Count = 0;
        }
        if ((Flags & kCommaGrouping) != 0) {
          Group = static_cast<uint32_t>((3 - Count % 3) % 3);
          if (Count > 0) {
            Count += (Count - 1) / 3;
          }
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
        Text = SlotPointer(NextSlot());
        if (Text == nullptr) {
          Text = Bytes(kNullString);
          Kind = kAscii;
        }
        break;
      case 'c': {
        const uint64_t Value = NextSlot();
        ValueBuffer[0] = static_cast<char>(Value);
        ValueBuffer[1] = static_cast<char>(Value >> 8);
        ValueBuffer[2] = '\0';
        ValueBuffer[3] = '\0';
        Kind = kWide;
        break;
      }
      case 'g':
      case 't':
      case 'r': {
        const uint64_t Value = NextSlot();
        if (Conversion == 'r') {
          const char *Name = print::StatusName(Value);
          if (Name != nullptr) {
            Text = Bytes(Name);
            break;
          }
        } else if (Value == 0) {
          Text = Bytes(Conversion == 'g' ? kNullGuid : kNullTime);
          break;
        }
        RenderValueText(ValueBuffer, Conversion, Value);
        break;
      }
      case '\r':
        if (Cursor[1] == '\n') {
          Text = Bytes(kLineEnd);
          ++Cursor;
          break;
        }
        // A lone carriage return is laid out as itself.
        [[fallthrough]];
      default:
        // '%' and every other character without a meaning of its own print themselves.
        ValueBuffer[0] = static_cast<char>(Conversion);
        ValueBuffer[1] = '\0';
        break;
    }
    ++Cursor;

    if (Kind != kReversed) {
      // Count up to the first zero character, and at most the precision when one was given.
      const uint64_t Limit = (Flags & kPrecisionGiven) != 0 ? Precision : ~0ULL;
      if (kFastPaths && Kind == kAscii) {
        Count = AsciiStrnLenS(reinterpret_cast<const char *>(Text), Limit);
      } else {
        const int WideHigh = Kind == kWide ? 1 : 0;
        for (const uint8_t *Probe = Text; Count < Limit && (Probe[0] | Probe[WideHigh]) != 0;
             Probe += Kind) {
          ++Count;
        }
      }
    }

    if (Precision < Count) {
      Precision = Count;
    }
    const uint32_t Justify = Flags & (kWidthGiven | kLeftJustify);
    if (Justify == kWidthGiven) {
      Position = FillOutput(Position, EndMark, static_cast<int64_t>(Width - Precision), ' ');
    }
    uint64_t Index = 0;
    if (Prefix != '\0') {
      Position = FillOutput(Position, EndMark, 1, Prefix);
      Index = 1;
    }
    Position =
        FillOutput(Position, EndMark, static_cast<int64_t>(Precision - Count), PrecisionFill);

    // Copy; a number's prefix was its first counted character.
    const bool Grouping = (Flags & kCommaGrouping) != 0;
    if (kFastPaths && !Grouping) {
      // The counted characters are known to be non-zero: copy as many as fit.
      uint64_t Remaining = Count - Index;
      const uint64_t Room = static_cast<uint64_t>(EndMark - Position);
      if (Remaining > Room) {
        Remaining = Room;
      }
      if (Kind == kAscii) {
        Position = CopyForward(Position, Text, Remaining);
      } else {
        for (; Remaining > 0; --Remaining) {
          *Position++ = static_cast<char>(*Text);
          Text += Kind;
        }
      }
    } else {
      const int WideHigh = Kind == kWide ? 1 : 0;
      while (Index < Count && Position < EndMark && (Text[0] | Text[WideHigh]) != 0) {
        *Position++ = static_cast<char>(*Text);
        Text += Kind;
        ++Index;
        if (Grouping && ++Group == 3) {
          Group = 0;
          if (++Index < Count) {
            Position = FillOutput(Position, EndMark, 1, ',');
          }
        }
      }
    }

    if (Justify == (kWidthGiven | kLeftJustify)) {
      Position = FillOutput(Position, EndMark, static_cast<int64_t>(Width - Precision), ' ');
    }
  }

  if (Checks && Buffer == nullptr) {
    AssertReport(__FILE__, __LINE__, "Buffer != ((void *) 0)");
  }
  FillOutput(Position, EndMark + 1, 1, '\0');
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
