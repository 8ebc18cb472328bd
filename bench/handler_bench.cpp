// SPDX-License-Identifier: BSD-3-Clause
// Cost of the request handler per function, with everything around the driver reduced to a stub
// that answers at once: the secure firmware answers success (and a flash size, and translates
// addresses to themselves), the MM pool hands out one static buffer, the console is a UART that is
// always ready. What remains is the driver's own work: the frame, the log filter, the dispatch,
// the access-table walk, the staging of signed parts, the formatting of warning lines.
//
//   handler_bench [benchmark options]   Google Benchmark, one benchmark per path
//   handler_bench --instr PATH [COUNT]  runs PATH COUNT times (default 1000) and nothing else,
//                                       for scripts/bench-instr.sh under callgrind
//   handler_bench --list                the PATH names
#include <benchmark/benchmark.h>
#include <stdint.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "arch/host/HostSeam.h"
#include "config/VarnelMmConfig.h"
#include "driver/MmServices.h"
#include "driver/VarnelMmProtocol.h"
#include "models/NormalWorld.h"

// The stubs keep C names so that a profiler can single them out (see scripts/bench-instr.sh).
extern "C" {

void BenchStubSecureService(void *, ServiceArgumentBlock *Block) {
  const uint64_t Identifier = Block->Word[0];
  const uint64_t Sub = Block->Word[1];
  Block->Word[0] = 0;
  if (Identifier == varnel::kTranslateAddressId) {
    Block->Word[1] = Block->Word[2];
  } else if (Sub == varnel::kSubGetInfo) {
    Block->Word[2] = 0x0000010000001000ULL;
    Block->Word[3] = 64ULL << 20;
  }
}

uint32_t BenchStubRead32(void *, uint64_t) {
  return 0x90;
}  // PL011: transmit FIFO empty
void BenchStubWrite32(void *, uint64_t, uint32_t) {}
void BenchStubWrite8(void *, uint64_t, uint8_t) {}
void BenchStubBreakpoint(void *) {}

alignas(16) static uint8_t gBenchPool[64];

EFI_STATUS BenchStubAllocatePool(EFI_MEMORY_TYPE, uint64_t, void **Buffer) {
  *Buffer = gBenchPool;
  return EFI_SUCCESS;
}

EFI_STATUS BenchStubFreePool(void *) {
  return EFI_SUCCESS;
}

static EFI_MM_HANDLER_ENTRY_POINT gBenchHandler = nullptr;

EFI_STATUS BenchStubRegister(EFI_MM_HANDLER_ENTRY_POINT Handler, const EFI_GUID *,
                             EFI_HANDLE *DispatchHandle) {
  gBenchHandler = Handler;
  *DispatchHandle = reinterpret_cast<EFI_HANDLE>(&gBenchHandler);
  return EFI_SUCCESS;
}

}  // extern "C"

