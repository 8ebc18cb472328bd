// SPDX-License-Identifier: BSD-3-Clause
// libFuzzer target for the format engine.
//
// Every case renders into a heap buffer of exactly the size the engine is given (AddressSanitizer
// catches any store or load outside it) and checks: the count is below the size, the NUL sits at
// the count, and every byte behind the NUL still holds the guard pattern.
//
// Random cases draw formats from the whole directive language; every argument slot then holds a
// pointer to a small readable, zero-ended block (or null), so every conversion may consume it.
//
// Agreeing cases compare the output with the C library's snprintf on the directives where the two
// languages define the same text. They differ, and the generator therefore avoids:
//  - 'x' prints uppercase digits: it is compared with C's %X.
//  - 'X' zero-fills up to a given width by itself: used only with the '0' flag, with '-', with a
//    precision, or without a width.
//  - '+' and ' ' prefix hexadecimal numbers too, and ' ' survives 'u': used only with 'd'.
//  - 'l' (or 'll') makes every integer conversion 64-bit: compared with C's ll.
//  - '.' without digits leaves the precision at 1 (C: 0): digits always follow '.'.
//  - a '*' argument is an unsigned 64-bit number (C: int, negative widths left-justify, negative
//    precisions are ignored): only small non-negative values are passed.
//  - 'a' (C's %s) fills a precision larger than the string with leading blanks: the precision
//    never exceeds the string's length; the '0' flag is not used with strings or 'c'.
//  - line feeds come out as CR LF: a literal '\n' is expected as "\r\n".
//  - ',' grouping, 'p', 'g', 't', 'r', 's', 'S' and unknown conversions have no C counterpart.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "print/Format.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

constexpr unsigned kSlots = 32;
constexpr uint64_t kMaxBufferSize = 300;
constexpr uint8_t kGuard = 0xA5;

#define FUZZ_SLOTS(S)                                                                            \
  S[0], S[1], S[2], S[3], S[4], S[5], S[6], S[7], S[8], S[9], S[10], S[11], S[12], S[13], S[14], \
      S[15], S[16], S[17], S[18], S[19], S[20], S[21], S[22], S[23], S[24], S[25], S[26], S[27], \
      S[28], S[29], S[30], S[31]

[[noreturn]] void Fail(const char *What, const char *Format, uint64_t Size) {
  std::fprintf(stderr, "fuzz_format: %s (size %llu, format \"%s\")\n", What,
               static_cast<unsigned long long>(Size), Format ? Format : "(null)");
  std::abort();
}

// Renders Format into an exact-size heap buffer and checks the storage invariants. Returns the
// stored text.
std::string Render(uint64_t Size, bool NullBuffer, const char *Format,
                   const uint64_t (&Slots)[kSlots], uint64_t *CountOut = nullptr) {
  char *Buffer = NullBuffer ? nullptr : static_cast<char *>(std::malloc(Size));
  if (Buffer != nullptr) std::memset(Buffer, kGuard, Size);
  const uint64_t Count = FormatBuffer(Buffer, Size, Format, FUZZ_SLOTS(Slots));
  if (CountOut != nullptr) *CountOut = Count;
  std::string Text;
  if (Buffer == nullptr || Size == 0 || Format == nullptr) {
    if (Count != 0) Fail("refused or empty call returned a count", Format, Size);
    for (uint64_t I = 0; Buffer != nullptr && I < Size; ++I) {
      if (static_cast<uint8_t>(Buffer[I]) != kGuard) Fail("refused call stored", Format, Size);
    }
  } else {
    if (Count >= Size) Fail("count not below the buffer size", Format, Size);
    if (Buffer[Count] != '\0') Fail("no NUL at the count", Format, Size);
    for (uint64_t I = Count + 1; I < Size; ++I) {
      if (static_cast<uint8_t>(Buffer[I]) != kGuard) Fail("store behind the NUL", Format, Size);
    }
    Text.assign(Buffer, Count);
  }
  std::free(Buffer);
  return Text;
}

// ---- Random cases ---------------------------------------------------------------------------

constexpr char kAlphabet[] = "%%%%%-+ 0,lL.*123456789dduuxXpasScgtr\n\rk#hA";

