// SPDX-License-Identifier: BSD-3-Clause
// Format engine: directive language, layout, line ends, truncation, status names, GUID and time
// texts, entry checks with their console reports, and bounds of every store.
#include <gtest/gtest.h>

#include <stdint.h>

#include <array>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "base/UefiTypes.h"
#include "driver/VarnelMmProtocol.h"
#include "print/Format.h"
#include "tests/support/RecordingSeam.h"

namespace {

constexpr uint64_t kError = 0x8000000000000000ULL;
constexpr uint8_t kUntouched = 0xA5;
constexpr uint64_t kGuard = 32;

using Slots = std::array<uint64_t, 4>;

template <typename T>
uint64_t Slot(T *Pointer) {
  return reinterpret_cast<uint64_t>(Pointer);
}

struct Rendered {
  std::string Text;    // the bytes before the NUL
  uint64_t Count = 0;  // what the engine returned
};

// Renders into a guarded buffer (guard bytes on both sides, every byte pre-set) and, for ASan,
// again into a heap block of exactly BufferSize bytes. Fails the test on any store outside the
// buffer, on a missing NUL, on a byte touched after the NUL, or when the two renders differ.
Rendered Render(uint64_t BufferSize, const char *Format, const Slots &Arguments = {}) {
  std::vector<uint8_t> Area(BufferSize + 2 * kGuard, kUntouched);
  char *Buffer = reinterpret_cast<char *>(Area.data() + kGuard);
  const uint64_t Count = FormatBuffer(Buffer, BufferSize, Format, Arguments[0], Arguments[1],
                                      Arguments[2], Arguments[3]);
  for (uint64_t Index = 0; Index < kGuard; ++Index) {
    EXPECT_EQ(Area[Index], kUntouched) << "store before the buffer, format " << Format;
    EXPECT_EQ(Area[kGuard + BufferSize + Index], kUntouched) << "store past the buffer " << Format;
  }
  Rendered Result{"", Count};
  if (BufferSize == 0) {
    EXPECT_EQ(Count, 0U);
    return Result;
  }
  EXPECT_LT(Count, BufferSize);
  if (Count >= BufferSize) {
    return Result;
  }
  Result.Text.assign(Buffer, Count);
  EXPECT_EQ(Buffer[Count], '\0') << Format;
  for (uint64_t Index = Count + 1; Index < BufferSize; ++Index) {
    EXPECT_EQ(static_cast<uint8_t>(Buffer[Index]), kUntouched) << "store after the NUL " << Format;
  }

  auto Exact = std::make_unique<char[]>(BufferSize);
  const uint64_t ExactCount = FormatBuffer(Exact.get(), BufferSize, Format, Arguments[0],
                                           Arguments[1], Arguments[2], Arguments[3]);
  EXPECT_EQ(ExactCount, Count);
  EXPECT_EQ(std::string(Exact.get(), ExactCount), Result.Text);
  return Result;
}

std::string Text(const char *Format, const Slots &Arguments = {}) {
  return Render(256, Format, Arguments).Text;
}

struct Case {
  const char *Format;
  Slots Arguments;
  const char *Expected;
};

void ExpectCases(const std::vector<Case> &Cases) {
  for (const Case &Each : Cases) {
    EXPECT_EQ(Text(Each.Format, Each.Arguments), Each.Expected)
        << "format \"" << Each.Format << "\"";
  }
}

const char16_t kWideAbc[] = u"ABC";
const char kAbc[] = "abc";
const char kAbcdef[] = "abcdef";

TEST(FormatText, PlainCharactersAndLineEnds_TranslateEveryLineFeedToCrLf) {
  ExpectCases({
      {"", {}, ""},
      {"plain text", {}, "plain text"},
      {"a run of plain text longer than two words",
       {},
       "a run of plain text longer than two words"},
      {"eight ch%%eight ch\n", {}, "eight ch%eight ch\r\n"},
      {"\n", {}, "\r\n"},
      {"\n\r", {}, "\r\n"},
      {"\r\n", {}, "\r\n"},
      {"\r", {}, "\r"},
      {"a\rb", {}, "a\rb"},
      {"\n\n", {}, "\r\n\r\n"},
      {"\r\r\n", {}, "\r\r\n"},
      {"%\n", {}, "\r\n"},
      {"%\n\r", {}, "\r\n"},
      {"%\r\n", {}, "\r\n"},
      {"%\r", {}, "\r"},
      {"%5\nX", {}, "   \r\nX"},
      {"%-4\nX", {}, "\r\n  X"},
  });
}

TEST(FormatText, MalformedDirectives_PrintThemselvesAndTakeNoArgument) {
  ExpectCases({
      {"%%", {}, "%"},
      {"%k%d", {7}, "k7"},
      {"%hx", {5}, "hx"},
      {"%#x", {5}, "#x"},
      {"%i%o%f%h", {1, 2, 3, 4}, "iofh"},
      {"%5%", {}, "    %"},
      {"%-3%|", {}, "%  |"},
      {"%.0%", {}, ""},
      {"ab%", {}, "ab"},
      {"ab%5", {}, "ab     "},
      {"ab%-5", {}, "ab     "},
      {"ab%.5", {}, "ab"},
      {"%l", {}, ""},
  });
}

TEST(FormatNumbers, HexadecimalIsUppercaseAndThirtyTwoBitUnlessLong) {
  ExpectCases({
      {"%x", {0xabc}, "ABC"},
      {"%08x", {0xabc}, "00000ABC"},
      {"%8x", {0xabc}, "     ABC"},
      {"%8X", {0xabc}, "00000ABC"},
      {"%-8x|", {0xabc}, "ABC     |"},
      {"%-8X|", {0xabc}, "ABC     |"},
      {"%.4x", {0xabc}, "0ABC"},
      {"%x", {~0ULL}, "FFFFFFFF"},
      {"%lx", {~0ULL}, "FFFFFFFFFFFFFFFF"},
      {"%llx", {0x123456789ABCDEFULL}, "123456789ABCDEF"},
      {"%Lx", {0x100000000ULL}, "100000000"},
      {"%x", {0x180000000ULL}, "80000000"},
      {"%+x", {5}, "+5"},
      {"% x", {5}, " 5"},
      {"%,x", {0x1234567}, "1234567"},
      {"%.0x", {0}, ""},
      {"%x", {0}, "0"},
      {"%08llx", {0x1000}, "00001000"},
      {"%p", {0x91A00000}, "91A00000"},
      {"%p", {0}, "0"},
      {"%p", {0xFFFF000012345678ULL}, "FFFF000012345678"},
      {"%+ 10p", {0xabc}, "0000000ABC"},
      {"%10p", {0xabc}, "0000000ABC"},
  });
}

TEST(FormatNumbers, DecimalSignsPrefixesWidthAndPrecision) {
  ExpectCases({
      {"%d", {0}, "0"},
      {"%d", {42}, "42"},
      {"%d", {0xFFFFFFFF}, "-1"},
      {"%u", {0xFFFFFFFF}, "4294967295"},
      {"%d", {0x100000005ULL}, "5"},
      {"%ld", {0x8000000000000000ULL}, "-9223372036854775808"},
      {"%lu", {~0ULL}, "18446744073709551615"},
      {"%lu", {0x8000000000000000ULL}, "9223372036854775808"},
      {"%05d", {static_cast<uint64_t>(-42)}, "-0042"},
      {"%5d", {static_cast<uint64_t>(-42)}, "  -42"},
      {"%-5d|", {static_cast<uint64_t>(-42)}, "-42  |"},
      {"%+d", {42}, "+42"},
      {"% d", {42}, " 42"},
      {"%+ d", {42}, "+42"},
      {"%+d", {static_cast<uint64_t>(-42)}, "-42"},
      {"%+u", {42}, "42"},
      {"% u", {42}, " 42"},
      {"%5.3d", {42}, "  042"},
      {"%+.3d", {5}, "+005"},
      {"%.10d", {static_cast<uint64_t>(-5)}, "-0000000005"},
      {"%010d", {static_cast<uint64_t>(-5)}, "-000000005"},
      {"%-010d|", {5}, "5         |"},
      {"%08.3d", {5}, "     005"},
      {"%.0d", {0}, ""},
      {"%+.0d", {0}, "+"},
      {"%5.0d|", {0}, "     |"},
      {"%.0d", {7}, "7"},
      {"%3d", {12345}, "12345"},
  });
}

TEST(FormatNumbers, StarArgumentsSetWidthOrPrecision) {
  ExpectCases({
      {"%*.*d", {8, 4, 42}, "    0042"},
      {"%*d", {static_cast<uint64_t>(-5), 42}, "42"},
      {"%-*d|", {static_cast<uint64_t>(-5), 42}, "42|"},
      {"%*d", {4, 42}, "  42"},
      {"%.*d", {3, 7}, "007"},
      {"%5*d", {2, 7}, " 7"},
      {"%*5d", {2, 7}, "    7"},
      {"%*a", {4, Slot(kAbc)}, " abc"},
      {"%.*a", {2, Slot(kAbc)}, "ab"},
  });
}

TEST(FormatNumbers, CommaGroupingForDecimalOnly) {
  ExpectCases({
      {"%,d", {1234567}, "1,234,567"},
      {"%,d", {static_cast<uint64_t>(-1234567)}, "-1,234,567"},
      {"%,d", {123}, "123"},
      {"%,d", {1234}, "1,234"},
      {"%,d", {123456}, "123,456"},
      {"%,d", {0}, "0"},
      {"%,10d", {1234567}, " 1,234,567"},
      {"%0,10d", {1234567}, " 1,234,567"},
      {"%,.0d", {0}, "0"},
      {"%+,d", {1234}, "+1,234"},
      {"%,lu", {~0ULL}, "18,446,744,073,709,551,615"},
      {"%,x", {0x1234567}, "1234567"},
  });
}

TEST(FormatStrings, AsciiAndUcs2WithPrecisionWidthAndNullSubstitutes) {
  const char16_t Wide[] = {0x41, 0x142, 0xFF43, 0};
  ExpectCases({
      {"%a", {Slot(kAbc)}, "abc"},
      {"%a", {Slot("")}, ""},
      {"%a|%a|%a",
       {Slot("12345678"), Slot("123456789"), Slot("1234567890abcdefg")},
       "12345678|123456789|1234567890abcdefg"},
      {"%la%La", {Slot("x"), Slot("y")}, "xy"},
      {"%.3a", {Slot(kAbcdef)}, "abc"},
      {"%.5a", {Slot(kAbc)}, "  abc"},
      {"%5a", {Slot(kAbc)}, "  abc"},
      {"%-5a|", {Slot(kAbc)}, "abc  |"},
      {"%.a", {Slot(kAbc)}, "a"},
      {"%05a", {Slot(kAbc)}, "  abc"},
      {"%2a", {Slot(kAbcdef)}, "abcdef"},
      {"%7.2a|", {Slot(kAbc)}, "     ab|"},
      {"%a", {0}, "<null string>"},
      {"%s", {0}, "<null string>"},
      {"%S", {0}, "<null string>"},
      {"%.3s", {0}, "<nu"},
      {"%15a", {0}, "  <null string>"},
      {"%g", {0}, "<null guid>"},
      {"%t", {0}, "<null time>"},
      {"%s", {Slot(kWideAbc)}, "ABC"},
      {"%S", {Slot(kWideAbc)}, "ABC"},
      {"%.2s", {Slot(kWideAbc)}, "AB"},
      {"%-4S|", {Slot(kWideAbc)}, "ABC |"},
      {"%s", {Slot(Wide)}, "ABC"},
      {"%c", {0x41}, "A"},
      {"%c", {0x141}, "A"},
      {"%3c", {0x41}, "  A"},
      {"%c", {0}, " "},
      {"%.0c|", {0x41}, "|"},
      {"%-3c|", {0x41}, "A  |"},
      {"%c%c", {0x10041, 0x42}, "AB"},
  });
}

TEST(FormatStrings, StringAtOddAddressIsReadAsBytes) {
  // UCS-2 text need not be aligned: its units are read byte by byte, low byte first.
  alignas(2) const uint8_t Bytes[] = {0xEE, 'H', 0, 'i', 0x01, 0, 0};
  EXPECT_EQ(Text("%s", {Slot(Bytes + 1)}), "Hi");
}

TEST(FormatStatus, EveryNamedRowAndUnnamedStatusesInHexadecimal) {
  const char *const kNames[] = {
      "Success",
      "Warning Unknown Glyph",
      "Warning Delete Failure",
      "Warning Write Failure",
      "Warning Buffer Too Small",
      "Warning Stale Data",
      "Load Error",
      "Invalid Parameter",
      "Unsupported",
      "Bad Buffer Size",
      "Buffer Too Small",
      "Not Ready",
      "Device Error",
      "Write Protected",
      "Out of Resources",
      "Volume Corrupt",
      "Volume Full",
      "No Media",
      "Media changed",
      "Not Found",
      "Access Denied",
      "No Response",
      "No mapping",
      "Time out",
      "Not started",
      "Already started",
      "Aborted",
      "ICMP Error",
      "TFTP Error",
      "Protocol Error",
      "Incompatible Version",
      "Security Violation",
      "CRC Error",
      "End of Media",
      "Reserved (29)",
      "Reserved (30)",
      "End of File",
      "Invalid Language",
      "Compromised Data",
  };
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == 39);
  for (uint64_t Row = 0; Row < 39; ++Row) {
    const uint64_t Status = Row <= 5 ? Row : kError + (Row - 5);
    EXPECT_EQ(Text("%r", {Status}), kNames[Row]) << "row " << Row;
  }
  ExpectCases({
      {"%r", {EFI_DEVICE_ERROR}, "Device Error"},
      {"%r", {EFI_ACCESS_DENIED}, "Access Denied"},
      {"%r", {EFI_INCOMPATIBLE_VERSION}, "Incompatible Version"},
      {"%r", {kError}, "00000000"},
      {"%r", {kError + 34}, "00000022"},
      {"%r", {6}, "00000006"},
      {"%r", {0x7FFFFFFFFFFFFFFFULL}, "FFFFFFFF"},
      {"%r", {kError + 0x1ABCD1234ULL}, "ABCD1234"},
      {"%15r", {EFI_DEVICE_ERROR}, "   Device Error"},
      {"%-15r|", {EFI_DEVICE_ERROR}, "Device Error   |"},
      {"%.3r", {EFI_DEVICE_ERROR}, "Dev"},
      {"%10r", {6}, "  00000006"},
      {"%.4r", {kError + 34}, "0000"},
      {"%lr", {7}, "00000007"},
  });
}

