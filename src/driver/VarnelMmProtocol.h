// The wire contract of VarnelMm: the communication record, its status words, the function
// numbers, the handler GUID, and the secure firmware's call identifiers and sub-commands.
// Shared by the driver, the models, the tools and the tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/UefiTypes.h"

namespace varnel {

// The communication record: six unsigned 64-bit little-endian words at CommBuffer.
enum RecordWord : uint32_t {
  kWordFunctionId = 0,
  kWordOffset = 1,
  kWordLength = 2,
  kWordBuffer = 3,
  kWordAuthInfoShort = 4,  // AuthInfo of secure erase and secure region lock
  kWordAuthInfoLong = 5,   // AuthInfo of secure read and secure write
};
constexpr uint64_t kRecordWords = 6;
constexpr uint64_t kRecordBytes = kRecordWords * sizeof(uint64_t);
static_assert(kRecordBytes == 48);

// Status words, stored zero-extended as the whole of word 0.
constexpr uint64_t kStatusSuccess = 0xAABBCC00;
constexpr uint64_t kStatusNoPermission = 0xAABBCC01;
constexpr uint64_t kStatusAuthenticationRefused = 0xAABBCCFE;
constexpr uint64_t kStatusFailure = 0xAABBCCFF;

enum FunctionNumber : uint64_t {
  kFunctionGetInfo = 0,
  kFunctionRead = 1,
  kFunctionWrite = 2,
  kFunctionErase = 3,
  kFunctionGetNvInfo = 4,
  kFunctionGetNv2Info = 5,
  kFunctionGetFailSafeInfo = 6,
  kFunctionRunTimeLockDown = 7,
  kFunctionSeedDeploy = 8,
  kFunctionSecureRead = 9,
  kFunctionSecureWrite = 10,
  kFunctionSecureErase = 11,
  kFunctionRegionLock = 12,
  kFunctionSecureRegionLock = 13,
  kFunctionLockRegionLock = 14,
};
constexpr uint64_t kHighestFunction = kFunctionLockRegionLock;

// Signed part of the authenticated functions: it starts at byte 0 of the record.
constexpr uint64_t kSignedPartLong = 0x28;   // secure read, secure write: words 0-4
constexpr uint64_t kSignedPartShort = 0x20;  // secure erase, secure region lock: words 0-3

// C8D76438-4D3C-4BEA-BF86-926B8307A239
constexpr EFI_GUID kVarnelMmGuid = {
    0xC8D76438, 0x4D3C, 0x4BEA, {0xBF, 0x86, 0x92, 0x6B, 0x83, 0x07, 0xA2, 0x39}};

// Secure firmware: SMC64 fast-call identifiers, issued with `svc #0`.
constexpr uint64_t kFlashServiceId = 0xC4000070;
constexpr uint64_t kTranslateAddressId = 0xC200FFF1;

enum SubCommand : uint64_t {
  kSubGetInfo = 0,
  kSubRead = 1,
  kSubWrite = 2,
  kSubErase = 3,
  kSubGetNvInfo = 4,
  kSubGetNv2Info = 5,
  kSubGetFailSafeInfo = 6,
  kSubAuthenticate = 7,
  kSubSeedDeploy = 8,
  kSubSecureRead = 9,
  kSubSecureWrite = 10,
  kSubSecureErase = 11,
  kSubRegionLock = 12,
  kSubSecureRegionLock = 13,
  kSubLockRegionLock = 14,
};

}  // namespace varnel

// The GUID's bytes as they lie in memory.
static_assert(__builtin_bit_cast(uint64_t, varnel::kVarnelMmGuid.Data4) == 0x39A207836B9286BFULL);
