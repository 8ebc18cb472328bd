// SPDX-License-Identifier: BSD-3-Clause
// Runs parsed commands against a target: builds the records, signs the authenticated ones, moves
// file data through the normal-world window in chunks, verifies, explains refusals from what the
// tool knows of the driver's state, and reports each command.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "models/SipHash.h"
#include "tools/varnel-sim/CommandLine.h"
#include "tools/varnel-sim/Files.h"
#include "tools/varnel-sim/Plan.h"
#include "tools/varnel-sim/Report.h"
#include "tools/varnel-sim/Target.h"

namespace varnelsim {

class Runner {
 public:
  using ConsoleSink = std::function<void(const std::string &)>;

  // FlashSize is the size of the part behind the window; Console receives the driver's console
  // bytes after every request.
  Runner(Target &Machine, const Options &Settings, uint64_t FlashSize, ConsoleSink Console);

  // Input is the checked input file of write, flash and verify, Output the opened -o file of read
  // (null for the others).
  CommandReport Run(const Command &Item, const InputFile *Input, AtomicOutput *Output);

 private:
  struct Moved {
    bool Ok;
    uint64_t Done;
  };
  using Mover = std::function<void(uint64_t Done, uint64_t Size)>;
  using Source = std::function<void(uint64_t Done, uint64_t Size, uint8_t *Into)>;

  // One request; fills the status fields of Report, counts the request, follows the driver's
  // state and explains a refusal.
  Answer Send(CommandReport &Report, const Command &Item, VARNELMM_RECORD_WORD_ARRAY &Words,
              uint64_t BufferSize = VARNELMM_RECORD_BYTES);
  // Reads or writes [Address, Address + Length) through the window, one request per window-full.
  // Before a write request Fill puts Size bytes for Done.. into the window; after a read Take
  // takes them. A failing request is recorded in Report.
  Moved Transfer(CommandReport &Report, const Command &Item, bool Write, bool Signed,
                 uint64_t Address, uint64_t Length, const Mover &Fill, const Mover &Take);
  // Reads [Address, Address + Length) and compares it with the bytes Expected gives; adds the
  // outcome to Report and clears Ok on a difference.
  void Compare(CommandReport &Report, const Command &Item, bool Signed, uint64_t Address,
               uint64_t Length, const Source &Expected);

  void Query(CommandReport &Report, const Command &Item, uint64_t Function);
  void Range(CommandReport &Report, const Command &Item, uint64_t Function, bool Signed);
  void Read(CommandReport &Report, const Command &Item, bool Signed, AtomicOutput *Output);
  void Write(CommandReport &Report, const Command &Item, bool Signed, const InputFile &Input);
  void Flash(CommandReport &Report, const Command &Item, const InputFile &Input);
  void Verify(CommandReport &Report, const Command &Item, const InputFile &Input);
  void Regions(CommandReport &Report) const;
  void Raw(CommandReport &Report, const Command &Item);

  uint64_t Sign(const Command &Item, const VARNELMM_RECORD_WORD_ARRAY &Words,
                uint64_t Length) const;
  std::string Hint(const Command &Item, const VARNELMM_RECORD_WORD_ARRAY &Words,
                   const Answer &Result) const;
  // Bytes of Input that need a bit set that the flash holds clear (counted where the target can
  // show the flash), as a warning.
  void WarnUnerased(CommandReport &Report, uint64_t Address, const InputFile &Input);

  // Saves a sector's old contents beside the image; returns the file's name ("" on failure).
  std::string SaveSector(uint64_t Address, const uint8_t *Bytes) const;
  // Throws Interrupted once SIGINT, SIGTERM or SIGHUP has asked the run to stop.
  void StopIfAsked(const CommandReport &Report) const;

  Target &Machine;
  const Options &Settings;
  uint64_t FlashSize;
  ConsoleSink Console;
  std::vector<uint8_t> Chunk;  // one window-full of data on its way

  // The driver's state as this invocation's successful requests have set it.
  DriverState State;
};

}  // namespace varnelsim