TEST(FormatGuid, PrintsUppercaseAtAnyAlignment) {
  const EFI_GUID Guid = varnel::kVarnelMmGuid;
  const char *Expected = "C8D76438-4D3C-4BEA-BF86-926B8307A239";
  EXPECT_EQ(Text("%g", {Slot(&Guid)}), Expected);

  // The same bytes at an odd address.
  const uint8_t Bytes[17] = {0,    0x38, 0x64, 0xD7, 0xC8, 0x3C, 0x4D, 0xEA, 0x4B,
                             0xBF, 0x86, 0x92, 0x6B, 0x83, 0x07, 0xA2, 0x39};
  EXPECT_EQ(Text("%g", {Slot(Bytes + 1)}), Expected);

  const EFI_GUID Small = {0x1, 0x2, 0x3, {0, 1, 2, 3, 4, 5, 6, 0xA}};
  EXPECT_EQ(Text("[%40g]", {Slot(&Small)}), "[    00000001-0002-0003-0001-02030405060A]");
  EXPECT_EQ(Text("%.8g", {Slot(&Small)}), "00000001");
}

TEST(FormatTime, PrintsDateAndTimeWithTwoBlanks) {
  EFI_TIME Time = {};
  Time.Year = 2026;
  Time.Month = 12;
  Time.Day = 7;
  Time.Hour = 9;
  Time.Minute = 5;
  Time.Second = 59;
  EXPECT_EQ(Text("%t", {Slot(&Time)}), "12/07/2026  09:05");
  EXPECT_EQ(Text("%-20t|", {Slot(&Time)}), "12/07/2026  09:05   |");

  EFI_TIME Wide = {};
  Wide.Year = 65535;
  Wide.Month = 255;
  Wide.Day = 255;
  Wide.Hour = 255;
  Wide.Minute = 255;
  EXPECT_EQ(Text("%t", {Slot(&Wide)}), "255/255/65535  255:255");
}

