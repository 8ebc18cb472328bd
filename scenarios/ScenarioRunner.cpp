// SPDX-License-Identifier: BSD-3-Clause
// The scenario runner: applies each step's setup, drives the world, and compares every
// expectation, reporting each mismatch as one line.
#include "scenarios/ScenarioRunner.h"

#include "VarnelMm/Protocol.h"
#include "models/SipHash.h"
#include "models/TextLine.h"

namespace scenarios {
namespace {

// A report line under construction.
class Text : public models::TextLine<Text, 768> {
 public:
  // The bytes as printable text: CR, LF and other control bytes escaped, at most 160 of them.
  Text &Escaped(const uint8_t *Bytes, uint64_t Length) {
    for (uint64_t Index = 0; Index < Length && Index < 160; ++Index) {
      const uint8_t Byte = Bytes[Index];
      if (Byte == '\r') {
        Str("\\r");
      } else if (Byte == '\n') {
        Str("\\n");
      } else if (Byte == 0x1A) {
        Str("<number>");
      } else if (Byte < 0x20 || Byte > 0x7E) {
        Str("\\x").Put(kDigits[Byte >> 4]).Put(kDigits[Byte & 0xF]);
      } else {
        Put(static_cast<char>(Byte));
      }
    }
    return *this;
  }
};

uint64_t Resolve(uint64_t Value, uint64_t NormalWorldBase) {
  if (Value >= kNw && Value - kNw < kNwSpan) {
    return NormalWorldBase + (Value - kNw);
  }
  return Value;
}

uint64_t Length(const char *Value) {
  uint64_t Count = 0;
  while (Value[Count] != '\0') {
    ++Count;
  }
  return Count;
}

struct StepContext {
  ScenarioWorld &World;
  uint32_t ScenarioIndex;
  const Scenario &TheScenario;
  uint32_t StepIndex;
  const Step &TheStep;
  RunTotals *Totals;
};

Text &FailurePrefix(Text &Line, const StepContext &Context) {
  return Line.Str("FAIL ")
      .Str(Context.TheScenario.Name)
      .Str(" step ")
      .Dec(Context.StepIndex + 1)
      .Str(" (")
      .Str(Context.TheStep.Title)
      .Str("): ");
}

void Expect(const StepContext &Context, bool Ok, const char *What, uint64_t Expected,
            uint64_t Actual) {
  if (Ok) {
    return;
  }
  ++Context.Totals->Failures;
  Text Line;
  FailurePrefix(Line, Context).Str(What).Str(" expected ").Hex(Expected).Str(" got ").Hex(Actual);
  Context.World.Report(Line.Get());
}

void ApplySetup(ScenarioWorld &World, const Setup &Item) {
  const uint64_t Base = World.NormalWorldBase();
  switch (Item.Kind) {
    case SetupKind::kNone:
      break;
    case SetupKind::kFault:
      World.Firmware().InjectFault(
          static_cast<uint32_t>(Item.A), Item.B,
          Item.C != 0 ? models::FaultMode::kAlways : models::FaultMode::kOnce);
      break;
    case SetupKind::kFailAllocations:
      World.Core().FailNextAllocations(static_cast<uint32_t>(Item.A));
      break;
    case SetupKind::kFreeAnswer:
      World.Core().SetFreeAnswer(Item.A, models::FreeFaultMode::kOnce, true);
      break;
    case SetupKind::kQueryAnswer:
      World.Firmware().SetQueryAnswer(Item.A, Item.B, Item.C, Item.D);
      break;
    case SetupKind::kInfoWord:
      World.Firmware().SetInfoWord(Item.A);
      break;
    case SetupKind::kReportedFlashSize:
      World.Firmware().SetReportedFlashSize(Item.A);
      break;
    case SetupKind::kRegisterAnswer:
      World.Core().SetRegisterAnswer(Item.A);
      break;
    case SetupKind::kRevision:
      World.Core().SetRevision(static_cast<uint32_t>(Item.A));
      break;
    case SetupKind::kRefuseAuthentication:
      World.Firmware().SetAuthenticationMode(models::AuthenticationMode::kRefuseAll);
      break;
    case SetupKind::kFillNormalWorld: {
      uint8_t *Bytes = World.NormalWorld(Resolve(Item.A, Base), Item.B);
      for (uint64_t Index = 0; Bytes != nullptr && Index < Item.B; ++Index) {
        Bytes[Index] = PatternByte(static_cast<uint8_t>(Item.C), Index);
      }
      break;
    }
    case SetupKind::kRewriteOnAllocation:
      World.Core().RewriteAtNextAllocation(static_cast<uint32_t>(Item.A), Item.B);
      break;
    case SetupKind::kFillFlash: {
      uint8_t *Bytes = World.Firmware().Flash().Data() + Item.A;
      for (uint64_t Index = 0; Index < Item.B; ++Index) {
        Bytes[Index] = PatternByte(static_cast<uint8_t>(Item.C), Index);
      }
      break;
    }
  }
}

void Sign(ScenarioWorld &World, Signing Mode, VARNELMM_RECORD_WORD_ARRAY &Words) {
  if (Mode == Signing::kNone) {
    return;
  }
  const uint64_t SignedBytes = VarnelMmFunctionSignedBytes(Words[0]);
  if (SignedBytes == 0) {
    return;  // the function takes no AuthInfo
  }
  uint64_t Mac = models::ComputeRequestMac(World.Firmware().CurrentKey(), Words, SignedBytes);
  if (Mode == Signing::kBadMac) {
    Mac ^= 1;
  }
  Words[SignedBytes / sizeof(uint64_t)] = Mac;
}

void CheckMemory(const StepContext &Context) {
  const MemoryCheck &Check = Context.TheStep.Check;
  ScenarioWorld &World = Context.World;
  switch (Check.Kind) {
    case MemoryCheckKind::kNone:
      return;
    case MemoryCheckKind::kConsoleProgrammed: {
      const ConsoleRegisters Registers = World.Console();
      Expect(Context, (Registers.Cr & 0x301) == 0x301, "UARTCR", 0x301, Registers.Cr);
      Expect(Context, Registers.LcrH == 0x70, "UARTLCR_H", 0x70, Registers.LcrH);
      Expect(Context, Registers.Ibrd == 1, "UARTIBRD", 1, Registers.Ibrd);
      Expect(Context, Registers.Fbrd == 0, "UARTFBRD", 0, Registers.Fbrd);
      return;
    }
    case MemoryCheckKind::kFlashRegionLocked:
      Expect(Context, World.Firmware().Flash().OverlapsLockedRegion(Check.Address, 1),
             "flash region locked at", Check.Address, 0);
      return;
    default:
      break;
  }
  const uint8_t *Bytes =
      Check.Kind == MemoryCheckKind::kNormalWorldPattern
          ? World.NormalWorld(Resolve(Check.Address, World.NormalWorldBase()), Check.Length)
          : World.Firmware().Flash().Data() + Check.Address;
  for (uint64_t Index = 0; Bytes != nullptr && Index < Check.Length; ++Index) {
    const uint8_t Want =
        Check.Kind == MemoryCheckKind::kFlashErased ? 0xFF : PatternByte(Check.Seed, Index);
    if (Bytes[Index] != Want) {
      Expect(Context, false, "memory byte", Want, Bytes[Index]);
      Expect(Context, false, "at index", 0, Index);
      return;
    }
  }
}

void ReportRequest(ScenarioWorld &World, uint32_t Number, const VARNELMM_RECORD_WORD_ARRAY &Sent,
                   const VARNELMM_RECORD_WORD_ARRAY &After, EFI_STATUS Status) {
  const uint64_t Function = Sent[0];
  Text Line;
  Line.Str("REQUEST ")
      .Dec(Number)
      .Str(" ")
      .Str(VarnelMmFunctionNameOr(Function, "unsupported function"))
      .Str("(");
  if (VarnelMmFunctionRangeAccess(Function) != VarnelMmRangeNone) {
    Line.Str("Offset=").Hex(Sent[varnel::kWordOffset]);
    Line.Str(", Length=").Hex(Sent[varnel::kWordLength]);
    if (VarnelMmFunctionMovesData(Function) != 0) {
      Line.Str(", Buffer=").Hex(Sent[varnel::kWordBuffer]);
    }
  } else if (Function == varnel::kFunctionSeedDeploy) {
    Line.Str("Seed=").Hex(Sent[1]);
  }
  if (const uint64_t SignedBytes = VarnelMmFunctionSignedBytes(Function); SignedBytes != 0) {
    Line.Str(", AuthInfo=").Hex(Sent[SignedBytes / sizeof(uint64_t)]);
  }
  Line.Str(") -> ");
  if (Function <= varnel::kHighestFunction) {
    Line.Str(VarnelMmStatusWordNameOr(After[0], "no status word"))
        .Str(" (")
        .Hex(After[0])
        .Str("), ");
  }
  Line.Str(EfiStatusName(Status));
  if (After[0] == varnel::kStatusSuccess) {
    if (Function == varnel::kFunctionGetInfo) {
      Line.Str("; flash size ")
          .Hex(After[varnel::kResultFlashSize])
          .Str(", info ")
          .Hex(After[varnel::kResultInfoLow])
          .Str("/")
          .Hex(After[varnel::kResultInfoHigh]);
    } else if (VarnelMmFunctionIsInfoQuery(Function) != 0) {
      Line.Str("; x1 ")
          .Hex(After[varnel::kResultQueryFirst])
          .Str(", x2 ")
          .Hex(After[varnel::kResultQuerySecond]);
    } else if (VarnelMmFunctionRangeAccess(Function) == VarnelMmRangeRead) {
      const uint8_t *Data = World.NormalWorld(Sent[varnel::kWordBuffer], 8);
      if (Data != nullptr && Sent[varnel::kWordLength] >= 8) {
        Line.Str("; data ");
        for (int Index = 0; Index < 8; ++Index) {
          Line.Put("0123456789ABCDEF"[Data[Index] >> 4])
              .Put("0123456789ABCDEF"[Data[Index] & 0xF])
              .Put(' ');
        }
        Line.Str("...");
      }
    }
  }
  World.Report(Line.Get());
}

}  // namespace

bool ConsoleMatches(const char *Expected, const uint8_t *Actual, uint64_t Length) {
  uint64_t At = 0;
  for (; *Expected != '\0'; ++Expected) {
    if (*Expected == SCENARIO_ANY_NUMBER[0]) {
      const uint64_t Start = At;
      while (At < Length && Actual[At] >= '0' && Actual[At] <= '9') {
        ++At;
      }
      if (At == Start) {
        return false;
      }
      continue;
    }
    if (At == Length || Actual[At] != static_cast<uint8_t>(*Expected)) {
      return false;
    }
    ++At;
  }
  return At == Length;
}

void RunScenario(ScenarioWorld &World, uint32_t Index, const Scenario &TheScenario, bool Verbose,
                 RunTotals *Totals) {
  World.Reset(TheScenario.FlashSize);
  ++Totals->Scenarios;
  uint32_t RequestNumber = 0;
  for (uint32_t StepIndex = 0; StepIndex < TheScenario.StepCount; ++StepIndex) {
    const Step &TheStep = TheScenario.Steps[StepIndex];
    const StepContext Context = {World, Index, TheScenario, StepIndex, TheStep, Totals};
    ++Totals->Steps;
    if (Verbose) {
      Text Line;
      Line.Str("STEP ").Dec(Index).Put('.').Dec(StepIndex).Put(' ').Str(TheStep.Title);
      World.Report(Line.Get());
    }
    for (const Setup &Item : TheStep.Before) {
      ApplySetup(World, Item);
    }
    const uint64_t Base = World.NormalWorldBase();
    VARNELMM_RECORD_WORD_ARRAY Sent;
    for (int Word = 0; Word < VARNELMM_RECORD_WORDS; ++Word) {
      Sent[Word] = Resolve(TheStep.Words[Word], Base);
    }
    Sign(World, TheStep.Sign, Sent);
    if (TheStep.SentFunction != kKeep) {
      Sent[0] = TheStep.SentFunction;
    }
    VARNELMM_RECORD_WORD_ARRAY After;
    for (int Word = 0; Word < VARNELMM_RECORD_WORDS; ++Word) {
      After[Word] = Sent[Word];
    }

    const uint64_t CallsBefore = World.Firmware().CallCount();
    const uint64_t BreakpointsBefore = World.BreakpointCount();
    World.ConsoleBegin(Index, StepIndex);
    EFI_STATUS Status;
    switch (TheStep.Kind) {
      case StepKind::kStart:
        Status = World.StartDriver();
        break;
      case StepKind::kNullCommBuffer:
        Status = World.Request(After, TheStep.CommBufferSize, RequestShape::kNullCommBuffer);
        break;
      case StepKind::kNullCommBufferSize:
        Status = World.Request(After, TheStep.CommBufferSize, RequestShape::kNullCommBufferSize);
        break;
      case StepKind::kMisalignedRequest:
        Status = World.Request(After, TheStep.CommBufferSize, RequestShape::kMisaligned);
        break;
      default:
        Status = World.Request(After, TheStep.CommBufferSize, RequestShape::kNormal);
        break;
    }
    if (!World.ConsoleEnd(Index, StepIndex, TheStep.Console)) {
      ++Totals->Failures;
      Text Line;
      FailurePrefix(Line, Context).Str("console bytes differ; expected \"");
      Line.Escaped(reinterpret_cast<const uint8_t *>(TheStep.Console), Length(TheStep.Console))
          .Str("\"");
      World.Report(Line.Get());
    }

    Expect(Context, Status == TheStep.Status, "UEFI status", TheStep.Status, Status);
    if (TheStep.Kind == StepKind::kRequest || TheStep.Kind == StepKind::kMisalignedRequest) {
      const uint64_t Word0 = TheStep.Answer == kKeep ? Sent[0] : TheStep.Answer;
      Expect(Context, After[0] == Word0, "word 0", Word0, After[0]);
      for (int Word = 1; Word < VARNELMM_RECORD_WORDS; ++Word) {
        const uint64_t Want = (TheStep.ResultMask & (1U << Word)) != 0
                                  ? Resolve(TheStep.Results[Word], Base)
                                  : Sent[Word];
        if (After[Word] != Want) {
          Text What;
          What.Str("word ").Dec(static_cast<uint64_t>(Word));
          Expect(Context, false, What.Get(), Want, After[Word]);
        }
      }
    }
    const uint64_t Calls = World.Firmware().CallCount() - CallsBefore;
    if (TheStep.Calls >= 0) {
      Expect(Context, Calls == static_cast<uint64_t>(TheStep.Calls), "secure calls",
             static_cast<uint64_t>(TheStep.Calls), Calls);
    }
    for (uint64_t Number = 0; Number < 2; ++Number) {
      const CallExpectation &Want = TheStep.Call[Number];
      if (Want.Mask == 0) {
        continue;
      }
      const models::FirmwareCall *Call = World.Firmware().FindCall(CallsBefore + Number);
      Expect(Context, Call != nullptr, "secure call made", Number + 1, 0);
      for (int Register = 0; Call != nullptr && Register < 5; ++Register) {
        const uint64_t Expected = Resolve(Want.X[Register], Base);
        if ((Want.Mask & (1U << Register)) != 0 && Call->In[Register] != Expected) {
          Text What;
          What.Str("secure call ").Dec(Number + 1).Str(" x").Dec(static_cast<uint64_t>(Register));
          Expect(Context, false, What.Get(), Expected, Call->In[Register]);
        }
      }
    }
    Expect(Context, World.BreakpointCount() - BreakpointsBefore == TheStep.Breakpoints,
           "breakpoint calls", TheStep.Breakpoints, World.BreakpointCount() - BreakpointsBefore);
    Expect(Context, World.Core().LiveAllocationCount() == 0, "pool buffers left allocated", 0,
           World.Core().LiveAllocationCount());
    CheckMemory(Context);

    if (Verbose && TheStep.Kind == StepKind::kRequest) {
      ReportRequest(World, ++RequestNumber, Sent, After, Status);
    } else if (Verbose && TheStep.Kind == StepKind::kStart) {
      Text Line;
      Line.Str("START entry point -> ").Str(EfiStatusName(Status));
      World.Report(Line.Get());
    }
  }
}

uint32_t RunAllScenarios(ScenarioWorld &World) {
  RunTotals Totals;
  for (uint32_t Index = 0; Index < kScenarioCount; ++Index) {
    RunScenario(World, Index, kScenarios[Index], false, &Totals);
  }
  Text Line;
  Line.Str(Totals.Failures == 0 ? "PASSED " : "FAILED ")
      .Dec(Totals.Scenarios)
      .Str(" scenarios, ")
      .Dec(Totals.Steps)
      .Str(" steps, ")
      .Dec(Totals.Failures)
      .Str(" failed checks");
  World.Report(Line.Get());
  return Totals.Failures;
}

const char *EfiStatusName(EFI_STATUS Status) {
  const char *Name = VarnelMmEfiStatusName(Status);
  if (Name != nullptr) {
    return Name;
  }
  return EfiError(Status) ? "an error status" : "a warning status";
}

}  // namespace scenarios