void RandomCase(fuzz::FuzzInput &In, uint64_t Size) {
  // Readable blocks for pointer slots: up to 20 bytes of input then four zero bytes, so ASCII and
  // UCS-2 strings end inside the block at any start offset, and a GUID or time fits.
  std::vector<uint8_t *> Blocks;
  uint64_t Slots[kSlots];
  for (uint64_t &Slot : Slots) {
    const uint8_t Choice = In.Byte();
    if (Choice % 8 == 0) {
      Slot = 0;
      continue;
    }
    auto *Block = static_cast<uint8_t *>(std::malloc(25));
    for (int I = 0; I < 21; ++I) Block[I] = In.Byte();
    std::memset(Block + 21, 0, 4);
    Blocks.push_back(Block);
    Slot = reinterpret_cast<uintptr_t>(Block + (Choice & 1));
  }

  // The format: each '%' and '*' takes at most one slot, so their total is bounded by kSlots.
  const uint64_t Length = In.Below(160);
  std::string Format;
  unsigned SlotUse = 0;
  for (uint64_t I = 0; I < Length && !In.Empty(); ++I) {
    const uint8_t Choice = In.Byte();
    char Character = (Choice & 0x80) ? static_cast<char>(Choice & 0x7F)
                                     : kAlphabet[Choice % (sizeof(kAlphabet) - 1)];
    if (Character == '\0') Character = ' ';
    if (Character == '%' || Character == '*') {
      if (++SlotUse > kSlots) break;
    }
    Format.push_back(Character);
  }

  const uint8_t Special = In.Byte();
  const bool NullBuffer = Size > 0 && Special == 0xFE;
  const char *FormatText = (Size > 0 && Special == 0xFF) ? nullptr : Format.c_str();
  uint64_t Count = 0;
  Render(Size, NullBuffer, FormatText, Slots, &Count);
  if ((NullBuffer || FormatText == nullptr) && Count != 0) {
    Fail("null argument not refused", FormatText, Size);
  }
  for (uint8_t *Block : Blocks) std::free(Block);
}

// ---- Agreeing cases -------------------------------------------------------------------------

template <typename... Arguments>
std::string CText(const std::string &Format, Arguments... Values) {
  char Text[1024];
  const int Length = std::snprintf(Text, sizeof(Text), Format.c_str(), Values...);
  if (Length < 0 || static_cast<size_t>(Length) >= sizeof(Text)) {
    Fail("reference text too long", Format.c_str(), sizeof(Text));
  }
  return std::string(Text, static_cast<size_t>(Length));
}

// Renders one C directive with its optional '*' width and precision arguments.
template <typename T>
std::string CDirective(const std::string &Format, bool WidthStar, int Width, bool PrecisionStar,
                       int Precision, T Value) {
  if (WidthStar && PrecisionStar) return CText(Format, Width, Precision, Value);
  if (WidthStar) return CText(Format, Width, Value);
  if (PrecisionStar) return CText(Format, Precision, Value);
  return CText(Format, Value);
}

const uint64_t kInterestingValues[] = {0,
                                       1,
                                       9,
                                       10,
                                       0xABC,
                                       0x7FFFFFFF,
                                       0x80000000,
                                       0xFFFFFFFF,
                                       0x100000000,
                                       0x7FFFFFFFFFFFFFFF,
                                       0x8000000000000000,
                                       0xFFFFFFFFFFFFFFFF,
                                       0xFFFFFFFF80000000,
                                       12345678901234567890ULL};