TEST(FormatMessages, DriverMessagesRenderExactly) {
  EXPECT_EQ(Text("%a Fail to Read Offset %llx Len %llx\n", {Slot("SpiNorRead"), 0x1000, 0x200}),
            "SpiNorRead Fail to Read Offset 1000 Len 200\r\n");
  EXPECT_EQ(Text("CommBuffer - 0x%p, CommBufferSize - 0x%x\n", {0x91A00000, 0x100000028ULL}),
            "CommBuffer - 0x91A00000, CommBufferSize - 0x28\r\n");
  EXPECT_EQ(Text("%a %08llx %08llx %llx\n", {Slot("SpiNorMmRead"), 0x91A00000, 0x1000, 0x80000000}),
            "SpiNorMmRead 91A00000 00001000 80000000\r\n");
  EXPECT_EQ(Text("\nASSERT_EFI_ERROR (Status = %r)\n", {EFI_OUT_OF_RESOURCES}),
            "\r\nASSERT_EFI_ERROR (Status = Out of Resources)\r\n");
  EXPECT_EQ(Text("ASSERT [%a] %a(%d): %a\n", {Slot("VarnelMm"), Slot("src/driver/VarnelMm.cpp"),
                                              123, Slot("!EFI_ERROR (Status)")}),
            "ASSERT [VarnelMm] src/driver/VarnelMm.cpp(123): !EFI_ERROR (Status)\r\n");
}

