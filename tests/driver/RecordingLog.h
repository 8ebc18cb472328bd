// SPDX-License-Identifier: BSD-3-Clause
// Messages recorded by the test debug log (RecordingLog.cpp), rendered, with their levels.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace drivertest {

struct LoggedLine {
  uint64_t Level;
  std::string Text;

  bool operator==(const LoggedLine &) const = default;
};

std::vector<LoggedLine> &RecordedLines();

}  // namespace drivertest
