// SPDX-License-Identifier: BSD-3-Clause
// The reference model: a direct reading of the driver's rules, written for clarity rather than
// speed, with its own tables, its own permission walk and its own message texts.
#include "tests/reference/ReferenceModel.h"

#include <cstdio>

namespace reference {
namespace {

constexpr uint8_t kX0X1 = 0x03;
constexpr uint8_t kX0ToX2 = 0x07;
constexpr uint8_t kX0ToX3 = 0x0F;
constexpr uint8_t kX0ToX4 = 0x1F;

struct FunctionInfo {
  const char *Branch;
  uint64_t NeededBytes;
};

// Branch names and the bytes each function touches: word 0 always, plus the words it reads.
const FunctionInfo kFunctions[15] = {
    {"SpiNorGetInfo", 40},         {"SpiNorRead", 32},
    {"SpiNorWrite", 32},           {"SpiNorErase", 24},
    {"SpiNorGetNVInfo", 24},       {"SpiNorGetNV2Info", 24},
    {"SpiNorGetFailSafeInfo", 24}, {"SpiNorRunTimeLockDown", 8},
    {"SpiNorSeedDeploy", 16},      {"SpiNorSecureRead", 48},
    {"SpiNorSecureWrite", 48},     {"SpiNorSecureErase", 40},
    {"SpiNorRegionLock", 24},      {"SpiNorSecureRegionLock", 40},
    {"SpiNorLockRegionLock", 8},
};

const char *const kStatusNames[39] = {
    "Success",
    "Warning Unknown Glyph",
    "Warning Delete Failure",
    "Warning Write Failure",
    "Warning Buffer Too Small",
    "Warning Stale Data",
    "Load Error",
    "Invalid Parameter",
    "Unsupported",
    "Bad Buffer Size",
    "Buffer Too Small",
    "Not Ready",
    "Device Error",
    "Write Protected",
    "Out of Resources",
    "Volume Corrupt",
    "Volume Full",
    "No Media",
    "Media changed",
    "Not Found",
    "Access Denied",
    "No Response",
    "No mapping",
    "Time out",
    "Not started",
    "Already started",
    "Aborted",
    "ICMP Error",
    "TFTP Error",
    "Protocol Error",
    "Incompatible Version",
    "Security Violation",
    "CRC Error",
    "End of Media",
    "Reserved (29)",
    "Reserved (30)",
    "End of File",
    "Invalid Language",
    "Compromised Data",
};

Line Message(const std::string &Text) {
  return Line{false, Text + "\r\n"};
}
Line Report(const std::string &Condition) {
  return Line{true, Condition};
}

std::string RangeText(const char *Branch, const char *Middle, uint64_t Offset, const char *Joint,
                      uint64_t Length) {
  return std::string(Branch) + Middle + Hex(Offset) + Joint + Hex(Length);
}

// Runs the call past the arranged secure world and records both sides.
Answer Ask(Prediction &P, const Firmware &F, const Call &C) {
  Answer A = F(P.Calls.size(), C);
  P.Calls.push_back(C);
  P.Answers.push_back(A);
  return A;
}

Call FlashCall(uint64_t Sub, uint8_t Compared, uint64_t X2 = 0, uint64_t X3 = 0, uint64_t X4 = 0) {
  return Call{{kFlashService, Sub, X2, X3, X4}, Compared, false, false};
}

enum class Operation { Read, Write, Erase, Lock };

struct OperationInfo {
  uint64_t PlainSub;
  uint64_t SecureSub;
  bool Checked;
  bool UsesBuffer;
  const char *FailText;
  const char *AuthText;
};

OperationInfo Describe(Operation Op) {
  switch (Op) {
    case Operation::Read:
      return {1, 9, false, true, " Fail to Read Offset ", " Fail to authenticate Read request"};
    case Operation::Write:
      return {2, 10, true, true, " Fail to Write Offset ", " Fail to authenticate write request"};
    case Operation::Erase:
      return {3, 11, true, false, " Fail to Erase Offset ", " Fail to authenticate erase request"};
    case Operation::Lock:
    default:
      return {12,
              13,
              true,
              false,
              " Fail to Lock region at Offset ",
              " Fail to authenticate region lock request"};
  }
}

void Answered(Prediction &P, uint64_t Word, uint64_t Status) {
  P.Words[0] = Word;
  P.Status = Status;
}

// The common tail of plain and authenticated flash operations: permission, then the operation.
void Perform(Prediction &P, const Firmware &F, Operation Op, const char *Branch, bool Secure,
             uint64_t Offset, uint64_t Length, uint64_t Buffer) {
  const OperationInfo Info = Describe(Op);
  if (Info.Checked) {
    // A length beyond 32 bits cannot be judged by the table walk; it is refused outright so the
    // range judged is always the range performed.
    const bool Allowed =
        Length <= 0xFFFFFFFFULL && WriteAllowed(P.After, Offset, static_cast<uint32_t>(Length));
    if (!Allowed) {
      P.Console.push_back(
          Message(RangeText(Branch, " No write permission Offset ", Offset, " - Len ", Length)));
      Answered(P, kWordNoPermission, kEfiSuccess);
      return;
    }
  }
  const uint64_t Sub = Secure ? Info.SecureSub : Info.PlainSub;
  const Call C = Info.UsesBuffer ? FlashCall(Sub, kX0ToX4, Offset, Length, Buffer)
                                 : FlashCall(Sub, kX0ToX3, Offset, Length);
  const Answer A = Ask(P, F, C);
  if (Negative(A.Out[0])) {
    P.Console.push_back(Message(RangeText(Branch, Info.FailText, Offset, " Len ", Length)));
    Answered(P, kWordFailure, kEfiDeviceError);
    return;
  }
  Answered(P, kWordSuccess, kEfiSuccess);
}

void FreeStaging(Prediction &P, uint64_t FreeStatus) {
  P.Frees = true;
  if (Negative(FreeStatus)) {
    P.Console.push_back(
        Line{false, "\r\nASSERT_EFI_ERROR (Status = " + StatusName(FreeStatus) + ")\r\n"});
    P.Console.push_back(Report("!EFI_ERROR (Status)"));
  }
}

void Authenticated(Prediction &P, const Request &R, const Pool &Pl, const Firmware &F, Operation Op,
                   const char *Branch, uint64_t SignedBytes) {
  const OperationInfo Info = Describe(Op);
  const uint64_t Offset = R.Words[1];
  const uint64_t Length = R.Words[2];
  const uint64_t Buffer = R.Words[3];
  const uint64_t AuthInfo = R.Words[SignedBytes / 8];

  P.Allocates = true;
  P.AllocationSize = SignedBytes;
  if (!Pl.AllocateOk) {
    Answered(P, kWordFailure, kEfiOutOfResources);
    return;
  }
  Call Translate{{kTranslateService, 0, 0, 0, 0}, kX0X1, true, false};
  const Answer T = Ask(P, F, Translate);
  const uint64_t Translated = Negative(T.Out[0]) ? 0 : T.Out[1];

  Call Authenticate = FlashCall(7, kX0ToX4, Translated, SignedBytes, AuthInfo);
  Authenticate.TranslatedInX2 = true;
  // The staged bytes are the request as the handler took it, and the operation uses the same
  // words: a rewrite of the record reaches neither.
  const Answer A = Ask(P, F, Authenticate);
  if (Negative(A.Out[0])) {
    P.Console.push_back(Message(std::string(Branch) + Info.AuthText));
    Answered(P, kWordAuthRefused, kEfiDeviceError);
    FreeStaging(P, Pl.FreeStatus);
    return;
  }
  FreeStaging(P, Pl.FreeStatus);
  Perform(P, F, Op, Branch, true, Offset, Length, Buffer);
}

}  // namespace

bool Negative(uint64_t Value) {
  return (Value >> 63) != 0;
}

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "%llX", static_cast<unsigned long long>(Value));
  return Text;
}