TEST(FormatBounds, SmallBuffersCutTheOutputAtTheEndMark) {
  struct SizedCase {
    uint64_t Size;
    const char *Format;
    Slots Arguments;
    const char *Expected;
  };
  const SizedCase Cases[] = {
      {1, "abc", {}, ""},
      {1, "%d", {5}, ""},
      {1, "", {}, ""},
      {2, "abc", {}, "a"},
      {4, "abcdef", {}, "abc"},
      {3, "a\nb", {}, "a\r"},
      {2, "\n", {}, "\r"},
      {3, "\n", {}, "\r\n"},
      {4, "%9d", {1234}, "   "},
      {4, "%d", {12345678}, "123"},
      {4, "%-2a|", {Slot("x")}, "x |"},
      {5, "%,d", {1234567}, "1,23"},
      {3, "%+d", {5}, "+5"},
      {4, "%.9d", {5}, "000"},
      {6, "%.*d", {~0ULL >> 1, 5}, "00000"},
      {6, "%*d", {~0ULL >> 1, 5}, "     "},
      {8, "%g", {0}, "<null g"},
      {3, "%r", {kError + 34}, "00"},
      {3, "%llx", {0x12345}, "12"},
      {3, "%020llx", {~0ULL}, "00"},
      {18, "%020llx", {~0ULL}, "0000FFFFFFFFFFFFF"},
      {22, "%020llx", {~0ULL}, "0000FFFFFFFFFFFFFFFF"},
      {4, "%08x", {0xAB}, "000"},
      {8, "%08x", {0xABC}, "00000AB"},
      {9, "%08x", {0xABC}, "00000ABC"},
      {3, "%d", {static_cast<uint64_t>(-12345)}, "-1"},
      {2, "%d", {static_cast<uint64_t>(-5)}, "-"},
      {4, "%u", {123456}, "123"},
      {5, "%a", {Slot("abcdefgh")}, "abcd"},
      {9, "%a", {Slot("abcdefghij")}, "abcdefgh"},
      {12, "%a|", {Slot("abcdefghijklmnop")}, "abcdefghijk"},
      {12, "x%a", {Slot("abcdefghij")}, "xabcdefghij"},
      {11, "Fail to Read Offset", {}, "Fail to Re"},
      {11, "Fail%%to Read", {}, "Fail%to Re"},
      {9, "%r", {kError + 34}, "00000022"},
  };
  for (const SizedCase &Each : Cases) {
    const Rendered Result = Render(Each.Size, Each.Format, Each.Arguments);
    EXPECT_EQ(Result.Text, Each.Expected) << "size " << Each.Size << " \"" << Each.Format << "\"";
    EXPECT_EQ(Result.Count, Result.Text.size());
  }
}

