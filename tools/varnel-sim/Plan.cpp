// SPDX-License-Identifier: BSD-3-Clause
// The plan of a run: each request judged before anything is sent.
#include "tools/varnel-sim/Plan.h"

#include <algorithm>
#include <string>

#include "VarnelMm/Protocol.h"
#include "models/NorFlash.h"
#include "models/NormalWorld.h"
#include "models/SecureFirmwareModel.h"
#include "tools/varnel-sim/Report.h"

namespace varnelsim {
namespace {

constexpr uint64_t kBase = VARNELMM_FLASH_WINDOW_BASE;
constexpr uint64_t kMaxLocks = models::NorFlash::kMaxLockedRegions;
// Buffer of every transfer: the base of the normal-world window, on both targets.
constexpr uint64_t kTransferBuffer = models::kNormalWorldWindowBase;

struct AccessRow {
  uint32_t First;
  uint32_t Last;
  uint32_t Permission;
};
#define VARNELSIM_ACCESS_ROW(First, Last, Permission) {First, Last, Permission},
constexpr AccessRow kBootRows[] = {VARNELMM_BOOT_REGION_LIST(VARNELSIM_ACCESS_ROW)};
constexpr AccessRow kRunTimeRows[] = {VARNELMM_RUN_TIME_REGION_LIST(VARNELSIM_ACCESS_ROW)};
#undef VARNELSIM_ACCESS_ROW

bool Overlaps(uint64_t First, uint64_t Length, uint64_t OtherFirst, uint64_t OtherLength) {
  return Length != 0 && OtherLength != 0 && First < OtherFirst + OtherLength &&
         OtherFirst < First + Length;
}

std::string Span(uint64_t First, uint64_t Length) {
  return Hex(First) + "-" + Hex(First + Length - 1);
}

bool IsRanged(uint64_t Function) {
  return VarnelMmFunctionRangeAccess(Function) != VarnelMmRangeNone;
}

bool IsErase(uint64_t Function) {
  return VarnelMmFunctionRangeAccess(Function) == VarnelMmRangeErase;
}

bool IsLock(uint64_t Function) {
  return VarnelMmFunctionRangeAccess(Function) == VarnelMmRangeLock;
}

bool IsRead(uint64_t Function) {
  return VarnelMmFunctionRangeAccess(Function) == VarnelMmRangeRead;
}

models::SipHashKey KeyFromHex(const std::string &Hex) {
  uint8_t Bytes[16];
  for (size_t Index = 0; Index < 16; ++Index) {
    Bytes[Index] = static_cast<uint8_t>(std::stoul(Hex.substr(2 * Index, 2), nullptr, 16));
  }
  return models::SipHashKeyFromBytes(Bytes);
}

}  // namespace

models::SipHashKey FirmwareKey(const DriverState &State) {
  if (State.Seed) {
    // The simulator plays the device's owner: it knows the secret the key is derived from.
    return models::SecureFirmwareModel::DeriveSeedKey(models::kDefaultDeviceSecret, *State.Seed);
  }
  return models::SipHashKeyFromBytes(models::kDefaultProvisionedKeyBytes);
}

models::SipHashKey RunKey(const Options &Settings, const DriverState &State) {
  return Settings.KeyHex ? KeyFromHex(*Settings.KeyHex) : FirmwareKey(State);
}

std::optional<std::string> AdmittingRow(uint64_t Address, uint64_t Length, const DriverState &State,
                                        uint64_t FlashSize) {
  if (Address < kBase || Length > VARNELMM_LARGEST_JUDGED_LENGTH) {
    return std::nullopt;
  }
  const uint64_t Start = Address - kBase;
  const uint64_t End = Start + Length;
  const AccessRow *Rows = State.LockedDown ? kRunTimeRows : kBootRows;
  const size_t Count = State.LockedDown ? std::size(kRunTimeRows) : std::size(kBootRows);
  for (size_t Row = 0; Row < Count; ++Row) {
    uint64_t Last = Rows[Row].Last;
    if (!State.LockedDown && Rows[Row].First == VARNELMM_BOOT_PATCHED_ROW_FIRST && FlashSize != 0) {
      Last = static_cast<uint32_t>(FlashSize - 1);  // the driver's patch at its start
    }
    const uint64_t Limit = static_cast<uint32_t>(Last + 1);
    if (Rows[Row].First <= Start && Start <= Last && End <= Limit) {
      if ((Rows[Row].Permission & VARNELMM_PERMISSION_CHANGE) == 0) {
        return std::nullopt;
      }
      return std::string(State.LockedDown ? "run-time" : "boot") + " row " + std::to_string(Row) +
             ", " + Span(kBase + Rows[Row].First, Last + 1 - Rows[Row].First);
    }
  }
  return std::nullopt;
}

std::vector<AccessRegion> AccessRegions(const DriverState &State, uint64_t FlashSize) {
  const AccessRow *Rows = State.LockedDown ? kRunTimeRows : kBootRows;
  const size_t Count = State.LockedDown ? std::size(kRunTimeRows) : std::size(kBootRows);
  std::vector<AccessRegion> Result;
  for (size_t Row = 0; Row < Count; ++Row) {
    uint64_t Last = Rows[Row].Last;
    if (!State.LockedDown && Rows[Row].First == VARNELMM_BOOT_PATCHED_ROW_FIRST && FlashSize != 0) {
      Last = FlashSize - 1;  // the driver patches this row to the flash size at its start
    }
    Last = std::min(Last, FlashSize - 1);
    if (Last < Rows[Row].First) {
      continue;  // nothing of the row lies in the flash
    }
    Result.push_back(
        {Rows[Row].First, Last, (Rows[Row].Permission & VARNELMM_PERMISSION_CHANGE) != 0, Row});
  }
  std::sort(Result.begin(), Result.end(),
            [](const AccessRegion &A, const AccessRegion &B) { return A.First < B.First; });
  return Result;
}

std::string Refusal(const PlannedRequest &Request, const DriverState &State, uint64_t FlashSize,
                    const Options &Settings) {
  const uint64_t Function = Request.Function;
  const uint64_t Address = Request.Address;
  const uint64_t Length = Request.Length;
  if (Function > VarnelMmHighestFunction) {
    return "the driver serves function numbers 0 to " + std::to_string(VarnelMmHighestFunction) +
           " only";
  }
  if (VarnelMmFunctionSeedGated(Function) != 0 && State.Seed) {
    return "the seed is deployed: plain read, write, erase and lock are refused; use the "
           "secure-* commands";
  }
  if (Function == VarnelMmFunctionSeedDeploy && State.Seed) {
    return "a seed is deployed already; the secure firmware accepts one seed per power cycle";
  }
  if (const uint64_t Signed = VarnelMmFunctionSignedBytes(Function); Signed != 0) {
    const VARNELMM_RECORD_WORD_ARRAY Words = {Function, Address, Length, Request.Buffer};
    const uint64_t Expected = models::ComputeRequestMac(FirmwareKey(State), Words, Signed);
    if (Request.Auth && *Request.Auth != Expected) {
      return "the secure firmware did not accept the AuthInfo given with --auth";
    }
    if (!Request.Auth &&
        models::ComputeRequestMac(RunKey(Settings, State), Words, Signed) != Expected) {
      return std::string("the secure firmware uses ") +
             (State.Seed ? "the key of the deployed seed" : "its provisioned key") +
             ", not the --key given";
    }
  }
  if (!IsRanged(Function)) {
    return "";
  }
  if (Address < kBase) {
    return Hex(Address) + " lies below the flash window at " + Hex(kBase) + "; did you mean +" +
           Hex(Address) + "?";
  }
  if (Address - kBase > FlashSize || Length > FlashSize - (Address - kBase)) {
    return "the range leaves the flash window " + Span(kBase, FlashSize);
  }
  if (VarnelMmFunctionPermissionChecked(Function) != 0 &&
      !AdmittingRow(Address, Length, State, FlashSize)) {
    return std::string("the range is not inside one writable region of the ") +
           (State.LockedDown ? "run-time" : "boot") + " table (see 'varnel-sim regions')";
  }
  if (IsErase(Function) && (Address % kSectorBytes != 0 || Length % kSectorBytes != 0)) {
    return "erase works on whole " + std::to_string(kSectorBytes >> 10) +
           " KiB sectors: offset and length must be multiples of " + Hex(kSectorBytes);
  }
  if (IsLock(Function) && State.RegionLockLocked) {
    return "region locks were locked by lock-region-lock earlier in this run";
  }
  if (IsLock(Function) && State.Locks.size() >= kMaxLocks) {
    return "the flash's lock table is full (" + std::to_string(kMaxLocks) + " regions)";
  }
  if (!IsLock(Function) && !IsRead(Function)) {
    for (const auto &[First, Size] : State.Locks) {
      if (Overlaps(Address, Length, First, Size)) {
        return "the range overlaps " + Span(First, Size) + ", locked earlier in this run";
      }
    }
  }
  return "";
}

void Apply(uint64_t Function, uint64_t Word1, uint64_t Word2, DriverState &State) {
  switch (Function) {
    case VarnelMmFunctionRunTimeLockDown:
      State.LockedDown = true;
      break;
    case VarnelMmFunctionSeedDeploy:
      State.Seed = Word1;
      break;
    case VarnelMmFunctionRegionLock:
    case VarnelMmFunctionSecureRegionLock:
      if (Word2 != 0) {
        State.Locks.emplace_back(Word1, Word2);
      }
      break;
    case VarnelMmFunctionLockRegionLock:
      State.RegionLockLocked = true;
      break;
    default:
      break;
  }
}

uint64_t ReadFunction(const Command &Item, const DriverState &State) {
  const bool Signed = Item.Kind == CommandKind::kSecureRead ||
                      Item.Kind == CommandKind::kSecureWrite ||
                      ((Item.Kind == CommandKind::kFlash || Item.Kind == CommandKind::kVerify) &&
                       State.Seed.has_value());
  return Signed ? VarnelMmFunctionSecureRead : VarnelMmFunctionRead;
}

uint64_t WriteFunction(const Command &Item, const DriverState &State) {
  const bool Signed = Item.Kind == CommandKind::kSecureWrite ||
                      (Item.Kind == CommandKind::kFlash && State.Seed.has_value());
  return Signed ? VarnelMmFunctionSecureWrite : VarnelMmFunctionWrite;
}

uint64_t EraseFunction(const DriverState &State) {
  return State.Seed ? VarnelMmFunctionSecureErase : VarnelMmFunctionErase;
}

std::string PlanRefusal::Message() const {
  const char *Branch = VarnelMmFunctionName(Request.Function);
  return Origin + ": " + CommandName + ": request " + std::to_string(RequestIndex) + " (" +
         (Branch != nullptr ? Branch : "function " + std::to_string(Request.Function)) +
         (IsRanged(Request.Function)
              ? " Offset=" + Hex(Request.Address) + " Length=" + Hex(Request.Length)
              : std::string()) +
         ") would be refused: " + Reason + "; nothing was sent";
}

std::optional<PlanRefusal> CheckPlan(const Options &Settings,
                                     const std::vector<uint64_t> &InputSizes, uint64_t FlashSize) {
  DriverState State;
  std::optional<PlanRefusal> Refused;
  for (size_t Index = 0; Index < Settings.Commands.size() && !Refused; ++Index) {
    const Command &Item = Settings.Commands[Index];
    uint64_t Count = 0;
    // Judges one request and applies it; false stops the walk.
    const auto Step = [&](PlannedRequest Request) {
      ++Count;
      std::string Reason = Refusal(Request, State, FlashSize, Settings);
      if (!Reason.empty()) {
        Refused = PlanRefusal{Index, Count, Request, std::move(Reason), Item.Origin, Item.Name};
        return false;
      }
      Apply(Request.Function, Request.Address, Request.Length, State);
      return true;
    };
    // A transfer: one request per window-full (one request for an empty range).
    const auto Transfer = [&](uint64_t Function, uint64_t Address, uint64_t Length) {
      uint64_t Done = 0;
      do {
        const uint64_t Size = std::min(kWindowBytes, Length - Done);
        if (!Step({Function, Address + Done, Size, kTransferBuffer, Item.Auth})) {
          return false;
        }
        Done += Size;
      } while (Done < Length);
      return true;
    };
    const uint64_t Input = Index < InputSizes.size() ? InputSizes[Index] : 0;
    switch (Item.Kind) {
      case CommandKind::kRead:
      case CommandKind::kSecureRead:
        Transfer(ReadFunction(Item, State), Item.Offset, Item.Length);
        break;
      case CommandKind::kWrite:
      case CommandKind::kSecureWrite:
        if (Transfer(WriteFunction(Item, State), Item.Offset, Input) && Item.Verify) {
          Transfer(ReadFunction(Item, State), Item.Offset, Input);
        }
        break;
      case CommandKind::kVerify:
        Transfer(ReadFunction(Item, State), Item.Offset, Input);
        break;
      case CommandKind::kFlash: {
        // Whole sectors: read them all, then erase and program each one that differs. Which ones
        // differ is known only from the flash, so every sector must admit both.
        const uint64_t Start = Item.Offset / kSectorBytes * kSectorBytes;
        const uint64_t End =
            Item.Offset + Input > Item.Offset
                ? (Item.Offset + Input + kSectorBytes - 1) / kSectorBytes * kSectorBytes
                : Start + kSectorBytes;
        if (!Transfer(ReadFunction(Item, State), Start, End - Start)) {
          break;
        }
        for (uint64_t Sector = Start; Sector < End; Sector += kSectorBytes) {
          if (!Step({EraseFunction(State), Sector, kSectorBytes, 0, std::nullopt}) ||
              !Step({WriteFunction(Item, State), Sector, kSectorBytes, kTransferBuffer,
                     std::nullopt})) {
            break;
          }
        }
        break;
      }
      case CommandKind::kErase:
      case CommandKind::kSecureErase:
      case CommandKind::kLock:
      case CommandKind::kSecureLock:
        Step({CommandFunction(Item.Kind), Item.Offset, Item.Length, 0, Item.Auth});
        break;
      case CommandKind::kSeed:
        Step({CommandFunction(Item.Kind), Item.Value, 0, 0, std::nullopt});
        break;
      case CommandKind::kLockdown:
      case CommandKind::kLockRegionLock:
        Step({CommandFunction(Item.Kind), 0, 0, 0, std::nullopt});
        break;
      case CommandKind::kRaw: {
        // Sent as given: the plan judges the function, the gates and the range; AuthInfo is the
        // word the function takes it from.
        const uint64_t Signed = VarnelMmFunctionSignedBytes(Item.Words[0]);
        const std::optional<uint64_t> Auth =
            Signed == 0 ? std::nullopt : std::optional<uint64_t>(Item.Words[Signed / 8]);
        Step({Item.Words[0], Item.Words[1], Item.Words[2], Item.Words[3], Auth});
        break;
      }
      default:  // information queries and regions change nothing and are always answered
        break;
    }
  }
  return Refused;
}

}  // namespace varnelsim
