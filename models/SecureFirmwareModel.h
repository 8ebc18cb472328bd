// SPDX-License-Identifier: BSD-3-Clause
// The secure firmware as the driver's supervisor calls see it: the flash service 0xC4000070 with
// its fifteen sub-commands over a NOR flash model, the address translation 0xC200FFF1 of MM pool
// addresses, and SipHash-2-4 authentication of signed requests. One call is one
// ServiceArgumentBlock: words 0..7 in (x0..x7), words 0..3 out; words 4..7 are never written.
//
// Result codes in x0 follow the SMC Calling Convention: negative means failure. The model answers
// kFwNotSupported (-1) for an unknown function identifier or sub-command and the other negative
// codes below for refused calls; a successful call answers the configurable success value (0 by
// default) with x1..x3 holding results, or 0 where the call has none.
//
// Address spaces:
//  - flash window: x2 of read/write/erase/region lock is a normal-world address; the window base
//    (0x91A00000 by default) is flash offset 0. Anything below the base or past the end of the
//    part fails with kFwInvalidParameter.
//  - normal-world memory: Buffer (x4) of read/write must lie wholly inside a caller-provided
//    MemoryWindow, else kFwInvalidParameter.
//  - secure space: translation maps an address inside the registered MM pool arena to
//    kSecurePoolBase + (address - arena base); authentication maps it back. Any address outside the
//    arena fails to translate (kFwInvalidParameter) or to authenticate (kFwAuthenticationFailed).
//
// Keys: before a seed is deployed (sub-command 8) requests are authenticated with the provisioned
// key (SetProvisionedKey; the default is the key 00 01 .. 0F); afterwards with the key derived
// from the device secret and the seed (DeriveSeedKey). The device secret never leaves the secure
// world, so a seed seen in the clear on its way from the normal world does not give the key. The
// seed is accepted once per power cycle: a second deployment is refused (kFwDenied), so nobody
// can re-key a running system to a seed of their choosing.
//
// Secure operations (sub-commands 9, 10, 11, 13) are, by default, only carried out right after an
// accepted authentication of the same request: the next flash-service call consumes the accepted
// signed part, and a secure operation must match it (word 0 = the sub-command, word 1 = x2,
// word 2 = x3 and, for secure read/write, word 3 = x4, signed length 0x28 or 0x20). A mismatch
// answers kFwNotAuthenticated. SetSecureOperationPolicy(kUnchecked) turns this off.
#pragma once

#include <stdint.h>

#include "arch/Arch.h"
#include "models/NorFlash.h"
#include "models/SipHash.h"

namespace models {

constexpr uint64_t kFwNotSupported = ~0ULL;              // -1, SMCCC NOT_SUPPORTED
constexpr uint64_t kFwInvalidParameter = ~0ULL - 2;      // -3, SMCCC INVALID_PARAMETER
constexpr uint64_t kFwDenied = ~0ULL - 3;                // -4: locked region, region locks locked
constexpr uint64_t kFwAuthenticationFailed = ~0ULL - 4;  // -5: MAC mismatch or unresolvable data
constexpr uint64_t kFwNotAuthenticated = ~0ULL - 5;      // -6: secure operation without acceptance

constexpr bool FwFailed(uint64_t X0) {
  return static_cast<int64_t>(X0) < 0;
}

// Services for fault injection and counters: the sub-commands 0..14 and the translation.
constexpr uint32_t kServiceTranslate = 15;
// x1 of a failed translation. It looks like an address, so a driver that took it instead of 0
// would hand it to the authentication, where a test sees it.
constexpr uint64_t kFailedTranslationX1 = 0xFA11ED0000C0FFEEULL;
constexpr uint32_t kServiceCount = 16;

// Where "secure physical" addresses of the MM pool start.
constexpr uint64_t kSecurePoolBase = 0x000000E000000000ULL;

// A byte region of an address space, backed by caller-provided memory.
struct MemoryWindow {
  uint64_t Base = 0;
  uint8_t *Bytes = nullptr;
  uint64_t Size = 0;