TEST(FormatBounds, StopsReadingFormatAndArgumentsOnceFull) {
  // Only the first character fits; the directive after it would dereference a bad pointer.
  EXPECT_EQ(Text("a"), "a");
  const uint64_t Unmapped = 0x10;
  EXPECT_EQ(Render(2, "a%a", {Unmapped}).Text, "a");
  EXPECT_EQ(Render(2, "a%s%g%t", {Unmapped, Unmapped, Unmapped}).Text, "a");
}

TEST(FormatBounds, ZeroSizeStoresNothingAndAcceptsNullPointers) {
  testsupport::RecordingSeam Seam;
  char Byte = 'z';
  EXPECT_EQ(FormatBuffer(&Byte, 0, "abc"), 0U);
  EXPECT_EQ(Byte, 'z');
  EXPECT_EQ(FormatBuffer(nullptr, 0, "abc"), 0U);
  EXPECT_EQ(FormatBuffer(nullptr, 0, nullptr), 0U);
  EXPECT_EQ(FormatBuffer(&Byte, 0, nullptr), 0U);
  EXPECT_EQ(Seam.ConsoleText(), "");
  EXPECT_EQ(Seam.Breakpoints(), 0U);
}

// A console report line from the engine's own source with the given condition text.
void ExpectEngineReport(const std::string &Console, const std::string &Condition) {
  const std::regex Line(R"(ASSERT \[VarnelMm\] src/print/Format\.cpp\(\d+\): )" +
                        std::regex_replace(Condition, std::regex(R"([()*.+\[\]])"), R"(\$&)") +
                        "\r\n");
  EXPECT_TRUE(std::regex_match(Console, Line)) << Console;
}

