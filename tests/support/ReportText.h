// SPDX-License-Identifier: BSD-3-Clause
// Helpers for matching assertion report lines whose line number the test does not pin.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// True when Text is exactly one report line from File with the given condition text.
inline bool IsReportLine(const std::string &Text, const std::string &File,
                         const std::string &Condition) {
  const std::string Head = "ASSERT [VarnelMm] " + File + "(";
  const std::string Tail = "): " + Condition + "\r\n";
  if (Text.size() <= Head.size() + Tail.size() || Text.compare(0, Head.size(), Head) != 0 ||
      Text.compare(Text.size() - Tail.size(), Tail.size(), Tail) != 0) {
    return false;
  }
  const std::string Line = Text.substr(Head.size(), Text.size() - Head.size() - Tail.size());
  return Line.find_first_not_of("0123456789") == std::string::npos;
}

// Splits console text into lines, each keeping its CR LF.
inline std::vector<std::string> SplitLines(const std::string &Text) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  while (Start < Text.size()) {
    size_t End = Text.find("\r\n", Start);
    End = End == std::string::npos ? Text.size() : End + 2;
    Lines.push_back(Text.substr(Start, End - Start));
    Start = End;
  }
  return Lines;
}

// Thrown from a breakpoint hook to leave a routine that would otherwise touch memory it must not.
struct BreakpointTaken {};

}  // namespace testsupport