  // Host pointer for [Address, Address + Length), or null when any byte falls outside.
  uint8_t *Resolve(uint64_t Address, uint64_t Length) const;
};

enum class FaultMode : uint8_t { kOff, kOnce, kAlways };
enum class AuthenticationMode : uint8_t { kVerifyMac, kAcceptAll, kRefuseAll };
enum class SecureOperationPolicy : uint8_t { kRequireAuthentication, kUnchecked };

// One call as the firmware saw it.
struct FirmwareCall {
  uint64_t In[8];
  uint64_t Out[4];
};

// What the last authentication call (sub-command 7) was given and decided.
struct AuthenticationRecord {
  static constexpr uint64_t kMaxCaptured = 64;
  bool Valid = false;     // an authentication call has been made
  bool Resolved = false;  // the address and length mapped into the pool arena
  bool Accepted = false;
  uint64_t Address = 0;      // x2 as given (secure space)
  uint64_t Length = 0;       // x3
  uint64_t AuthInfo = 0;     // x4
  uint64_t ExpectedMac = 0;  // MAC over the resolved bytes with the current key
  uint64_t Captured = 0;     // bytes copied into Bytes (at most kMaxCaptured)
  uint8_t Bytes[kMaxCaptured] = {};
};

// Called during an authentication, after the signed bytes were read and their MAC computed and
// before the answer is given: lets a test change shared memory while the firmware "works". The
// verdict rests on the bytes as read before the call. When the address did not resolve into the
// pool arena the hook gets a null pointer and a length of 0.
using AuthenticationHook = void (*)(void *Context, const uint8_t *SignedBytes, uint64_t Length);

// The device secret of the model unless SetDeviceSecret says otherwise. Tools that play the
// device's owner (varnel-sim) know it; the normal world of a real device would not.
constexpr SipHashKey kDefaultDeviceSecret = {0x8A3F5C71D2E4B609ULL, 0x1C7E93A05B2D64F8ULL};
// The bytes of the key the model is provisioned with unless SetProvisionedKey says otherwise.
constexpr uint8_t kDefaultProvisionedKeyBytes[16] = {0, 1, 2,  3,  4,  5,  6,  7,
                                                     8, 9, 10, 11, 12, 13, 14, 15};

class SecureFirmwareModel {
 public:
  static constexpr uint32_t kCallLogCapacity = 64;

  // The flash and the normal-world memory must outlive the model.
  SecureFirmwareModel(NorFlash &Flash, const MemoryWindow &NormalWorld);
  SecureFirmwareModel(const SecureFirmwareModel &) = delete;
  SecureFirmwareModel &operator=(const SecureFirmwareModel &) = delete;

  // Answers one call: reads words 0..7, writes words 0..3.
  void Handle(ServiceArgumentBlock *Block);
  // Same, in the form of the host seam's CallSecureService hook (Context = the model).
  static void SeamCall(void *Context, ServiceArgumentBlock *Block);

  // --- Configuration -----------------------------------------------------------------------
  void SetFlashWindowBase(uint64_t Base) { WindowBase_ = Base; }
  uint64_t FlashWindowBase() const { return WindowBase_; }
  void SetNormalWorld(const MemoryWindow &Window) { NormalWorld_ = Window; }
  const MemoryWindow &NormalWorld() const { return NormalWorld_; }
  // The MM pool arena whose addresses translation accepts (driver addresses).
  void SetPoolArena(uint64_t Base, uint64_t Size);

  // Sub-command 0: x2 = info word, x3 = flash size (the part's size unless overridden).
  void SetInfoWord(uint64_t InfoWord) { InfoWord_ = InfoWord; }
  void SetReportedFlashSize(uint64_t Size) {
    ReportedSize_ = Size;
    HasReportedSize_ = true;
  }
  void ClearReportedFlashSize() { HasReportedSize_ = false; }
  // Sub-commands 4, 5, 6: x1, x2, x3 of a successful answer. Other sub-commands are ignored.
  void SetQueryAnswer(uint64_t SubCommand, uint64_t X1, uint64_t X2, uint64_t X3);
  // x0 of every successful answer; must not be negative (a negative value is ignored).
  void SetSuccessValue(uint64_t X0);

  void SetProvisionedKey(const SipHashKey &Key) { ProvisionedKey_ = Key; }
  // The per-device secret behind seed keys (default: kDefaultDeviceSecret).
  void SetDeviceSecret(const SipHashKey &Secret) { DeviceSecret_ = Secret; }
  const SipHashKey &DeviceSecret() const { return DeviceSecret_; }
  // The key a deployed Seed selects on a device holding Secret: each half is the SipHash-2-4, under
  // the secret, of a one-byte label (0 or 1) followed by the seed's eight little-endian bytes.
  static SipHashKey DeriveSeedKey(const SipHashKey &Secret, uint64_t Seed);
  void SetAuthenticationMode(AuthenticationMode Mode) { AuthMode_ = Mode; }
  void SetSecureOperationPolicy(SecureOperationPolicy Policy) { Policy_ = Policy; }
  void SetAuthenticationHook(AuthenticationHook Hook, void *Context) {
    Hook_ = Hook;
    HookContext_ = Context;
  }