TEST(FormatEntryChecks, NullBufferOrFormatIsReportedAndStoresNothing) {
  {
    testsupport::RecordingSeam Seam;
    EXPECT_EQ(FormatBuffer(nullptr, 16, "abc"), 0U);
    ExpectEngineReport(Seam.ConsoleText(), "(Buffer != ((void *) 0))");
    EXPECT_EQ(Seam.Breakpoints(), 1U);
  }
  {
    testsupport::RecordingSeam Seam;
    EXPECT_EQ(FormatBuffer(nullptr, 16, nullptr), 0U);
    ExpectEngineReport(Seam.ConsoleText(), "(Buffer != ((void *) 0))");
    EXPECT_EQ(Seam.Breakpoints(), 1U);
  }
  {
    testsupport::RecordingSeam Seam;
    std::array<char, 8> Buffer;
    Buffer.fill('z');
    EXPECT_EQ(FormatBuffer(Buffer.data(), Buffer.size(), nullptr), 0U);
    ExpectEngineReport(Seam.ConsoleText(), "(Format != ((void *) 0))");
    EXPECT_EQ(Seam.Breakpoints(), 1U);
    EXPECT_EQ(std::string(Buffer.data(), Buffer.size()), "zzzzzzzz");
  }
}

TEST(FormatEntryChecks, FormatOfAMillionCharactersRendersOneMoreIsRefused) {
  std::string Format(1000000, 'x');
  {
    testsupport::RecordingSeam Seam;
    const Rendered Result = Render(16, Format.c_str());
    EXPECT_EQ(Result.Text, std::string(15, 'x'));
    EXPECT_EQ(Seam.ConsoleText(), "");
  }
  Format.push_back('y');
  const char *Condition =
      "(AsciiStrnLenS (Format, MaxAsciiStringLength + 1) <= MaxAsciiStringLength)";
  for (const uint64_t Size : {16ULL, 0ULL}) {
    testsupport::RecordingSeam Seam;
    std::array<char, 16> Buffer;
    Buffer.fill('z');
    EXPECT_EQ(FormatBuffer(Buffer.data(), Size, Format.c_str()), 0U);
    EXPECT_EQ(std::string(Buffer.data(), Buffer.size()), std::string(16, 'z'));
    ExpectEngineReport(Seam.ConsoleText(), Condition);
    EXPECT_EQ(Seam.Breakpoints(), 1U);
  }
}

