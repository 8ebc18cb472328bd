// SPDX-License-Identifier: BSD-3-Clause
// Text and JSON rendering of command reports.
#include "tools/varnel-sim/Report.h"

#include <cinttypes>
#include <cstring>

#include "driver/VarnelMmProtocol.h"
#include "tools/varnel-sim/Files.h"

namespace varnelsim {

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%" PRIX64, Value);
  return Text;
}

std::string HexDump(uint64_t Address, const std::vector<uint8_t> &Data) {
  std::string Text;
  char Line[96];
  bool Squeezing = false;
  for (size_t At = 0; At < Data.size(); At += 16) {
    const size_t Count = Data.size() - At < 16 ? Data.size() - At : 16;
    const bool Last = At + 16 >= Data.size();
    if (At != 0 && !Last && Count == 16 &&
        std::memcmp(Data.data() + At, Data.data() + At - 16, 16) == 0) {
      if (!Squeezing) {
        Text += "  *\n";
        Squeezing = true;
      }
      continue;
    }
    Squeezing = false;
    int Used = std::snprintf(Line, sizeof(Line), "  %08" PRIX64 " ", Address + At);
    for (size_t Column = 0; Column < 16; ++Column) {
      const char *Gap = Column == 8 ? "  " : " ";
      Used += Column < Count ? std::snprintf(Line + Used, sizeof(Line) - Used, "%s%02X", Gap,
                                             Data[At + Column])
                             : std::snprintf(Line + Used, sizeof(Line) - Used, "%s  ", Gap);
    }
    Text.append(Line, static_cast<size_t>(Used));
    Text += "  |";
    for (size_t Column = 0; Column < Count; ++Column) {
      const uint8_t Byte = Data[At + Column];
      Text += Byte >= 0x20 && Byte < 0x7F ? static_cast<char>(Byte) : '.';
    }
    Text += "|\n";
  }
  return Text;
}

const char *FunctionName(uint64_t FunctionId) {
  const char *Name = VarnelMmFunctionName(FunctionId);
  return Name != nullptr ? Name : "unsupported";
}

const char *StatusWordName(uint64_t StatusWord) {
  const char *Name = VarnelMmStatusWordName(StatusWord);
  return Name != nullptr ? Name : "unknown";
}

std::string EfiStatusName(EFI_STATUS Status) {
  const char *Name = VarnelMmEfiStatusName(Status);
  return Name != nullptr ? Name : "EFI status " + Hex(Status);
}

std::string TextReport(const CommandReport &Report) {
  std::string Text = Escape(Report.Command) + ":";
  char Line[160];
  if (!Report.Local) {
    Text += std::string(" ") + FunctionName(Report.FunctionId) + "(";
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
      std::snprintf(Line, sizeof(Line), ": %s (0x%08" PRIX64 "), %s\n",
                    StatusWordName(Report.StatusWord), Report.StatusWord,
                    EfiStatusName(Report.Status).c_str());
      Text += Line;
    } else {
      Text += ": no status word, " + EfiStatusName(Report.Status) + "\n";
    }
  } else {
    Text += "\n";
  }
  if (Report.ChunkFailed) {
    std::snprintf(Line, sizeof(Line),
                  "  stopped after 0x%" PRIX64 " of 0x%" PRIX64 " bytes: request %" PRIu64
                  " (Offset=0x%" PRIX64 ", Length=0x%" PRIX64 ") failed\n",
                  Report.Completed, Report.Total, Report.ChunkIndex, Report.ChunkOffset,
                  Report.ChunkLength);
    Text += Line;
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
    std::snprintf(Line, sizeof(Line), "  %-10s 0x%016" PRIX64 " (%" PRIu64 ")\n", Name.c_str(),
                  Value, Value);
    Text += Line;
  }
  for (const std::string &Note : Report.Notes) {
    Text += "  " + Escape(Note) + "\n";
  }
  if (Report.HasData) {
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
    Object["function"] = FunctionName(Report.FunctionId);
    Object["function_id"] = Hex(Report.FunctionId);
    Object["arguments"] = Values(Report.Arguments);
    Object["requests"] = Report.Requests;
    Object["status_word"] = Report.Answered ? Json(Hex(Report.StatusWord)) : Json();
    Object["status"] = Report.Answered ? Json(StatusWordName(Report.StatusWord)) : Json();
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
  if (Report.HasData) {
    static const char kDigits[] = "0123456789abcdef";
    std::string Data;
    Data.reserve(Report.Data.size() * 2);
    for (const uint8_t Byte : Report.Data) {
      Data += kDigits[Byte >> 4];
      Data += kDigits[Byte & 0xF];
    }
    Object["data"] = std::move(Data);
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
  return JsonLine(Object);
}

}  // namespace varnelsim