namespace {

constexpr uint64_t kWindow = VARNELMM_FLASH_WINDOW_BASE;
// Data buffers of the moving requests: the normal-world window (the stub translates 1:1).
constexpr uint64_t kBuffer = models::kNormalWorldWindowBase;

EFI_MM_SYSTEM_TABLE gTable;

// Starts the driver afresh: its flags cleared, its boot table fitted to 64 MiB.
void StartDriver() {
  const HostSeamHooks Hooks = {BenchStubSecureService, BenchStubBreakpoint, BenchStubRead32,
                               BenchStubWrite32,       BenchStubWrite8,     nullptr};
  HostSeamInstall(&Hooks);
  std::memset(&gTable, 0, sizeof(gTable));
  gTable.Hdr.Revision = config::kRequiredServicesRevision;
  gTable.MmAllocatePool = BenchStubAllocatePool;
  gTable.MmFreePool = BenchStubFreePool;
  gTable.MmiHandlerRegister = BenchStubRegister;
  if (VarnelMmEntryPoint(nullptr, &gTable) != EFI_SUCCESS || gBenchHandler == nullptr) {
    std::fprintf(stderr, "handler_bench: the driver did not start\n");
    std::exit(1);
  }
}

struct Path {
  const char *Name;
  VARNELMM_RECORD_WORD_ARRAY Words;
  bool SeedFirst;  // deploy a seed before measuring (the seed gate refuses plain functions)
};

// Offsets: +0x1000 lies in boot row 0 (writable); +0x180000 lies in no row (refused).
const Path kPaths[] = {
    {"GetInfo", {varnel::kFunctionGetInfo}, false},
    {"Read", {varnel::kFunctionRead, kWindow + 0x1000, 0x1000, kBuffer}, false},
    {"Write", {varnel::kFunctionWrite, kWindow + 0x1000, 0x1000, kBuffer}, false},
    {"WriteRefused", {varnel::kFunctionWrite, kWindow + 0x180000, 0x1000, kBuffer}, false},
    {"Erase", {varnel::kFunctionErase, kWindow + 0x1000, 0x1000}, false},
    {"GetNvInfo", {varnel::kFunctionGetNvInfo}, false},
    {"GetNv2Info", {varnel::kFunctionGetNv2Info}, false},
    {"GetFailSafeInfo", {varnel::kFunctionGetFailSafeInfo}, false},
    {"RunTimeLockDown", {varnel::kFunctionRunTimeLockDown}, false},
    {"SeedDeploy", {varnel::kFunctionSeedDeploy, 0x1234}, false},
    {"SecureRead",
     {varnel::kFunctionSecureRead, kWindow + 0x1000, 0x1000, kBuffer, 0, 0x5A5A},
     false},
    {"SecureWrite",
     {varnel::kFunctionSecureWrite, kWindow + 0x1000, 0x1000, kBuffer, 0, 0x5A5A},
     false},
    {"SecureWriteRefused",
     {varnel::kFunctionSecureWrite, kWindow + 0x180000, 0x1000, kBuffer, 0, 0x5A5A},
     false},
    {"SecureErase", {varnel::kFunctionSecureErase, kWindow + 0x1000, 0x1000, 0, 0x5A5A}, false},
    {"RegionLock", {varnel::kFunctionRegionLock, kWindow + 0x1000, 0x1000}, false},
    {"SecureRegionLock",
     {varnel::kFunctionSecureRegionLock, kWindow + 0x1000, 0x1000, 0, 0x5A5A},
     false},
    {"LockRegionLock", {varnel::kFunctionLockRegionLock}, false},
    {"ReadAfterSeed", {varnel::kFunctionRead, kWindow + 0x1000, 0x1000, kBuffer}, true},
    {"Unsupported", {varnel::kHighestFunction + 1}, false},
};

// One request as the MM core would make it: the record filled, then the handler called.
inline EFI_STATUS Send(const Path &Which, VARNELMM_RECORD_WORD_ARRAY &Record, uint64_t &Size) {
  std::memcpy(Record, Which.Words, sizeof(Record));
  Size = sizeof(Record);
  return gBenchHandler(nullptr, nullptr, Record, &Size);
}

void Prepare(const Path &Which) {
  StartDriver();
  if (Which.SeedFirst) {
    VARNELMM_RECORD_WORD_ARRAY Record = {varnel::kFunctionSeedDeploy, 0x1234};
    uint64_t Size = sizeof(Record);
    gBenchHandler(nullptr, nullptr, Record, &Size);
  }
}

void BM_Handler(benchmark::State &State, const Path *Which) {
  Prepare(*Which);
  VARNELMM_RECORD_WORD_ARRAY Record;
  uint64_t Size;
  for (auto _ : State) {
    benchmark::DoNotOptimize(Send(*Which, Record, Size));
    benchmark::ClobberMemory();
  }
  State.SetLabel(Record[0] == varnel::kStatusSuccess ? "success" : "answered");
}

const Path *FindPath(const char *Name) {
  for (const Path &Candidate : kPaths) {
    if (std::strcmp(Candidate.Name, Name) == 0) {
      return &Candidate;
    }
  }
  return nullptr;
}

int RunForProfiler(int Count, char **Values) {
  if (Count < 3) {
    std::fprintf(stderr, "usage: handler_bench --instr PATH [COUNT]\n");
    return 2;
  }
  const Path *Which = FindPath(Values[2]);
  if (Which == nullptr) {
    std::fprintf(stderr, "handler_bench: no path '%s' (see --list)\n", Values[2]);
    return 2;
  }
  const int Repeat = Count > 3 ? std::atoi(Values[3]) : 1000;
  Prepare(*Which);
  VARNELMM_RECORD_WORD_ARRAY Record;
  uint64_t Size;
  EFI_STATUS Status = EFI_SUCCESS;
  for (int Index = 0; Index < Repeat; ++Index) {
    Status = Send(*Which, Record, Size);
  }
  std::printf("%s status=0x%" PRIX64 " word0=0x%" PRIX64 "\n", Which->Name, Status, Record[0]);
  return 0;
}

}  // namespace

int main(int Count, char **Values) {
  if (Count >= 2 && std::strcmp(Values[1], "--instr") == 0) {
    return RunForProfiler(Count, Values);
  }
  if (Count >= 2 && std::strcmp(Values[1], "--list") == 0) {
    for (const Path &Which : kPaths) {
      std::printf("%s\n", Which.Name);
    }
    return 0;
  }
  for (const Path &Which : kPaths) {
    benchmark::RegisterBenchmark((std::string("Handler/") + Which.Name).c_str(), BM_Handler,
                                 &Which);
  }
  benchmark::Initialize(&Count, Values);
  if (benchmark::ReportUnrecognizedArguments(Count, Values)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
