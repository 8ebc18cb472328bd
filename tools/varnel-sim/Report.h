// What varnel-sim shows for each command: a line of text (plus results and hex dumps) or one JSON
// object per line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/UefiTypes.h"

namespace varnelsim {

using NamedValues = std::vector<std::pair<std::string, uint64_t>>;

struct CommandReport {
  std::string Command;  // command name as typed
  std::string Origin;   // where it came from
  uint64_t FunctionId = 0;
  NamedValues Arguments;  // Offset, Length, Buffer, AuthInfo, Seed, words, ...
  uint64_t Requests = 0;  // requests sent (a large transfer is several)
  bool Answered = false;  // the handler wrote a status word
  uint64_t StatusWord = 0;
  EFI_STATUS Status = 0;
  bool Ok = false;
  NamedValues Results;   // information values, the raw record after the call
  bool HasData = false;  // a read shown on stdout
  std::vector<uint8_t> Data;
  uint64_t DataAddress = 0;
  std::string Error;  // a failure of the tool itself (file not readable, ...)
};

// Branch name of a function number, or "unsupported" above 14.
const char *FunctionName(uint64_t FunctionId);
// "success", "no write permission", "authentication refused", "failure", or "unknown".
const char *StatusWordName(uint64_t StatusWord);
// "EFI_SUCCESS", "EFI_DEVICE_ERROR", ...; unknown values as "EFI status 0x...".
std::string EfiStatusName(EFI_STATUS Status);

void PrintText(std::FILE *Out, const CommandReport &Report);
void PrintJson(std::FILE *Out, const CommandReport &Report);
std::string JsonString(const std::string &Text);

}  // namespace varnelsim
