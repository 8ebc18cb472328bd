// SPDX-License-Identifier: BSD-3-Clause
// Text and JSON rendering of command reports.
#include "tools/varnel-sim/Report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <cinttypes>
#include <cstring>

#include "driver/VarnelMmProtocol.h"
#include "tools/varnel-sim/Files.h"

namespace varnelsim {

std::string Hex(uint64_t Value) {
  return Format("0x%" PRIX64, Value);
}

std::string HexDumper::Feed(const uint8_t *Bytes, uint64_t Count) {
  std::string Text;
  char Line[96];
  for (uint64_t At = 0; At < Count; At += 16, Done += 16) {
    const uint64_t Width = Count - At < 16 ? Count - At : 16;
    const bool Last = Done + 16 >= Total;
    if (Done != 0 && !Last && Width == 16 && std::memcmp(Bytes + At, Previous, 16) == 0) {
      if (!Squeezing) {
        Text += "  *\n";
        Squeezing = true;
      }
      continue;
    }
    Squeezing = false;
    std::memcpy(Previous, Bytes + At, Width);
    int Used = std::snprintf(Line, sizeof(Line), "  %08" PRIX64 " ", Address + Done);
    for (size_t Column = 0; Column < 16; ++Column) {
      const char *Gap = Column == 8 ? "  " : " ";
      Used += Column < Width ? std::snprintf(Line + Used, sizeof(Line) - Used, "%s%02X", Gap,
                                             Bytes[At + Column])
                             : std::snprintf(Line + Used, sizeof(Line) - Used, "%s  ", Gap);
    }
    Text.append(Line, static_cast<size_t>(Used));
    Text += "  |";
    for (size_t Column = 0; Column < Width; ++Column) {
      const uint8_t Byte = Bytes[At + Column];
      Text += Byte >= 0x20 && Byte < 0x7F ? static_cast<char>(Byte) : '.';
    }
    Text += "|\n";
  }
  return Text;
}

std::string HexDump(uint64_t Address, const std::vector<uint8_t> &Data) {
  HexDumper Dumper(Address, Data.size());
  return Dumper.Feed(Data.data(), Data.size());
}

DataSpool::DataSpool() {
  const char *Directory = std::getenv("TMPDIR");
  Descriptor = ::open(Directory != nullptr && *Directory != '\0' ? Directory : "/tmp",
                      O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (Descriptor < 0) {
    throw ToolError(std::string("cannot create an unnamed file to hold the data: ") +
                    std::strerror(errno));
  }
}

DataSpool::~DataSpool() {
  ::close(Descriptor);
}

void DataSpool::Append(const uint8_t *Bytes, uint64_t Count) {
  uint64_t Done = 0;
  while (Done < Count) {
    const ssize_t Wrote =
        ::pwrite(Descriptor, Bytes + Done, Count - Done, static_cast<off_t>(Length + Done));
    if (Wrote <= 0 && !(Wrote < 0 && errno == EINTR)) {
      throw ToolError(std::string("cannot hold the data: ") + std::strerror(errno));
    }
    Done += Wrote > 0 ? static_cast<uint64_t>(Wrote) : 0;
  }
  Length += Count;
}

void DataSpool::Read(uint64_t Offset, uint8_t *Bytes, uint64_t Count) const {
  uint64_t Done = 0;
  while (Done < Count) {
    const ssize_t Got =
        ::pread(Descriptor, Bytes + Done, Count - Done, static_cast<off_t>(Offset + Done));
    if (Got <= 0 && !(Got < 0 && errno == EINTR)) {
      throw ToolError(std::string("cannot read the held data: ") + std::strerror(errno));
    }
    Done += Got > 0 ? static_cast<uint64_t>(Got) : 0;
  }
}

void WriteReport(std::FILE *Out, const CommandReport &Report, bool Json) {
  const std::string Head = Json ? JsonReport(Report) : TextReport(Report);
  if (!Report.HasData || !Report.Spool) {
    Print(Out, Head);
    return;
  }
  // Data held in the spool streams out a block at a time, so memory stays flat for any size: a
  // hex dump after the text, the hex string in place of JSON's last, empty "data" value.
  static constexpr uint64_t kBlock = 1 << 16;
  std::vector<uint8_t> Block(kBlock);
  const uint64_t Total = Report.Spool->Size();
  HexDumper Dumper(Report.DataAddress, Total);
  Print(Out, Json ? Head.substr(0, Head.size() - 3) : Head);  // JSON: up to the opening quote
  std::string Text;
  for (uint64_t Done = 0; Done < Total && !OutputFailed(); Done += kBlock) {
    const uint64_t Count = Total - Done < kBlock ? Total - Done : kBlock;
    Report.Spool->Read(Done, Block.data(), Count);
    if (Json) {
      static const char kDigits[] = "0123456789abcdef";
      Text.clear();
      for (uint64_t Index = 0; Index < Count; ++Index) {
        Text += kDigits[Block[Index] >> 4];
        Text += kDigits[Block[Index] & 0xF];
      }
    } else {
      Text = Dumper.Feed(Block.data(), Count);
    }
    Print(Out, Text);
  }
  if (Json) {
    Print(Out, "\"}\n");
  }
}

std::string EfiStatusName(EFI_STATUS Status) {
  const char *Name = VarnelMmEfiStatusName(Status);
  return Name != nullptr ? Name : "EFI status " + Hex(Status);
}

std::string TextReport(const CommandReport &Report) {
  std::string Text = Escape(Report.Command) + ":";
  if (!Report.Local) {
    Text += std::string(" ") + VarnelMmFunctionNameOr(Report.FunctionId, "unsupported") + "(";
    for (size_t Index = 0; Index < Report.Arguments.size(); ++Index) {
      Text += (Index == 0 ? "" : ", ") + Report.Arguments[Index].first + "=" +
              Hex(Report.Arguments[Index].second);
    }
    Text += ")";
    if (Report.Requests > 1) {
      Text += " in " + std::to_string(Report.Requests) + " requests";
    }
    if (Report.Requests == 0) {
      Text += ": not sent: " + Escape(Report.Error) + "\n";
      return Text;
    }
    if (Report.Answered) {
      Text += Format(": %s (0x%08" PRIX64 "), %s\n",
                     VarnelMmStatusWordNameOr(Report.StatusWord, "unknown"), Report.StatusWord,
                     EfiStatusName(Report.Status).c_str());
    } else {
      Text += ": no status word, " + EfiStatusName(Report.Status) + "\n";
    }
  } else {
    Text += "\n";
  }
  if (Report.ChunkFailed) {
    Text += Format("  stopped after 0x%" PRIX64 " of 0x%" PRIX64 " bytes: request %" PRIu64
                   " (Offset=0x%" PRIX64 ", Length=0x%" PRIX64 ") failed\n",
                   Report.Completed, Report.Total, Report.ChunkIndex, Report.ChunkOffset,
                   Report.ChunkLength);
  }
  if (!Report.Hint.empty()) {
    Text += "  hint: " + Escape(Report.Hint) + "\n";
  }
  for (const std::string &Warning : Report.Warnings) {
    Text += "  warning: " + Escape(Warning) + "\n";
  }
  if (!Report.Error.empty()) {
    Text += "  error: " + Escape(Report.Error) + "\n";
  }
  for (const auto &[Name, Value] : Report.Results) {
    Text += Format("  %-10s 0x%016" PRIX64 " (%" PRIu64 ")\n", Name.c_str(), Value, Value);
  }
  for (const std::string &Note : Report.Notes) {
    Text += "  " + Escape(Note) + "\n";
  }
  if (Report.HasData && !Report.Spool) {
    Text += HexDump(Report.DataAddress, Report.Data);
  }
  return Text;
}

std::string JsonLine(const Json &Object) {
  return Object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string JsonReport(const CommandReport &Report) {
  const auto Values = [](const NamedValues &List) {
    Json Object = Json::object();
    for (const auto &[Name, Value] : List) {
      Object[Name] = Hex(Value);
    }
    return Object;
  };
  Json Object;
  Object["command"] = Escape(Report.Command);
  Object["origin"] = Escape(Report.Origin);
  if (!Report.Local) {
    Object["function"] = VarnelMmFunctionNameOr(Report.FunctionId, "unsupported");
    Object["function_id"] = Hex(Report.FunctionId);
    Object["arguments"] = Values(Report.Arguments);
    Object["requests"] = Report.Requests;
    Object["status_word"] = Report.Answered ? Json(Hex(Report.StatusWord)) : Json();
    Object["status"] =
        Report.Answered ? Json(VarnelMmStatusWordNameOr(Report.StatusWord, "unknown")) : Json();
    Object["efi_status"] = Report.Requests > 0 ? Json(Hex(Report.Status)) : Json();
    Object["efi_status_name"] = Report.Requests > 0 ? Json(EfiStatusName(Report.Status)) : Json();
  }
  Object["ok"] = Report.Ok;
  Object["results"] = Values(Report.Results);
  if (Report.Transfer) {
    Object["bytes"] = Hex(Report.Total);
    Object["completed"] = Hex(Report.Completed);
  }
  if (Report.ChunkFailed) {
    Object["failed_request"] = {{"index", Report.ChunkIndex},
                                {"offset", Hex(Report.ChunkOffset)},
                                {"length", Hex(Report.ChunkLength)}};
  }
  for (const auto &[Key, Value] : Report.Details.items()) {
    Object[Key] = Value;
  }
  if (!Report.Warnings.empty()) {
    Json Warnings = Json::array();
    for (const std::string &Warning : Report.Warnings) {
      Warnings.push_back(Escape(Warning));
    }
    Object["warnings"] = std::move(Warnings);
  }
  if (!Report.Hint.empty()) {
    Object["hint"] = Escape(Report.Hint);
  }
  if (!Report.Error.empty()) {
    Object["error"] = Escape(Report.Error);
  }
  // Last, so data held in a spool can stream in place of the empty string (see WriteReport).
  if (Report.HasData) {
    static const char kDigits[] = "0123456789abcdef";
    std::string Data;
    if (!Report.Spool) {
      Data.reserve(Report.Data.size() * 2);
      for (const uint8_t Byte : Report.Data) {
        Data += kDigits[Byte >> 4];
        Data += kDigits[Byte & 0xF];
      }
    }
    Object["data"] = std::move(Data);
  }
  return JsonLine(Object);
}

}  // namespace varnelsim