std::string StatusName(uint64_t Status) {
  const uint64_t N = Status & ~kErrorBit;
  if (!Negative(Status) && Status <= 5) return kStatusNames[Status];
  if (Negative(Status) && N >= 1 && N <= 33) return kStatusNames[N + 5];
  char Text[16];
  std::snprintf(Text, sizeof(Text), "%08X", static_cast<unsigned>(Status & 0xFFFFFFFFu));
  return Text;
}

State BuiltState() {
  return State{{{0x0, 0x11FFFF, 3},
                {0x1700000, 0x3FFFFFF, 3},
                {0x120000, 0x12FFFF, 3},
                {0x130000, 0x17FFFF, 3},
                {0x2F0000, 0x3EFFFF, 3},
                {0, 0, 0}},
               {{0x0, 0xFFFFF, 3}, {0x2F0000, 0x3EFFFF, 3}, {0, 0, 0}},
               false,
               false};
}

void PatchBootTable(State &S, bool InfoOk, uint64_t FlashSize) {
  if (!InfoOk || FlashSize == 0) return;
  for (Row &Entry : S.Boot) {
    if (Entry.First == Entry.Last || Entry.Permission == 0) return;
    if (Entry.First == 0x1700000) {
      Entry.Last = static_cast<uint32_t>(FlashSize) - 1u;
      return;
    }
  }
}

