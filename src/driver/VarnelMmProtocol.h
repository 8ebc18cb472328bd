// SPDX-License-Identifier: BSD-3-Clause
// The C++ names of the VarnelMm protocol (include/VarnelMm/Protocol.h) for the driver, the models,
// the tools and the tests: every constant here is built from that header's definitions and lists,
// so no value or name is written twice.
#pragma once

#include <stdint.h>

#include "VarnelMm/Protocol.h"
#include "base/UefiTypes.h"

namespace varnel {

// The communication record's words: kWordFunctionId, kWordOffset, ... kWordAuthInfoLong.
enum RecordWord : uint32_t {
#define VARNEL_RECORD_WORD(Index, Name) kWord##Name = Index,
  VARNELMM_RECORD_WORD_LIST(VARNEL_RECORD_WORD)
#undef VARNEL_RECORD_WORD
};
constexpr uint64_t kRecordWords = VARNELMM_RECORD_WORDS;
constexpr uint64_t kRecordBytes = VARNELMM_RECORD_BYTES;

// Words of a successful answer that carry results.
enum ResultWord : uint32_t {
  kResultInfoLow = VARNELMM_RESULT_INFO_LOW,
  kResultInfoHigh = VARNELMM_RESULT_INFO_HIGH,
  kResultFlashSize = VARNELMM_RESULT_FLASH_SIZE,
  kResultQueryFirst = VARNELMM_RESULT_QUERY_FIRST,
  kResultQuerySecond = VARNELMM_RESULT_QUERY_SECOND,
};

// Status words: kStatusSuccess, kStatusNoPermission, kStatusAuthenticationRefused, kStatusFailure.
#define VARNEL_STATUS_WORD(Value, Id, Meaning) constexpr uint64_t kStatus##Id = Value;
VARNELMM_STATUS_WORD_LIST(VARNEL_STATUS_WORD)
#undef VARNEL_STATUS_WORD

// Function numbers: kFunctionGetInfo (0) to kFunctionLockRegionLock (14).
enum FunctionNumber : uint64_t {
#define VARNEL_FUNCTION(Number, Id, BranchName) kFunction##Id = Number,
  VARNELMM_FUNCTION_LIST(VARNEL_FUNCTION)
#undef VARNEL_FUNCTION
};
constexpr uint64_t kHighestFunction = VarnelMmHighestFunction;

constexpr uint64_t kSignedPartLong = VARNELMM_SIGNED_PART_LONG;
constexpr uint64_t kSignedPartShort = VARNELMM_SIGNED_PART_SHORT;
constexpr uint64_t kLargestJudgedLength = VARNELMM_LARGEST_JUDGED_LENGTH;
constexpr uint32_t kPermissionChange = VARNELMM_PERMISSION_CHANGE;

static_assert(sizeof(EFI_GUID) == sizeof(VARNELMM_GUID));
constexpr EFI_GUID kVarnelMmGuid = VARNELMM_GUID_INITIALIZER;

// Secure firmware: SMC64 fast-call identifiers and the flash service's sub-commands.
constexpr uint64_t kFlashServiceId = VARNELMM_FLASH_SERVICE_ID;
constexpr uint64_t kTranslateAddressId = VARNELMM_TRANSLATE_ADDRESS_ID;

enum SubCommand : uint64_t {
#define VARNEL_SUB_COMMAND(Number, Id) kSub##Id = Number,
  VARNELMM_SUB_COMMAND_LIST(VARNEL_SUB_COMMAND)
#undef VARNEL_SUB_COMMAND
};

}  // namespace varnel

// The GUID's bytes as they lie in memory.
static_assert(__builtin_bit_cast(uint64_t, varnel::kVarnelMmGuid.Data4) == 0x39A207836B9286BFULL);
