// SPDX-License-Identifier: BSD-3-Clause
// Runs the scenarios of Scenarios.h on a world: the platform that hosts the driver and its models.
// Freestanding: the same runner is compiled into the host test and into the QEMU supervisor.
#pragma once

#include <stdint.h>

#include "models/MmCoreModel.h"
#include "models/SecureFirmwareModel.h"
#include "scenarios/Scenarios.h"

namespace scenarios {

enum class RequestShape : uint8_t { kNormal, kNullCommBuffer, kNullCommBufferSize, kMisaligned };

struct ConsoleRegisters {
  uint32_t Cr;
  uint32_t LcrH;
  uint32_t Ibrd;
  uint32_t Fbrd;
};

class ScenarioWorld {
 public:
  // A fresh world: blank flash of FlashSize bytes, new models, the driver loaded but not started,
  // and the console UART in its reset state.
  virtual void Reset(uint64_t FlashSize) = 0;
  virtual models::MmCoreModel &Core() = 0;
  virtual models::SecureFirmwareModel &Firmware() = 0;
  // The MM core calls the driver's entry point.
  virtual EFI_STATUS StartDriver() = 0;
  // One request: the first CommBufferSize bytes of Words go to the handler registered for
  // VarnelMmGuid; afterwards Words holds those bytes as the handler left them.
  virtual EFI_STATUS Request(VARNELMM_RECORD_WORD_ARRAY &Words, uint64_t CommBufferSize,
                             RequestShape Shape) = 0;
  // Normal-world memory: the base that kNw stands for, and access to it.
  virtual uint64_t NormalWorldBase() = 0;
  virtual uint8_t *NormalWorld(uint64_t Address, uint64_t Length) = 0;
  virtual uint64_t BreakpointCount() = 0;
  virtual ConsoleRegisters Console() = 0;
  // Brackets the console output of one step. ConsoleEnd gets the expected bytes (null: not
  // checked) and answers whether they match; a world that cannot see its console bytes checks
  // them elsewhere and answers true.
  virtual void ConsoleBegin(uint32_t Scenario, uint32_t Step) = 0;
  virtual bool ConsoleEnd(uint32_t Scenario, uint32_t Step, const char *Expected) = 0;
  // One line of the run's report (no line end).
  virtual void Report(const char *Line) = 0;

 protected:
  ~ScenarioWorld() = default;
};

struct RunTotals {
  uint32_t Scenarios = 0;
  uint32_t Steps = 0;
  uint32_t Failures = 0;
};

// Runs one scenario; Verbose reports every request and its answer in readable form.
void RunScenario(ScenarioWorld &World, uint32_t Index, const Scenario &Scenario, bool Verbose,
                 RunTotals *Totals);
// Runs every scenario and reports the totals; answers the number of failed checks.
uint32_t RunAllScenarios(ScenarioWorld &World);

// Compares console bytes with an expected text in which SCENARIO_ANY_NUMBER stands for one or
// more decimal digits.
bool ConsoleMatches(const char *Expected, const uint8_t *Actual, uint64_t Length);

// Readable names for reports.
const char *EfiStatusName(EFI_STATUS Status);

}  // namespace scenarios
