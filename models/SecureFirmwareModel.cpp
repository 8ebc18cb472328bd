// SPDX-License-Identifier: BSD-3-Clause
// The secure firmware model: one switch over the function identifier, one over the sub-command.
#include "models/SecureFirmwareModel.h"

#include "config/VarnelMmConfig.h"
#include "driver/VarnelMmProtocol.h"

namespace models {

using namespace varnel;

namespace {

// Default information answers. Sub-command 0's info word carries the sector size in its low half
// and the page size in its high half; sub-commands 4, 5 and 6 answer the window address and size
// of the NV, NV2 and failsafe regions.
constexpr uint64_t kDefaultInfoWord = (0x100ULL << 32) | NorFlash::kSectorSize;
constexpr uint64_t kDefaultQueries[3][3] = {
    {config::kFlashWindowBase + 0x2F0000, 0x100000, 0},
    {config::kFlashWindowBase + 0x120000, 0x10000, 0},
    {config::kFlashWindowBase + 0x130000, 0x50000, 0},
};

uint64_t ReadWord(const uint8_t *Bytes) {
  uint64_t Value = 0;
  for (int Index = 7; Index >= 0; --Index) {
    Value = (Value << 8) | Bytes[Index];
  }
  return Value;
}

}  // namespace

uint8_t *MemoryWindow::Resolve(uint64_t Address, uint64_t Length) const {
  if (Bytes == nullptr || Address < Base) {
    return nullptr;
  }
  const uint64_t Offset = Address - Base;
  if (Offset > Size || Length > Size - Offset) {
    return nullptr;
  }
  return Bytes + Offset;
}

SecureFirmwareModel::SecureFirmwareModel(NorFlash &Flash, const MemoryWindow &NormalWorld)
    : Flash_(Flash),
      NormalWorld_(NormalWorld),
      WindowBase_(config::kFlashWindowBase),
      InfoWord_(kDefaultInfoWord),
      ProvisionedKey_(SipHashKeyFromBytes(kDefaultProvisionedKeyBytes)),
      DeviceSecret_(kDefaultDeviceSecret) {
  for (int Query = 0; Query < 3; ++Query) {
    for (int Register = 0; Register < 3; ++Register) {
      Query_[Query][Register] = kDefaultQueries[Query][Register];
    }
  }
}

void SecureFirmwareModel::SeamCall(void *Context, ServiceArgumentBlock *Block) {
  static_cast<SecureFirmwareModel *>(Context)->Handle(Block);
}

void SecureFirmwareModel::SetPoolArena(uint64_t Base, uint64_t Size) {
  ArenaBase_ = Base;
  ArenaSize_ = Size;
}

void SecureFirmwareModel::SetQueryAnswer(uint64_t SubCommand, uint64_t X1, uint64_t X2,
                                         uint64_t X3) {
  if (SubCommand < kSubGetNvInfo || SubCommand > kSubGetFailSafeInfo) {
    return;
  }
  uint64_t *Answer = Query_[SubCommand - kSubGetNvInfo];
  Answer[0] = X1;
  Answer[1] = X2;
  Answer[2] = X3;
}

void SecureFirmwareModel::SetSuccessValue(uint64_t X0) {
  if (!FwFailed(X0)) {
    SuccessX0_ = X0;
  }
}

void SecureFirmwareModel::InjectFault(uint32_t Service, uint64_t X0, FaultMode Mode) {
  if (Service < kServiceCount) {
    Faults_[Service] = Fault{X0, Mode};
  }
}

void SecureFirmwareModel::ClearFaults() {
  for (Fault &Entry : Faults_) {
    Entry = Fault{};
  }
}

bool SecureFirmwareModel::TakeFault(uint32_t Service, uint64_t *X0) {
  Fault &Entry = Faults_[Service];
  if (Entry.Mode == FaultMode::kOff) {
    return false;
  }
  *X0 = Entry.X0;
  if (Entry.Mode == FaultMode::kOnce) {
    Entry.Mode = FaultMode::kOff;
  }
  return true;
}

bool SecureFirmwareModel::TranslateToSecure(uint64_t DriverAddress, uint64_t *SecureAddress) const {
  if (DriverAddress < ArenaBase_ || DriverAddress - ArenaBase_ >= ArenaSize_) {
    return false;
  }
  *SecureAddress = kSecurePoolBase + (DriverAddress - ArenaBase_);
  return true;
}

uint8_t *SecureFirmwareModel::ResolveSecure(uint64_t SecureAddress, uint64_t Length) const {
  if (SecureAddress < kSecurePoolBase) {
    return nullptr;
  }
  const uint64_t Offset = SecureAddress - kSecurePoolBase;
  if (Offset >= ArenaSize_ || Length > ArenaSize_ - Offset) {
    return nullptr;
  }
  // The arena is given by the addresses the driver uses, which are also the model's own.
  return reinterpret_cast<uint8_t *>(  // NOLINT(performance-no-int-to-ptr)
      static_cast<uintptr_t>(ArenaBase_ + Offset));
}

SipHashKey SecureFirmwareModel::DeriveSeedKey(const SipHashKey &Secret, uint64_t Seed) {
  uint8_t Input[9] = {};
  for (int Index = 0; Index < 8; ++Index) {
    Input[1 + Index] = static_cast<uint8_t>(Seed >> (8 * Index));
  }
  const uint64_t K0 = SipHash24(Secret, Input, sizeof(Input));
  Input[0] = 1;
  return SipHashKey{K0, SipHash24(Secret, Input, sizeof(Input))};
}

SipHashKey SecureFirmwareModel::CurrentKey() const {
  return SeedDeployed_ ? DeriveSeedKey(DeviceSecret_, Seed_) : ProvisionedKey_;
}

uint64_t SecureFirmwareModel::ServiceCallCount(uint32_t Service) const {
  return Service < kServiceCount ? ServiceCalls_[Service] : 0;
}

const FirmwareCall *SecureFirmwareModel::FindCall(uint64_t Sequence) const {
  if (Sequence >= CallCount_ || CallCount_ - Sequence > kCallLogCapacity) {
    return nullptr;
  }
  return &Log_[Sequence % kCallLogCapacity];
}

const FirmwareCall *SecureFirmwareModel::LastCall() const {
  return CallCount_ == 0 ? nullptr : FindCall(CallCount_ - 1);
}

void SecureFirmwareModel::ClearLog() {
  CallCount_ = 0;
  Unsupported_ = 0;
  for (uint64_t &Count : ServiceCalls_) {
    Count = 0;
  }
}

void SecureFirmwareModel::Reset() {
  SeedDeployed_ = false;
  Seed_ = 0;
  Pending_ = PendingAuthentication{};
  LastAuth_ = AuthenticationRecord{};
  Flash_.Reset();
}

void SecureFirmwareModel::Handle(ServiceArgumentBlock *Block) {
  const ServiceArgumentBlock In = *Block;
  uint64_t Out[4] = {0, 0, 0, 0};
  Answer(In, Out);

  FirmwareCall &Entry = Log_[CallCount_ % kCallLogCapacity];
  for (int Word = 0; Word < 8; ++Word) {
    Entry.In[Word] = In.Word[Word];
  }
  for (int Word = 0; Word < 4; ++Word) {
    Entry.Out[Word] = Out[Word];
    Block->Word[Word] = Out[Word];
  }
  ++CallCount_;
}

void SecureFirmwareModel::Answer(const ServiceArgumentBlock &In, uint64_t (&Out)[4]) {
  switch (In.Word[0]) {
    case kFlashServiceId:
      FlashService(In, Out);
      return;
    case kTranslateAddressId: {
      ++ServiceCalls_[kServiceTranslate];
      uint64_t X0 = 0;
      // A failed translation answers a distinctive x1, never the 0 a driver must use instead.
      Out[1] = kFailedTranslationX1;
      if (TakeFault(kServiceTranslate, &X0)) {
        Out[0] = X0;
        return;
      }
      Out[0] = Translate(In.Word[2], &Out[1]);
      return;
    }
    default:
      ++Unsupported_;
      Out[0] = kFwNotSupported;
      return;
  }
}

uint64_t SecureFirmwareModel::Translate(uint64_t Address, uint64_t *Translated) {
  uint64_t Secure = 0;
  if (!TranslateToSecure(Address, &Secure)) {
    return kFwInvalidParameter;
  }
  *Translated = Secure;
  return SuccessX0_;
}

void SecureFirmwareModel::FlashService(const ServiceArgumentBlock &In, uint64_t (&Out)[4]) {
  const uint64_t SubCommand = In.Word[1];
  if (SubCommand > kSubLockRegionLock) {
    ++Unsupported_;
    Out[0] = kFwNotSupported;
    return;
  }
  const uint32_t Service = static_cast<uint32_t>(SubCommand);
  ++ServiceCalls_[Service];

  // Every flash-service call consumes the signed part that the last authentication accepted.
  const PendingAuthentication Pending = Pending_;
  Pending_.Valid = false;

  uint64_t X0 = 0;
  if (TakeFault(Service, &X0)) {
    Out[0] = X0;
    return;
  }

  const uint64_t X2 = In.Word[2];
  const uint64_t X3 = In.Word[3];
  const uint64_t X4 = In.Word[4];
  switch (SubCommand) {
    case kSubGetInfo:
      Out[0] = SuccessX0_;
      Out[2] = InfoWord_;
      Out[3] = HasReportedSize_ ? ReportedSize_ : Flash_.Size();
      return;
    case kSubGetNvInfo:
    case kSubGetNv2Info:
    case kSubGetFailSafeInfo: {
      const uint64_t *Answer = Query_[SubCommand - kSubGetNvInfo];
      Out[0] = SuccessX0_;
      Out[1] = Answer[0];
      Out[2] = Answer[1];
      Out[3] = Answer[2];
      return;
    }
    case kSubAuthenticate:
      Out[0] = Authenticate(X2, X3, X4);
      return;
    case kSubSeedDeploy:
      if (SeedDeployed_) {
        Out[0] = kFwDenied;
        return;
      }
      Seed_ = X2;
      SeedDeployed_ = true;
      Out[0] = SuccessX0_;
      return;
    case kSubLockRegionLock:
      Flash_.LockRegionLock();
      Out[0] = SuccessX0_;
      return;
    default:
      break;
  }

  // Read, write, erase and region lock, plain or secure.
  const bool Secure = SubCommand == kSubSecureRead || SubCommand == kSubSecureWrite ||
                      SubCommand == kSubSecureErase || SubCommand == kSubSecureRegionLock;
  if (Secure && !SecureOperationAllowed(In, Pending)) {
    Out[0] = kFwNotAuthenticated;
    return;
  }
  switch (SubCommand) {
    case kSubRead:
    case kSubSecureRead:
      Out[0] = ReadFlash(X2, X3, X4);
      return;
    case kSubWrite:
    case kSubSecureWrite:
      Out[0] = WriteFlash(X2, X3, X4);
      return;
    case kSubErase:
    case kSubSecureErase:
      Out[0] = EraseFlash(X2, X3);
      return;
    default:  // kSubRegionLock, kSubSecureRegionLock
      Out[0] = LockFlashRegion(X2, X3);
      return;
  }
}

bool SecureFirmwareModel::SecureOperationAllowed(const ServiceArgumentBlock &In,
                                                 const PendingAuthentication &Pending) const {
  if (Policy_ == SecureOperationPolicy::kUnchecked) {
    return true;
  }
  if (!Pending.Valid) {
    return false;
  }
  const uint64_t SubCommand = In.Word[1];
  const bool Long = SubCommand == kSubSecureRead || SubCommand == kSubSecureWrite;
  if (Pending.Length != (Long ? kSignedPartLong : kSignedPartShort)) {
    return false;
  }
  if (Pending.Words[kWordFunctionId] != SubCommand || Pending.Words[kWordOffset] != In.Word[2] ||
      Pending.Words[kWordLength] != In.Word[3]) {
    return false;
  }
  return !Long || Pending.Words[kWordBuffer] == In.Word[4];
}

bool SecureFirmwareModel::WindowToOffset(uint64_t Address, uint64_t Length,
                                         uint64_t *Offset) const {
  if (Address < WindowBase_) {
    return false;
  }
  *Offset = Address - WindowBase_;
  return Flash_.Contains(*Offset, Length);
}

uint64_t SecureFirmwareModel::FromNor(NorResult Result) const {
  switch (Result) {
    case NorResult::kOk:
      return SuccessX0_;
    case NorResult::kOutOfRange:
    case NorResult::kMisaligned:
      return kFwInvalidParameter;
    default:
      return kFwDenied;
  }
}

uint64_t SecureFirmwareModel::ReadFlash(uint64_t Address, uint64_t Length, uint64_t Buffer) {
  uint64_t Offset = 0;
  if (!WindowToOffset(Address, Length, &Offset)) {
    return kFwInvalidParameter;
  }
  uint8_t *Destination = NormalWorld_.Resolve(Buffer, Length);
  if (Destination == nullptr) {
    return kFwInvalidParameter;
  }
  return FromNor(Flash_.Read(Offset, Length, Destination));
}

uint64_t SecureFirmwareModel::WriteFlash(uint64_t Address, uint64_t Length, uint64_t Buffer) {
  uint64_t Offset = 0;
  if (!WindowToOffset(Address, Length, &Offset)) {
    return kFwInvalidParameter;
  }
  const uint8_t *Source = NormalWorld_.Resolve(Buffer, Length);
  if (Source == nullptr) {
    return kFwInvalidParameter;
  }
  return FromNor(Flash_.Program(Offset, Length, Source));
}

uint64_t SecureFirmwareModel::EraseFlash(uint64_t Address, uint64_t Length) {
  uint64_t Offset = 0;
  if (!WindowToOffset(Address, Length, &Offset)) {
    return kFwInvalidParameter;
  }
  return FromNor(Flash_.Erase(Offset, Length));
}

uint64_t SecureFirmwareModel::LockFlashRegion(uint64_t Address, uint64_t Length) {
  if (Flash_.RegionLockLocked()) {
    return kFwDenied;
  }
  uint64_t Offset = 0;
  if (!WindowToOffset(Address, Length, &Offset)) {
    return kFwInvalidParameter;
  }
  return FromNor(Flash_.LockRegion(Offset, Length));
}

uint64_t SecureFirmwareModel::Authenticate(uint64_t Address, uint64_t Length, uint64_t AuthInfo) {
  AuthenticationRecord &Record = LastAuth_;
  Record = AuthenticationRecord{};
  Record.Valid = true;
  Record.Address = Address;
  Record.Length = Length;
  Record.AuthInfo = AuthInfo;

  const uint8_t *Bytes = Length == 0 ? nullptr : ResolveSecure(Address, Length);
  if (Bytes != nullptr) {
    Record.Resolved = true;
    Record.ExpectedMac = ComputeRequestMac(CurrentKey(), Bytes, Length);
    Record.Captured =
        Length < AuthenticationRecord::kMaxCaptured ? Length : AuthenticationRecord::kMaxCaptured;
    __builtin_memcpy(Record.Bytes, Bytes, Record.Captured);
  }
  if (Hook_ != nullptr) {
    Hook_(HookContext_, Bytes, Bytes == nullptr ? 0 : Length);
  }
  if (Bytes == nullptr) {
    return kFwAuthenticationFailed;
  }

  switch (AuthMode_) {
    case AuthenticationMode::kAcceptAll:
      Record.Accepted = true;
      break;
    case AuthenticationMode::kRefuseAll:
      Record.Accepted = false;
      break;
    default:
      Record.Accepted = Record.ExpectedMac == AuthInfo;
      break;
  }
  if (!Record.Accepted) {
    return kFwAuthenticationFailed;
  }

  // Remember what was accepted (from the bytes read before the hook ran) for the next call.
  Pending_ = PendingAuthentication{};
  Pending_.Valid = true;
  Pending_.Length = Length;
  for (uint64_t Word = 0; Word < 5 && (Word + 1) * 8 <= Record.Captured; ++Word) {
    Pending_.Words[Word] = ReadWord(Record.Bytes + Word * 8);
  }
  return SuccessX0_;
}

}  // namespace models
