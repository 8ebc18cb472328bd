// Text and JSON rendering of command reports.
#include "tools/varnel-sim/Report.h"

#include <cinttypes>

#include "driver/VarnelMmProtocol.h"

namespace varnelsim {
namespace {

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%" PRIX64, Value);
  return Text;
}

void HexDump(std::FILE *Out, uint64_t Address, const std::vector<uint8_t> &Data) {
  for (size_t Line = 0; Line < Data.size(); Line += 16) {
    std::fprintf(Out, "  %08" PRIX64 " ", Address + Line);
    for (size_t Column = 0; Column < 16; ++Column) {
      if (Column == 8) {
        std::fputc(' ', Out);
      }
      if (Line + Column < Data.size()) {
        std::fprintf(Out, " %02X", Data[Line + Column]);
      } else {
        std::fputs("   ", Out);
      }
    }
    std::fputs("  |", Out);
    for (size_t Column = 0; Column < 16 && Line + Column < Data.size(); ++Column) {
      const uint8_t Byte = Data[Line + Column];
      std::fputc(Byte >= 0x20 && Byte < 0x7F ? Byte : '.', Out);
    }
    std::fputs("|\n", Out);
  }
}

void JsonValues(std::FILE *Out, const NamedValues &Values) {
  std::fputc('{', Out);
  for (size_t Index = 0; Index < Values.size(); ++Index) {
    std::fprintf(Out, "%s%s:\"%s\"", Index == 0 ? "" : ",", JsonString(Values[Index].first).c_str(),
                 Hex(Values[Index].second).c_str());
  }
  std::fputc('}', Out);
}

}  // namespace

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

std::string JsonString(const std::string &Text) {
  std::string Quoted = "\"";
  for (const char Character : Text) {
    const auto Byte = static_cast<unsigned char>(Character);
    if (Character == '"' || Character == '\\') {
      Quoted += '\\';
      Quoted += Character;
    } else if (Byte < 0x20) {
      char Escape[8];
      std::snprintf(Escape, sizeof(Escape), "\\u%04X", Byte);
      Quoted += Escape;
    } else {
      Quoted += Character;
    }
  }
  return Quoted + "\"";
}

void PrintText(std::FILE *Out, const CommandReport &Report) {
  std::fprintf(Out, "%s: %s(", Report.Command.c_str(), FunctionName(Report.FunctionId));
  for (size_t Index = 0; Index < Report.Arguments.size(); ++Index) {
    std::fprintf(Out, "%s%s=%s", Index == 0 ? "" : ", ", Report.Arguments[Index].first.c_str(),
                 Hex(Report.Arguments[Index].second).c_str());
  }
  std::fputc(')', Out);
  if (Report.Requests > 1) {
    std::fprintf(Out, " in %" PRIu64 " requests", Report.Requests);
  }
  if (!Report.Error.empty() && Report.Requests == 0) {
    std::fprintf(Out, ": not sent: %s\n", Report.Error.c_str());
    return;
  }
  if (Report.Answered) {
    std::fprintf(Out, ": %s (0x%08" PRIX64 "), %s\n", StatusWordName(Report.StatusWord),
                 Report.StatusWord, EfiStatusName(Report.Status).c_str());
  } else {
    std::fprintf(Out, ": no status word, %s\n", EfiStatusName(Report.Status).c_str());
  }
  if (!Report.Error.empty()) {
    std::fprintf(Out, "  error: %s\n", Report.Error.c_str());
  }
  for (const auto &[Name, Value] : Report.Results) {
    std::fprintf(Out, "  %-10s 0x%016" PRIX64 " (%" PRIu64 ")\n", Name.c_str(), Value, Value);
  }
  if (Report.HasData) {
    HexDump(Out, Report.DataAddress, Report.Data);
  }
}

void PrintJson(std::FILE *Out, const CommandReport &Report) {
  std::fprintf(Out, "{\"command\":%s,\"origin\":%s,\"function\":%s,\"function_id\":\"%s\",",
               JsonString(Report.Command).c_str(), JsonString(Report.Origin).c_str(),
               JsonString(FunctionName(Report.FunctionId)).c_str(), Hex(Report.FunctionId).c_str());
  std::fputs("\"arguments\":", Out);
  JsonValues(Out, Report.Arguments);
  std::fprintf(Out, ",\"requests\":%" PRIu64 ",", Report.Requests);
  if (Report.Answered) {
    std::fprintf(Out, "\"status_word\":\"0x%08" PRIX64 "\",\"status\":%s,", Report.StatusWord,
                 JsonString(StatusWordName(Report.StatusWord)).c_str());
  } else {
    std::fputs("\"status_word\":null,\"status\":null,", Out);
  }
  if (Report.Requests > 0) {
    std::fprintf(Out, "\"efi_status\":\"%s\",\"efi_status_name\":%s,", Hex(Report.Status).c_str(),
                 JsonString(EfiStatusName(Report.Status)).c_str());
  } else {
    std::fputs("\"efi_status\":null,\"efi_status_name\":null,", Out);
  }
  std::fprintf(Out, "\"ok\":%s,\"results\":", Report.Ok ? "true" : "false");
  JsonValues(Out, Report.Results);
  if (Report.HasData) {
    std::fputs(",\"data\":\"", Out);
    for (const uint8_t Byte : Report.Data) {
      std::fprintf(Out, "%02x", Byte);
    }
    std::fputc('"', Out);
  }
  if (!Report.Error.empty()) {
    std::fprintf(Out, ",\"error\":%s", JsonString(Report.Error).c_str());
  }
  std::fputs("}\n", Out);
}

}  // namespace varnelsim
