// SPDX-License-Identifier: BSD-3-Clause
// What varnel-sim shows for each command: lines of text (results, warnings, hints, hex dumps) or
// one JSON object per line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "base/UefiTypes.h"

namespace varnelsim {

// Data read for stdout beyond one window-full: held in an unnamed file, not in memory.
class DataSpool {
 public:
  DataSpool();  // throws ToolError
  ~DataSpool();
  DataSpool(const DataSpool &) = delete;
  DataSpool &operator=(const DataSpool &) = delete;
  void Append(const uint8_t *Bytes, uint64_t Count);                 // throws ToolError
  void Read(uint64_t Offset, uint8_t *Bytes, uint64_t Count) const;  // throws ToolError
  uint64_t Size() const { return Length; }

 private:
  int Descriptor = -1;
  uint64_t Length = 0;
};

using NamedValues = std::vector<std::pair<std::string, uint64_t>>;
using Json = nlohmann::ordered_json;

struct CommandReport {
  std::string Command;  // command name as typed
  std::string Origin;   // where it came from
  bool Local = false;   // answered by the tool itself, no request (regions)
  uint64_t FunctionId = 0;
  NamedValues Arguments;  // Offset, Length, Buffer, AuthInfo, Seed, words, ...
  uint64_t Requests = 0;  // requests sent (a large transfer is several)
  bool Answered = false;  // the handler wrote a status word
  uint64_t StatusWord = 0;
  EFI_STATUS Status = 0;
  bool Ok = false;
  NamedValues Results;  // information values, the raw record after the call
  // A transfer: bytes to move and bytes moved; the failing request of a chunked one.
  bool Transfer = false;
  uint64_t Total = 0;
  uint64_t Completed = 0;
  bool ChunkFailed = false;
  uint64_t ChunkIndex = 0;  // from 1
  uint64_t ChunkOffset = 0;
  uint64_t ChunkLength = 0;
  bool HasData = false;  // a read shown on stdout
  std::vector<uint8_t> Data;
  std::shared_ptr<DataSpool> Spool;  // instead of Data, for a large read
  uint64_t DataAddress = 0;
  std::vector<std::string> Notes;     // text lines of command-specific results (flash, regions)
  Json Details = Json::object();      // the same for JSON
  std::vector<std::string> Warnings;  // things that worked but are probably not what was meant
  std::string Hint;                   // why a request was probably refused
  std::string Error;                  // a failure of the tool itself (file not writable, ...)
  bool ToolFailure = false;           // Error is an I/O failure: exit status 3
};

// "EFI_SUCCESS", "EFI_DEVICE_ERROR", ...; unknown values as "EFI status 0x...".
std::string EfiStatusName(EFI_STATUS Status);
std::string Hex(uint64_t Value);

std::string TextReport(const CommandReport &Report);
std::string JsonReport(const CommandReport &Report);
// A JSON object on one line (with its newline); invalid UTF-8 cannot reach it.
std::string JsonLine(const Json &Object);
// Writes the report of a command to Out, streaming data held in a spool.
void WriteReport(std::FILE *Out, const CommandReport &Report, bool Json);

// Hex dump of Total bytes at Address, fed in pieces (each a multiple of 16 bytes but the last).
class HexDumper {
 public:
  HexDumper(uint64_t Address, uint64_t Total) : Address(Address), Total(Total) {}
  std::string Feed(const uint8_t *Bytes, uint64_t Count);

 private:
  uint64_t Address;
  uint64_t Total;
  uint64_t Done = 0;
  uint8_t Previous[16] = {};
  bool Squeezing = false;
};

// Hex dump lines, 16 bytes each; runs of lines equal to the one before are shown as one "*".
std::string HexDump(uint64_t Address, const std::vector<uint8_t> &Data);

}  // namespace varnelsim
