// Format engine against the C library's snprintf on the driver's own messages, in the same run.
// Each pair renders one message into a 256-byte buffer; the summary after the run prints the
// time ratio engine / snprintf per message (the target is 0.6 or less).
#include <benchmark/benchmark.h>
#include <stdint.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "print/Format.h"

namespace {

constexpr uint64_t kBufferSize = 256;

// Engine formats and their C library equivalents (%s for %a, explicit uppercase hexadecimal).
enum Message { kReadFail, kMmRead, kRegisters, kAssertLine, kMessageCount };
const char *const kMessageNames[kMessageCount] = {"ReadFail", "MmRead", "Registers", "AssertLine"};

uint64_t RenderEngine(char *Buffer, Message Which) {
  switch (Which) {
    case kReadFail:
      return FormatBuffer(Buffer, kBufferSize, "%a Fail to Read Offset %llx Len %llx\n",
                          "SpiNorRead", uint64_t{0x1000}, uint64_t{0x200});
    case kMmRead:
      return FormatBuffer(Buffer, kBufferSize, "%a %08llx %08llx %llx\n", "SpiNorMmRead",
                          uint64_t{0x91A00000}, uint64_t{0x1000}, uint64_t{0x80000000});
    case kRegisters:
      return FormatBuffer(Buffer, kBufferSize, "x0 %x x1 %x x2 %x x3 %x\n", uint64_t{0xC4000070},
                          uint64_t{0x91A01000}, uint64_t{0x200}, uint64_t{0x8});
    default:
      return FormatBuffer(Buffer, kBufferSize, "ASSERT [%a] %a(%d): %a\n", "VarnelMm",
                          "src/driver/VarnelMm.cpp", uint64_t{123}, "!EFI_ERROR (Status)");
  }
}

int RenderLibrary(char *Buffer, Message Which) {
  switch (Which) {
    case kReadFail:
      return snprintf(Buffer, kBufferSize, "%s Fail to Read Offset %llX Len %llX\n", "SpiNorRead",
                      0x1000ULL, 0x200ULL);
    case kMmRead:
      return snprintf(Buffer, kBufferSize, "%s %08llX %08llX %llX\n", "SpiNorMmRead", 0x91A00000ULL,
                      0x1000ULL, 0x80000000ULL);
    case kRegisters:
      return snprintf(Buffer, kBufferSize, "x0 %X x1 %X x2 %X x3 %X\n", 0xC4000070U, 0x91A01000U,
                      0x200U, 0x8U);
    default:
      return snprintf(Buffer, kBufferSize, "ASSERT [%s] %s(%d): %s\n", "VarnelMm",
                      "src/driver/VarnelMm.cpp", 123, "!EFI_ERROR (Status)");
  }
}

// Nanoseconds per render of each run, keyed "engine/<message>" or "snprintf/<message>".
std::map<std::string, double> gNanoseconds;

void BM_Engine(benchmark::State &State) {
  const auto Which = static_cast<Message>(State.range(0));
  char Buffer[kBufferSize];
  for (auto _ : State) {
    benchmark::DoNotOptimize(RenderEngine(Buffer, Which));
    benchmark::ClobberMemory();
  }
  State.SetLabel(kMessageNames[Which]);
}

void BM_Snprintf(benchmark::State &State) {
  const auto Which = static_cast<Message>(State.range(0));
  char Buffer[kBufferSize];
  for (auto _ : State) {
    benchmark::DoNotOptimize(RenderLibrary(Buffer, Which));
    benchmark::ClobberMemory();
  }
  State.SetLabel(kMessageNames[Which]);
}

// Registered in main, each message's pair side by side so both see the same machine state.

// Console reporter that also keeps each run's time per render, for the ratio summary.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &Runs) override {
    for (const Run &Each : Runs) {
      if (Each.run_type == Run::RT_Iteration && Each.iterations > 0) {
        const std::string Family =
            Each.run_name.function_name == "BM_Engine" ? "engine/" : "snprintf/";
        gNanoseconds[Family + Each.report_label] =
            Each.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(Each.time_unit);
      }
    }
    ConsoleReporter::ReportRuns(Runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  // On a shared machine one run per benchmark is easily hit by another process: unless told
  // otherwise, repeat each five times in shuffled order (the summary keeps the fastest).
  std::vector<char *> Arguments(argv, argv + argc);
  char Repetitions[] = "--benchmark_repetitions=5";
  char Interleaving[] = "--benchmark_enable_random_interleaving=true";
  bool RepetitionsGiven = false;
  for (int Index = 1; Index < argc; ++Index) {
    RepetitionsGiven |= std::string(argv[Index]).rfind("--benchmark_repetitions", 0) == 0;
  }
  if (!RepetitionsGiven) {
    Arguments.push_back(Repetitions);
    Arguments.push_back(Interleaving);
  }
  int Count = static_cast<int>(Arguments.size());
  Arguments.push_back(nullptr);
  benchmark::Initialize(&Count, Arguments.data());
  if (benchmark::ReportUnrecognizedArguments(Count, Arguments.data())) {
    return 1;
  }
  for (int Which = 0; Which < kMessageCount; ++Which) {
    benchmark::RegisterBenchmark("BM_Engine", BM_Engine)->Arg(Which);
    benchmark::RegisterBenchmark("BM_Snprintf", BM_Snprintf)->Arg(Which);
  }
  RatioReporter Reporter;
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  benchmark::Shutdown();

  printf("\nengine / snprintf (target <= 0.60)\n");
  for (const char *Name : kMessageNames) {
    const auto Engine = gNanoseconds.find(std::string("engine/") + Name);
    const auto Library = gNanoseconds.find(std::string("snprintf/") + Name);
    if (Engine == gNanoseconds.end() || Library == gNanoseconds.end() || Library->second <= 0) {
      continue;
    }
    printf("  %-10s engine %7.1f ns  snprintf %7.1f ns  ratio %.2f\n", Name, Engine->second,
           Library->second, Engine->second / Library->second);
  }
  return 0;
}
