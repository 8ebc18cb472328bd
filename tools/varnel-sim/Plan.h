// SPDX-License-Identifier: BSD-3-Clause
// The plan of a run: before the first request, every command of the run becomes the requests it
// will send, each judged the way the driver and the secure firmware will judge it, in the state
// (access table in force, lock-down, seed, region locks) the plan itself reaches by then. What the
// driver knows about functions and access tables comes from the protocol header's lists, so the
// plan and the driver read the same facts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "models/NorFlash.h"
#include "models/NormalWorld.h"
#include "models/SipHash.h"
#include "tools/varnel-sim/CommandLine.h"

namespace varnelsim {

// Bytes the normal-world window carries per request, on both targets.
constexpr uint64_t kWindowBytes = models::kNormalWorldWindowBytes;
constexpr uint64_t kSectorBytes = models::NorFlash::kSectorSize;

// The driver's and the secure firmware's state as a run's requests set it.
struct DriverState {
  bool LockedDown = false;
  std::optional<uint64_t> Seed;
  bool RegionLockLocked = false;
  std::vector<std::pair<uint64_t, uint64_t>> Locks;  // window address, length
};

// The key the secure firmware checks MACs with in State; the key the run signs with.
models::SipHashKey FirmwareKey(const DriverState &State);
models::SipHashKey RunKey(const Options &Settings, const DriverState &State);

// One request of the plan.
struct PlannedRequest {
  uint64_t Function = 0;
  uint64_t Address = 0;
  uint64_t Length = 0;
  uint64_t Buffer = 0;
  std::optional<uint64_t> Auth;  // AuthInfo given by hand (--auth)
};

// The access-table row that admits a permission-checked range in State: its description
// ("boot row 2, 0x91B20000-0x91B2FFFF"), or nothing when no row admits the range.
std::optional<std::string> AdmittingRow(uint64_t Address, uint64_t Length, const DriverState &State,
                                        uint64_t FlashSize);

// The rows of the access table in force, in address order, clipped to the flash (offsets from the
// window base); Row is the row's place in the table, which is the order the driver tries them in.
struct AccessRegion {
  uint64_t First;
  uint64_t Last;
  bool Writable;
  size_t Row;
};
std::vector<AccessRegion> AccessRegions(const DriverState &State, uint64_t FlashSize);

// Why the driver or the secure firmware would refuse Request in State; empty when it is admitted.
// Settings supplies the run's key for authenticated requests.
std::string Refusal(const PlannedRequest &Request, const DriverState &State, uint64_t FlashSize,
                    const Options &Settings);

// What an admitted request changes in State.
void Apply(uint64_t Function, uint64_t Word1, uint64_t Word2, DriverState &State);

// The function a command's transfers use in State: after a seed, flash and verify move data with
// the authenticated functions.
uint64_t ReadFunction(const Command &Item, const DriverState &State);
uint64_t WriteFunction(const Command &Item, const DriverState &State);
uint64_t EraseFunction(const DriverState &State);

// A step of the plan that would be refused: which command, which request, and why.
struct PlanRefusal {
  size_t CommandIndex = 0;
  uint64_t RequestIndex = 0;  // from 1, within the command
  PlannedRequest Request;
  std::string Reason;
  std::string Message() const;
  std::string Origin;
  std::string CommandName;
};

// Walks the whole run. InputSizes[i] is the size of command i's input (write, flash, verify).
// Returns the first step the driver would refuse, or nothing when every step is admitted.
std::optional<PlanRefusal> CheckPlan(const Options &Settings,
                                     const std::vector<uint64_t> &InputSizes, uint64_t FlashSize);

}  // namespace varnelsim
