// SPDX-License-Identifier: BSD-3-Clause
// Format engine against the C library's snprintf on the driver's own messages, in the same run.
// Each pair renders one message into a 256-byte buffer; the summary after the run measures the
// pairs once more in alternating batches and prints the time ratio engine / snprintf per message
// (the target is 0.6 or less).
#include <benchmark/benchmark.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>

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

// Registered in main, each message's pair side by side.

// The ratio summary: batches of renders, engine and snprintf taking turns, the fastest batch of
// each side kept. On a shared machine a slow spell then hits single batches of both sides instead
// of a whole run of one side.
struct PairedTimes {
  double EngineNanoseconds;
  double LibraryNanoseconds;
};

PairedTimes MeasurePaired(Message Which) {
  constexpr int kBatch = 1000;
  constexpr int kRounds = 300;
  char Buffer[kBufferSize];
  double Best[2] = {1e30, 1e30};
  for (int Round = 0; Round < kRounds; ++Round) {
    for (int Side = 0; Side < 2; ++Side) {
      const auto Start = std::chrono::steady_clock::now();
      for (int Index = 0; Index < kBatch; ++Index) {
        if (Side == 0) {
          benchmark::DoNotOptimize(RenderEngine(Buffer, Which));
        } else {
          benchmark::DoNotOptimize(RenderLibrary(Buffer, Which));
        }
        benchmark::ClobberMemory();
      }
      const std::chrono::duration<double, std::nano> Elapsed =
          std::chrono::steady_clock::now() - Start;
      Best[Side] = std::min(Best[Side], Elapsed.count() / kBatch);
    }
  }
  return {Best[0], Best[1]};
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  for (int Which = 0; Which < kMessageCount; ++Which) {
    benchmark::RegisterBenchmark("BM_Engine", BM_Engine)->Arg(Which);
    benchmark::RegisterBenchmark("BM_Snprintf", BM_Snprintf)->Arg(Which);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  printf("\nengine / snprintf, fastest of 300 alternating 1000-render batches (target <= 0.60)\n");
  for (int Which = 0; Which < kMessageCount; ++Which) {
    const PairedTimes Times = MeasurePaired(static_cast<Message>(Which));
    printf("  %-10s engine %6.1f ns  snprintf %6.1f ns  ratio %.2f\n", kMessageNames[Which],
           Times.EngineNanoseconds, Times.LibraryNanoseconds,
           Times.EngineNanoseconds / Times.LibraryNanoseconds);
  }
  return 0;
}