bool WriteAllowed(const State &S, uint64_t Offset, uint32_t Length) {
  const uint64_t Start = Offset - kWindowBase;
  const uint64_t End = Start + Length;
  const Row *Table = S.RunTimeLocked ? S.RunTime : S.Boot;
  const size_t Rows = S.RunTimeLocked ? 3 : 6;
  for (size_t I = 0; I < Rows; ++I) {
    const Row &Entry = Table[I];
    if (Entry.First == Entry.Last || Entry.Permission == 0) return false;
    const uint64_t Limit = static_cast<uint32_t>(Entry.Last + 1u);
    if (Entry.First <= Start && Start <= Entry.Last && Entry.First <= End && End <= Limit) {
      return (Entry.Permission & 2) != 0;
    }
  }
  return false;
}

uint64_t BytesNeeded(uint64_t Function) {
  return Function < 15 ? kFunctions[Function].NeededBytes : 8;
}

Prediction Predict(const State &Before, const Request &R, const Pool &Pl, const Firmware &F) {
  Prediction P{};
  P.After = Before;
  // The record as the normal world left it; the handler's answer lands on top, after every event
  // of the request.
  for (int W = 0; W < 6; ++W) {
    P.Words[W] = (R.RewriteMask & (1u << W)) != 0 ? R.RewriteWords[W] : R.Words[W];
  }

  if (R.NullBuffer || R.NullSize) {
    if (R.NullBuffer) P.Console.push_back(Report("CommBuffer"));
    if (R.NullSize) P.Console.push_back(Report("CommBufferSize"));
    P.Status = kEfiInvalidParameter;
    return P;
  }
  if (R.Misaligned) {
    P.Status = kEfiInvalidParameter;
    return P;
  }
  if (R.Size < 8) {
    P.Console.push_back(
        Message("VarnelMmiHandler Buffer too small, CommBufferSize 0x" + Hex(R.Size)));
    P.Status = kEfiBadBufferSize;
    return P;
  }
  const uint64_t Function = R.Words[0];
  if (Function > 14) {
    P.Console.push_back(Message("VarnelMmiHandler Unsupported function ID"));
    P.Status = kEfiAccessDenied;
    return P;
  }
  if (R.Size < BytesNeeded(Function)) {
    P.Console.push_back(
        Message("VarnelMmiHandler Buffer too small, CommBufferSize 0x" + Hex(R.Size)));
    P.Status = kEfiBadBufferSize;
    return P;
  }

  const char *Branch = kFunctions[Function].Branch;
  const bool Gated =
      Function == 1 || Function == 2 || Function == 3 || Function == 12 || Function == 14;
  if (Gated && Before.SeedDeployed) {
    Answered(P, kWordFailure, kEfiDeviceError);
    return P;
  }

  switch (Function) {
    case 0: {
      const Answer A = Ask(P, F, FlashCall(0, kX0X1));
      if (Negative(A.Out[0])) {
        P.Console.push_back(Message("SpiNorGetInfo Can't get Varnel Info"));
        Answered(P, kWordFailure, kEfiDeviceError);
        break;
      }
      Answered(P, kWordSuccess, kEfiSuccess);
      P.Words[1] = 0;
      P.Words[2] = A.Out[2] & 0xFFFFFFFFu;
      P.Words[3] = A.Out[2] >> 32;
      P.Words[4] = A.Out[3];
      break;
    }
    case 1:
      Perform(P, F, Operation::Read, Branch, false, R.Words[1], R.Words[2], R.Words[3]);
      break;
    case 2:
      Perform(P, F, Operation::Write, Branch, false, R.Words[1], R.Words[2], R.Words[3]);
      break;
    case 3:
      Perform(P, F, Operation::Erase, Branch, false, R.Words[1], R.Words[2], 0);
      break;
    case 12:
      Perform(P, F, Operation::Lock, Branch, false, R.Words[1], R.Words[2], 0);
      break;
    case 4:
    case 5:
    case 6: {
      static const char *const kFail[3] = {" Can't get Varnel NV Info",
                                           " Can't get Varnel NV2 Info",
                                           " Can't get SPI NOR Failsafe Info"};
      const Answer A = Ask(P, F, FlashCall(Function, kX0X1));
      if (Negative(A.Out[0])) {
        P.Console.push_back(Message(std::string(Branch) + kFail[Function - 4]));
        Answered(P, kWordFailure, kEfiDeviceError);
        break;
      }
      Answered(P, kWordSuccess, kEfiSuccess);
      P.Words[1] = A.Out[1];
      P.Words[2] = A.Out[2];
      break;
    }
    case 7:
      P.After.RunTimeLocked = true;
      Answered(P, kWordSuccess, kEfiSuccess);
      break;
    case 8: {
      const Answer A = Ask(P, F, FlashCall(8, kX0ToX2, R.Words[1]));
      if (Negative(A.Out[0])) {
        P.Console.push_back(Message("SpiNorSeedDeploy Can't Deploy Secure SPI Seed"));
        Answered(P, kWordFailure, kEfiDeviceError);
        break;
      }
      P.After.SeedDeployed = true;
      Answered(P, kWordSuccess, kEfiSuccess);
      break;
    }
    case 14: {
      const Answer A = Ask(P, F, FlashCall(14, kX0X1));
      if (Negative(A.Out[0])) {
        P.Console.push_back(Message("SpiNorLockRegionLock Fail to Lock region lock command"));
        Answered(P, kWordFailure, kEfiDeviceError);
        break;
      }
      Answered(P, kWordSuccess, kEfiSuccess);
      break;
    }
    case 9:
      Authenticated(P, R, Pl, F, Operation::Read, Branch, 0x28);
      break;
    case 10:
      Authenticated(P, R, Pl, F, Operation::Write, Branch, 0x28);
      break;
    case 11:
      Authenticated(P, R, Pl, F, Operation::Erase, Branch, 0x20);
      break;
    case 13:
    default:
      Authenticated(P, R, Pl, F, Operation::Lock, Branch, 0x20);
      break;
  }
  return P;
}

StartPrediction PredictStart(const State &Before, uint32_t Revision, uint64_t RegisterStatus,
                             const Firmware &F) {
  StartPrediction S{};
  S.After = Before;
  if (Revision < 0x10032) {
    S.Status = kEfiIncompatibleVersion;
    return S;
  }
  S.ConsoleUp = true;
  S.After.RunTimeLocked = false;
  S.After.SeedDeployed = false;
  const Call Info = FlashCall(0, kX0X1);
  const Answer A = F(0, Info);
  S.Calls.push_back(Info);
  if (Negative(A.Out[0])) {
    S.Console.push_back(Message("SpiNorAclPatch Can't get Varnel Info"));
  } else {
    PatchBootTable(S.After, true, A.Out[3]);
  }
  if (Negative(RegisterStatus)) {
    S.Console.push_back(Message("Can't register VarnelMmiHandler"));
    S.Status = RegisterStatus;
    return S;
  }
  S.Registered = true;
  S.Status = kEfiSuccess;
  return S;
}

}  // namespace reference