void AgreeingCase(fuzz::FuzzInput &In, uint64_t Size) {
  std::string Format;
  std::string Expected;
  uint64_t Slots[kSlots] = {};
  unsigned Slot = 0;
  std::vector<char *> Strings;

  const uint64_t Pieces = 1 + In.Below(8);
  for (uint64_t Piece = 0; Piece < Pieces && Slot + 3 <= kSlots; ++Piece) {
    const uint8_t Kind = In.Byte() % 8;
    if (Kind == 0) {  // literal text
      const uint64_t Length = In.Below(6);
      for (uint64_t I = 0; I < Length; ++I) {
        const uint8_t Choice = In.Byte() % 97;
        if (Choice == 95) {
          Format += "\n";
          Expected += "\r\n";
        } else if (Choice == 96) {
          Format += "%%";
          Expected += "%";
        } else {
          const char Character = static_cast<char>(' ' + Choice);
          if (Character == '%') continue;
          Format.push_back(Character);
          Expected.push_back(Character);
        }
      }
      continue;
    }

    static const char kConversions[] = {'d', 'd', 'u', 'x', 'X', 'c', 'a'};
    const char Conversion = In.Pick(kConversions);
    const bool IsInteger = Conversion != 'c' && Conversion != 'a';
    const uint8_t FlagBits = In.Byte();
    bool Left = FlagBits & 1;
    const bool Plus = (FlagBits & 2) && Conversion == 'd';
    const bool Blank = (FlagBits & 4) && Conversion == 'd';
    bool Zero = (FlagBits & 8) && IsInteger;

    // Width and precision: 0 = none, 1 = digits, 2 = '*'.
    const uint8_t WidthMode = In.Byte() % 3;
    const int Width = static_cast<int>(In.Byte() % 41);
    const uint8_t PrecisionMode = Conversion == 'c' ? 0 : In.Byte() % 3;
    int Precision = static_cast<int>(In.Byte() % 41);
    const uint8_t LongMode = IsInteger ? In.Byte() % 3 : 0;  // none, 'l', 'll'
    uint64_t Value = (In.Byte() & 1) ? In.Pick(kInterestingValues) : In.U64();

    const char *String = nullptr;
    if (Conversion == 'a') {
      const uint64_t Length = In.Below(21);
      char *Text = static_cast<char *>(std::malloc(Length + 1));
      for (uint64_t I = 0; I < Length; ++I) Text[I] = static_cast<char>(' ' + In.Byte() % 95);
      Text[Length] = '\0';
      Strings.push_back(Text);
      String = Text;
      if (Precision > static_cast<int>(Length)) Precision = static_cast<int>(Length);
    }
    if (Conversion == 'c') Value = ' ' + Value % 95;
    // 'X' zero-fills by itself whenever a width applies without '-' or a precision.
    if (Conversion == 'X' && WidthMode != 0 && !Left && PrecisionMode == 0) Zero = true;

    std::string Flags;
    const uint8_t Order = In.Byte();
    if (Order & 1) {
      if (Zero) Flags += '0';
      if (Left) Flags += '-';
    } else {
      if (Left) Flags += '-';
      if (Zero) Flags += '0';
    }
    if (Plus) Flags += '+';
    if (Blank) Flags += ' ';

    std::string Engine = "%" + Flags;
    std::string C = "%" + Flags;
    if (WidthMode == 1) {
      // A width of 0 is no width in C but a given width in the engine; both print the same.
      Engine += std::to_string(Width == 0 ? 1 : Width);
      C += std::to_string(Width == 0 ? 1 : Width);
    } else if (WidthMode == 2) {
      Engine += "*";
      C += "*";
      Slots[Slot++] = static_cast<uint64_t>(Width);
    }
    if (PrecisionMode == 1) {
      Engine += "." + std::to_string(Precision);
      C += "." + std::to_string(Precision);
    } else if (PrecisionMode == 2) {
      Engine += ".*";
      C += ".*";
      Slots[Slot++] = static_cast<uint64_t>(Precision);
    }
    const bool Long = LongMode != 0;
    if (LongMode == 1) Engine += "l";
    if (LongMode == 2) Engine += "ll";
    if (Long) C += "ll";
    Engine.push_back(Conversion);
    C.push_back(Conversion == 'x' ? 'X' : Conversion == 'a' ? 's' : Conversion);

    const int WidthArgument = Width;
    const int PrecisionArgument = Precision;
    const bool WidthStar = WidthMode == 2;
    const bool PrecisionStar = PrecisionMode == 2;
    switch (Conversion) {
      case 'd':
        Expected += Long ? CDirective(C, WidthStar, WidthArgument, PrecisionStar, PrecisionArgument,
                                      static_cast<long long>(Value))
                         : CDirective(C, WidthStar, WidthArgument, PrecisionStar, PrecisionArgument,
                                      static_cast<int>(Value));
        Slots[Slot++] = Value;
        break;
      case 'u':
      case 'x':
      case 'X':
        Expected += Long ? CDirective(C, WidthStar, WidthArgument, PrecisionStar, PrecisionArgument,
                                      static_cast<unsigned long long>(Value))
                         : CDirective(C, WidthStar, WidthArgument, PrecisionStar, PrecisionArgument,
                                      static_cast<unsigned>(Value));
        Slots[Slot++] = Value;
        break;
      case 'c':
        Expected += CDirective(C, WidthStar, WidthArgument, false, 0, static_cast<int>(Value));
        Slots[Slot++] = Value;
        break;
      case 'a':
      default:
        Expected +=
            CDirective(C, WidthStar, WidthArgument, PrecisionStar, PrecisionArgument, String);
        Slots[Slot++] = reinterpret_cast<uintptr_t>(String);
        break;
    }
    Format += Engine;
  }

  const std::string Text = Render(Size, false, Format.c_str(), Slots);
  static const bool Verbose = std::getenv("FUZZ_FORMAT_VERBOSE") != nullptr;
  if (Verbose) {
    std::fprintf(stderr, "size %llu format \"%s\" -> \"%s\"\n",
                 static_cast<unsigned long long>(Size), Format.c_str(), Text.c_str());
  }
  if (Size > 0) {
    const std::string Want = Expected.substr(0, std::min<uint64_t>(Expected.size(), Size - 1));
    if (Text != Want) {
      std::fprintf(stderr, "engine: \"%s\"\nC:      \"%s\"\n", Text.c_str(), Want.c_str());
      Fail("output differs from snprintf", Format.c_str(), Size);
    }
  }
  for (char *String : Strings) std::free(String);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  fuzz::FuzzInput In(Data, Size);
  const uint8_t Mode = In.Byte();
  const uint64_t BufferSize = In.Below(kMaxBufferSize);
  if (Mode & 1) {
    RandomCase(In, BufferSize);
  } else {
    AgreeingCase(In, BufferSize);
  }
  return 0;
}