TEST(FormatHelpers, FillOutputStopsAtItsLimit) {
  std::array<char, 6> Buffer;
  Buffer.fill('.');
  char *Limit = Buffer.data() + 4;
  EXPECT_EQ(FillOutput(Buffer.data(), Limit, 0, 'x'), Buffer.data());
  EXPECT_EQ(FillOutput(Buffer.data(), Limit, -3, 'x'), Buffer.data());
  EXPECT_EQ(FillOutput(Buffer.data(), Limit, 2, 'x'), Buffer.data() + 2);
  EXPECT_EQ(FillOutput(Buffer.data() + 2, Limit, 9, 'y'), Limit);
  EXPECT_EQ(FillOutput(Limit, Limit, 1, 'z'), Limit);
  EXPECT_EQ(std::string(Buffer.data(), Buffer.size()), "xxyy..");
}

TEST(FormatHelpers, AsciiStrnLenSIsBoundedByItsLimit) {
  EXPECT_EQ(AsciiStrnLenS(nullptr, 10), 0U);
  EXPECT_EQ(AsciiStrnLenS("abc", 0), 0U);
  EXPECT_EQ(AsciiStrnLenS("abc", 10), 3U);
  EXPECT_EQ(AsciiStrnLenS("abc", 3), 3U);
  EXPECT_EQ(AsciiStrnLenS("abc", 2), 2U);
  EXPECT_EQ(AsciiStrnLenS("", 5), 0U);
  // Never reads past the limit: these bytes have no NUL.
  const char Unterminated[4] = {'w', 'x', 'y', 'z'};
  EXPECT_EQ(AsciiStrnLenS(Unterminated, 4), 4U);
}

TEST(FormatHelpers, FormatValueTextFillsAtMostTheValueBuffer) {
  std::array<char, kFormatValueBufferSize + 8> Buffer;
  Buffer.fill('z');
  FormatValueText(Buffer.data(), "%a", Slot("0123456789012345678901234567890123456789"));
  EXPECT_EQ(std::string(Buffer.data()), "0123456789012345678901234567890123456");
  EXPECT_EQ(std::string(Buffer.data() + kFormatValueBufferSize, 8), "zzzzzzzz");
}

}  // namespace