  // The next call (kOnce) or every call (kAlways) of Service answers X0 (should be negative) and
  // does nothing else. kOff removes the fault.
  void InjectFault(uint32_t Service, uint64_t X0, FaultMode Mode);
  void ClearFaults();

  // --- Translation helpers -----------------------------------------------------------------
  // Driver address -> secure address; false outside the pool arena.
  bool TranslateToSecure(uint64_t DriverAddress, uint64_t *SecureAddress) const;
  // Secure address range -> host pointer into the pool arena; null when not wholly inside it.
  uint8_t *ResolveSecure(uint64_t SecureAddress, uint64_t Length) const;

  // --- State and observation ---------------------------------------------------------------
  bool SeedDeployed() const { return SeedDeployed_; }
  uint64_t DeployedSeed() const { return Seed_; }
  // The key authentication uses now: the seed's key once deployed, else the provisioned key.
  SipHashKey CurrentKey() const;
  const AuthenticationRecord &LastAuthentication() const { return LastAuth_; }

  // Calls answered since construction (or ClearLog); the log keeps the last kCallLogCapacity.
  uint64_t CallCount() const { return CallCount_; }
  // Call number Sequence (0 = first since ClearLog), or null when it has left the log.
  const FirmwareCall *FindCall(uint64_t Sequence) const;
  // The most recent call, or null before any.
  const FirmwareCall *LastCall() const;
  // Calls of one service (0..14, kServiceTranslate), and calls with an unknown identifier or
  // sub-command.
  uint64_t ServiceCallCount(uint32_t Service) const;
  uint64_t UnsupportedCallCount() const { return Unsupported_; }
  void ClearLog();

  // Power cycle: seed, pending authentication and the flash's locks are dropped; configuration,
  // faults and the log stay.
  void Reset();

  NorFlash &Flash() { return Flash_; }

 private:
  struct Fault {
    uint64_t X0 = 0;
    FaultMode Mode = FaultMode::kOff;
  };
  struct PendingAuthentication {
    bool Valid = false;
    uint64_t Length = 0;
    uint64_t Words[5] = {};
  };

  void Answer(const ServiceArgumentBlock &In, uint64_t (&Out)[4]);
  void FlashService(const ServiceArgumentBlock &In, uint64_t (&Out)[4]);
  uint64_t Translate(uint64_t Address, uint64_t *Translated);
  uint64_t ReadFlash(uint64_t Address, uint64_t Length, uint64_t Buffer);
  uint64_t WriteFlash(uint64_t Address, uint64_t Length, uint64_t Buffer);
  uint64_t EraseFlash(uint64_t Address, uint64_t Length);
  uint64_t LockFlashRegion(uint64_t Address, uint64_t Length);
  uint64_t Authenticate(uint64_t Address, uint64_t Length, uint64_t AuthInfo);
  bool SecureOperationAllowed(const ServiceArgumentBlock &In,
                              const PendingAuthentication &Pending) const;
  bool WindowToOffset(uint64_t Address, uint64_t Length, uint64_t *Offset) const;
  bool TakeFault(uint32_t Service, uint64_t *X0);
  uint64_t FromNor(NorResult Result) const;

  NorFlash &Flash_;
  MemoryWindow NormalWorld_;
  uint64_t WindowBase_;
  uint64_t ArenaBase_ = 0;
  uint64_t ArenaSize_ = 0;

  uint64_t InfoWord_;
  uint64_t ReportedSize_ = 0;
  bool HasReportedSize_ = false;
  uint64_t Query_[3][3];
  uint64_t SuccessX0_ = 0;

  SipHashKey ProvisionedKey_;
  SipHashKey DeviceSecret_;
  AuthenticationMode AuthMode_ = AuthenticationMode::kVerifyMac;
  SecureOperationPolicy Policy_ = SecureOperationPolicy::kRequireAuthentication;
  AuthenticationHook Hook_ = nullptr;
  void *HookContext_ = nullptr;
  Fault Faults_[kServiceCount] = {};

  bool SeedDeployed_ = false;
  uint64_t Seed_ = 0;
  PendingAuthentication Pending_;
  AuthenticationRecord LastAuth_;

  FirmwareCall Log_[kCallLogCapacity] = {};
  uint64_t CallCount_ = 0;
  uint64_t ServiceCalls_[kServiceCount] = {};
  uint64_t Unsupported_ = 0;
};

}  // namespace models
