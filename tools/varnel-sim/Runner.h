// Runs parsed commands against the simulator: builds the records, signs the authenticated ones,
// moves file data through the normal-world window in chunks, and reports each command.
#pragma once

#include <cstdint>
#include <optional>

#include "tools/varnel-sim/CommandLine.h"
#include "tools/varnel-sim/Report.h"
#include "tools/varnel-sim/Simulator.h"

namespace varnelsim {

class Runner {
 public:
  Runner(Simulator &Machine, const Options &Settings);

  CommandReport Run(const Command &Item);

 private:
  // One request; fills the status fields of Report and counts the request.
  Answer Send(CommandReport &Report, uint64_t (&Words)[6], uint64_t BufferSize = 48);
  void Query(CommandReport &Report, uint64_t Function);
  void Range(CommandReport &Report, const Command &Item, uint64_t Function, bool Signed);
  void Read(CommandReport &Report, const Command &Item, bool Signed);
  void Write(CommandReport &Report, const Command &Item, bool Signed);
  void Raw(CommandReport &Report, const Command &Item);
  // AuthInfo for a signed part of Length bytes at the start of Words.
  uint64_t Sign(const Command &Item, const uint64_t (&Words)[6], uint64_t Length) const;

  Simulator &Machine;
  const Options &Settings;
  // Seed this invocation deployed successfully: the key the secure firmware now expects.
  std::optional<uint64_t> DeployedSeed;
};

}  // namespace varnelsim
