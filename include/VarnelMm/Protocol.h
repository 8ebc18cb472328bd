// SPDX-License-Identifier: BSD-3-Clause
/* The VarnelMm protocol: everything normal-world code needs to build a request for the driver and
 * to read its answer. The communication record and its words, the function numbers with their
 * branch names, the status words, the UEFI statuses the driver and its platform answer, the handler
 * GUID, the flash window, and the secure firmware's call identifiers and sub-commands.
 *
 * This header is the one home of these facts: the driver, the models, the tools and the tests take
 * them from here. It is valid C99 and C++, needs nothing but <stddef.h> and <stdint.h>, and pins
 * every layout with compile-time checks in both languages.
 *
 * Lists are X-macros: VARNELMM_FUNCTION_LIST(X) calls X(Number, Id, BranchName) once per function,
 * in order, so a table keyed by function number can be built from it without restating a row. */
#ifndef VARNELMM_PROTOCOL_H
#define VARNELMM_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

/* A compile-time check for C99 (a negative array size) and C++ (static_assert) alike. */
#ifdef __cplusplus
#define VARNELMM_STATIC_ASSERT(Condition, Name) static_assert(Condition, #Name)
#else
#define VARNELMM_STATIC_ASSERT(Condition, Name) \
  typedef char VarnelMmCheck_##Name[(Condition) ? 1 : -1]
#endif

/* Name lookups below are constant expressions in C++ and plain inline functions in C. */
#if defined(__cplusplus) && __cplusplus >= 201402L
#define VARNELMM_LOOKUP static constexpr
#else
#define VARNELMM_LOOKUP static inline
#endif

/* ---- Communication record ----------------------------------------------------------------------
 * Six unsigned 64-bit little-endian words at CommBuffer. Word 0 carries the function number in and
 * the status word out. X(Index, Name). */
#define VARNELMM_RECORD_WORD_LIST(X)                                        \
  X(0, FunctionId)                                                          \
  X(1, Offset)                                                              \
  X(2, Length)                                                              \
  X(3, Buffer)                                                              \
  X(4, AuthInfoShort) /* AuthInfo of secure erase and secure region lock */ \
  X(5, AuthInfoLong)  /* AuthInfo of secure read and secure write */

typedef struct {
#define VARNELMM_RECORD_FIELD(Index, Name) uint64_t Name;
  VARNELMM_RECORD_WORD_LIST(VARNELMM_RECORD_FIELD)
#undef VARNELMM_RECORD_FIELD
} VARNELMM_COMM_RECORD;

#define VARNELMM_RECORD_WORDS 6
#define VARNELMM_RECORD_BYTES 48
VARNELMM_STATIC_ASSERT(sizeof(VARNELMM_COMM_RECORD) == VARNELMM_RECORD_BYTES, RecordBytes);
VARNELMM_STATIC_ASSERT(VARNELMM_RECORD_BYTES == VARNELMM_RECORD_WORDS * 8, RecordWords);
/* The record as its words by index, the form the tools, the test worlds, the benchmarks and the
 * driver's private copy hold it in. */
typedef uint64_t VARNELMM_RECORD_WORD_ARRAY[VARNELMM_RECORD_WORDS];
VARNELMM_STATIC_ASSERT(sizeof(VARNELMM_RECORD_WORD_ARRAY) == VARNELMM_RECORD_BYTES, RecordArray);
#define VARNELMM_RECORD_OFFSET_CHECK(Index, Name) \
  VARNELMM_STATIC_ASSERT(offsetof(VARNELMM_COMM_RECORD, Name) == (Index)*8, RecordWord##Name);
VARNELMM_RECORD_WORD_LIST(VARNELMM_RECORD_OFFSET_CHECK)
#undef VARNELMM_RECORD_OFFSET_CHECK

/* Signed part of the authenticated functions: it starts at byte 0 of the record, and AuthInfo is
 * the word right behind it. */
#define VARNELMM_SIGNED_PART_LONG 0x28  /* secure read, secure write: words 0-4 */
#define VARNELMM_SIGNED_PART_SHORT 0x20 /* secure erase, secure region lock: words 0-3 */
VARNELMM_STATIC_ASSERT(VARNELMM_SIGNED_PART_LONG == offsetof(VARNELMM_COMM_RECORD, AuthInfoLong),
                       SignedPartLong);
VARNELMM_STATIC_ASSERT(VARNELMM_SIGNED_PART_SHORT == offsetof(VARNELMM_COMM_RECORD, AuthInfoShort),
                       SignedPartShort);

/* Words of a successful answer that carry results (word 0 holds the status word):
 *   get info (function 0): word 1 is 0, words 2 and 3 the two halves of the part's information,
 *                          word 4 the flash size;
 *   the info queries (functions 4 to 6): words 1 and 2, the two values the firmware answered.
 * Every other word is left as the request had it. */
#define VARNELMM_RESULT_INFO_LOW 2
#define VARNELMM_RESULT_INFO_HIGH 3
#define VARNELMM_RESULT_FLASH_SIZE 4
#define VARNELMM_RESULT_QUERY_FIRST 1
#define VARNELMM_RESULT_QUERY_SECOND 2

/* ---- Function numbers ---------------------------------------------------------------------------
 * X(Number, Id, BranchName): the number in word 0, an identifier, and the name of the handler
 * branch that serves it (the name its console messages print). */
#define VARNELMM_FUNCTION_LIST(X)                   \
  X(0, GetInfo, "SpiNorGetInfo")                    \
  X(1, Read, "SpiNorRead")                          \
  X(2, Write, "SpiNorWrite")                        \
  X(3, Erase, "SpiNorErase")                        \
  X(4, GetNvInfo, "SpiNorGetNVInfo")                \
  X(5, GetNv2Info, "SpiNorGetNV2Info")              \
  X(6, GetFailSafeInfo, "SpiNorGetFailSafeInfo")    \
  X(7, RunTimeLockDown, "SpiNorRunTimeLockDown")    \
  X(8, SeedDeploy, "SpiNorSeedDeploy")              \
  X(9, SecureRead, "SpiNorSecureRead")              \
  X(10, SecureWrite, "SpiNorSecureWrite")           \
  X(11, SecureErase, "SpiNorSecureErase")           \
  X(12, RegionLock, "SpiNorRegionLock")             \
  X(13, SecureRegionLock, "SpiNorSecureRegionLock") \
  X(14, LockRegionLock, "SpiNorLockRegionLock")

enum VarnelMmFunction {
#define VARNELMM_FUNCTION_ENUMERATOR(Number, Id, BranchName) VarnelMmFunction##Id = Number,
  VARNELMM_FUNCTION_LIST(VARNELMM_FUNCTION_ENUMERATOR)
#undef VARNELMM_FUNCTION_ENUMERATOR
      VarnelMmHighestFunction = VarnelMmFunctionLockRegionLock
};

/* The list runs 0, 1, 2, ... without a gap: its length is one more than its last number. */
enum {
#define VARNELMM_FUNCTION_COUNT(Number, Id, BranchName) +1
  VarnelMmFunctionCount = 0 VARNELMM_FUNCTION_LIST(VARNELMM_FUNCTION_COUNT)
#undef VARNELMM_FUNCTION_COUNT
};
VARNELMM_STATIC_ASSERT(VarnelMmFunctionCount == VarnelMmHighestFunction + 1, FunctionsNumbered);

/* The branch name of a function number; Fallback above the highest function. */
VARNELMM_LOOKUP const char *VarnelMmFunctionNameOr(uint64_t Function, const char *Fallback) {
  switch (Function) {
#define VARNELMM_FUNCTION_NAME_CASE(Number, Id, BranchName) \
  case Number:                                              \
    return BranchName;
    VARNELMM_FUNCTION_LIST(VARNELMM_FUNCTION_NAME_CASE)
#undef VARNELMM_FUNCTION_NAME_CASE
    default:
      return Fallback;
  }
}
/* The branch name of a function number; null above the highest function. */
VARNELMM_LOOKUP const char *VarnelMmFunctionName(uint64_t Function) {
  return VarnelMmFunctionNameOr(Function, 0);
}

/* ---- What each function does ----------------------------------------------------------------
 * X(Id, SeedGated, PermissionChecked, SignedBytes, MovesData), one row per function, in the order
 * of the function list:
 *   SeedGated          refused once a seed is deployed;
 *   PermissionChecked  the range must lie inside one row of the access table in force that allows
 *                      changes;
 *   SignedBytes        0, or the length of the signed part (AuthInfo is the word right behind it);
 *   MovesData          Buffer names normal-world data the request reads from or writes into.
 * The driver's request table and every tool that plans requests read these facts from here. */
#define VARNELMM_FUNCTION_FACT_LIST(X)                     \
  X(GetInfo, 0, 0, 0, 0)                                   \
  X(Read, 1, 0, 0, 1)                                      \
  X(Write, 1, 1, 0, 1)                                     \
  X(Erase, 1, 1, 0, 0)                                     \
  X(GetNvInfo, 0, 0, 0, 0)                                 \
  X(GetNv2Info, 0, 0, 0, 0)                                \
  X(GetFailSafeInfo, 0, 0, 0, 0)                           \
  X(RunTimeLockDown, 0, 0, 0, 0)                           \
  X(SeedDeploy, 0, 0, 0, 0)                                \
  X(SecureRead, 0, 0, VARNELMM_SIGNED_PART_LONG, 1)        \
  X(SecureWrite, 0, 1, VARNELMM_SIGNED_PART_LONG, 1)       \
  X(SecureErase, 0, 1, VARNELMM_SIGNED_PART_SHORT, 0)      \
  X(RegionLock, 1, 1, 0, 0)                                \
  X(SecureRegionLock, 0, 1, VARNELMM_SIGNED_PART_SHORT, 0) \
  X(LockRegionLock, 1, 0, 0, 0)

/* The facts of a function number (all 0 above the highest function). */
#define VARNELMM_FACT_LOOKUP(Name, Column)                             \
  VARNELMM_LOOKUP uint32_t VarnelMmFunction##Name(uint64_t Function) { \
    switch (Function) {                                                \
      VARNELMM_FUNCTION_FACT_LIST(Column)                              \
      default:                                                         \
        return 0;                                                      \
    }                                                                  \
  }
#define VARNELMM_FACT_SEED_GATED(Id, Gated, Checked, Signed, Moves) \
  case VarnelMmFunction##Id:                                        \
    return Gated;
#define VARNELMM_FACT_PERMISSION_CHECKED(Id, Gated, Checked, Signed, Moves) \
  case VarnelMmFunction##Id:                                                \
    return Checked;
#define VARNELMM_FACT_SIGNED_BYTES(Id, Gated, Checked, Signed, Moves) \
  case VarnelMmFunction##Id:                                          \
    return Signed;
#define VARNELMM_FACT_MOVES_DATA(Id, Gated, Checked, Signed, Moves) \
  case VarnelMmFunction##Id:                                        \
    return Moves;
VARNELMM_FACT_LOOKUP(SeedGated, VARNELMM_FACT_SEED_GATED)
VARNELMM_FACT_LOOKUP(PermissionChecked, VARNELMM_FACT_PERMISSION_CHECKED)
VARNELMM_FACT_LOOKUP(SignedBytes, VARNELMM_FACT_SIGNED_BYTES)
VARNELMM_FACT_LOOKUP(MovesData, VARNELMM_FACT_MOVES_DATA)
#undef VARNELMM_FACT_LOOKUP
#undef VARNELMM_FACT_SEED_GATED
#undef VARNELMM_FACT_PERMISSION_CHECKED
#undef VARNELMM_FACT_SIGNED_BYTES
#undef VARNELMM_FACT_MOVES_DATA

/* One fact row per function, in function order. */
enum {
#define VARNELMM_FACT_COUNT(Id, Gated, Checked, Signed, Moves) +1
  VarnelMmFunctionFactCount = 0 VARNELMM_FUNCTION_FACT_LIST(VARNELMM_FACT_COUNT)
#undef VARNELMM_FACT_COUNT
};
VARNELMM_STATIC_ASSERT((int)VarnelMmFunctionFactCount == (int)VarnelMmFunctionCount,
                       FactRowPerFunction);

/* ---- The flash range of each function -----------------------------------------------------------
 * X(Id, Access), one row per function, in the order of the function list: what the function does
 * to the flash range its Offset and Length name, or None when it takes no range. Tools that plan
 * or describe requests read it; it agrees with the facts above (a read or a write moves data, and
 * every range but a read's is permission-checked). */
enum VarnelMmRangeAccess {
  VarnelMmRangeNone,
  VarnelMmRangeRead,
  VarnelMmRangeWrite,
  VarnelMmRangeErase,
  VarnelMmRangeLock
};

#define VARNELMM_FUNCTION_RANGE_LIST(X) \
  X(GetInfo, None)                      \
  X(Read, Read)                         \
  X(Write, Write)                       \
  X(Erase, Erase)                       \
  X(GetNvInfo, None)                    \
  X(GetNv2Info, None)                   \
  X(GetFailSafeInfo, None)              \
  X(RunTimeLockDown, None)              \
  X(SeedDeploy, None)                   \
  X(SecureRead, Read)                   \
  X(SecureWrite, Write)                 \
  X(SecureErase, Erase)                 \
  X(RegionLock, Lock)                   \
  X(SecureRegionLock, Lock)             \
  X(LockRegionLock, None)

/* What a function number does to its range (None above the highest function). */
VARNELMM_LOOKUP enum VarnelMmRangeAccess VarnelMmFunctionRangeAccess(uint64_t Function) {
  switch (Function) {
#define VARNELMM_RANGE_ACCESS_CASE(Id, Access) \
  case VarnelMmFunction##Id:                   \
    return VarnelMmRange##Access;
    VARNELMM_FUNCTION_RANGE_LIST(VARNELMM_RANGE_ACCESS_CASE)
#undef VARNELMM_RANGE_ACCESS_CASE
    default:
      return VarnelMmRangeNone;
  }
}

enum {
#define VARNELMM_RANGE_COUNT(Id, Access) +1
  VarnelMmFunctionRangeCount = 0 VARNELMM_FUNCTION_RANGE_LIST(VARNELMM_RANGE_COUNT)
#undef VARNELMM_RANGE_COUNT
};
VARNELMM_STATIC_ASSERT((int)VarnelMmFunctionRangeCount == (int)VarnelMmFunctionCount,
                       RangeRowPerFunction);

/* True for the info queries (functions 4 to 6), whose successful answer carries the two values at
 * VARNELMM_RESULT_QUERY_FIRST and VARNELMM_RESULT_QUERY_SECOND. */
VARNELMM_LOOKUP int VarnelMmFunctionIsInfoQuery(uint64_t Function) {
  return Function >= VarnelMmFunctionGetNvInfo && Function <= VarnelMmFunctionGetFailSafeInfo;
}

#if defined(__cplusplus) && __cplusplus >= 201402L
/* Every row agrees with the function's facts: data moves exactly for reads and writes, and the
 * permission check covers every range but a read's. */
constexpr bool VarnelMmRangeRowsAgree() {
  for (uint64_t Function = 0; Function < VarnelMmFunctionCount; ++Function) {
    const enum VarnelMmRangeAccess Access = VarnelMmFunctionRangeAccess(Function);
    const bool Moves = Access == VarnelMmRangeRead || Access == VarnelMmRangeWrite;
    const bool Checked = Access != VarnelMmRangeNone && Access != VarnelMmRangeRead;
    if ((VarnelMmFunctionMovesData(Function) != 0) != Moves ||
        (VarnelMmFunctionPermissionChecked(Function) != 0) != Checked) {
      return false;
    }
  }
  return true;
}
static_assert(VarnelMmRangeRowsAgree(), "range rows agree with the function facts");
#endif

/* ---- Region access tables -----------------------------------------------------------------------
 * Which flash offsets (relative to the window base) the permission-checked functions may change.
 * X(First, Last, Permission): Last is inclusive; a request's range is judged by the first row, in
 * list order, that holds the whole of it, and it is admitted when that row's Permission has the
 * change bit. The boot table is in force until run-time lock-down, the run-time table after it.
 * At its start the driver sets Last of the boot row that begins at VARNELMM_BOOT_PATCHED_ROW_FIRST
 * to the real flash size minus 1. */
#define VARNELMM_PERMISSION_CHANGE 2u
/* The tables judge 32-bit lengths: a longer range is refused, so the range judged is always the
 * range operated on. */
#define VARNELMM_LARGEST_JUDGED_LENGTH UINT64_C(0xFFFFFFFF)
#define VARNELMM_BOOT_PATCHED_ROW_FIRST 0x1700000u

#define VARNELMM_BOOT_REGION_LIST(X) \
  X(0x0, 0x11FFFF, 3)                \
  X(0x1700000, 0x3FFFFFF, 3)         \
  X(0x120000, 0x12FFFF, 3)           \
  X(0x130000, 0x17FFFF, 3)           \
  X(0x2F0000, 0x3EFFFF, 3)

#define VARNELMM_RUN_TIME_REGION_LIST(X) \
  X(0x0, 0xFFFFF, 3)                     \
  X(0x2F0000, 0x3EFFFF, 3)

/* ---- Status words -------------------------------------------------------------------------------
 * Stored zero-extended as the whole of word 0 of an answered request. X(Value, Id, Meaning). */
#define VARNELMM_STATUS_SUCCESS UINT64_C(0xAABBCC00)
#define VARNELMM_STATUS_NO_PERMISSION UINT64_C(0xAABBCC01)
#define VARNELMM_STATUS_AUTHENTICATION_REFUSED UINT64_C(0xAABBCCFE)
#define VARNELMM_STATUS_FAILURE UINT64_C(0xAABBCCFF)

#define VARNELMM_STATUS_WORD_LIST(X)                                                         \
  X(VARNELMM_STATUS_SUCCESS, Success, "success")                                             \
  X(VARNELMM_STATUS_NO_PERMISSION, NoPermission, "no write permission")                      \
  X(VARNELMM_STATUS_AUTHENTICATION_REFUSED, AuthenticationRefused, "authentication refused") \
  X(VARNELMM_STATUS_FAILURE, Failure, "failure")

/* Every status word has the form 0xAABBCCxx. */
#define VARNELMM_STATUS_WORD_MASK UINT64_C(0xFFFFFFFFFFFFFF00)
#define VARNELMM_IS_STATUS_WORD_FORM(Word) \
  (((Word)&VARNELMM_STATUS_WORD_MASK) == VARNELMM_STATUS_SUCCESS)

/* The meaning of a status word ("success", "no write permission", ...); Fallback for any other
 * word. */
VARNELMM_LOOKUP const char *VarnelMmStatusWordNameOr(uint64_t Word, const char *Fallback) {
#define VARNELMM_STATUS_WORD_NAME_TEST(Value, Id, Meaning) \
  if (Word == (Value)) {                                   \
    return Meaning;                                        \
  }
  VARNELMM_STATUS_WORD_LIST(VARNELMM_STATUS_WORD_NAME_TEST)
#undef VARNELMM_STATUS_WORD_NAME_TEST
  return Fallback;
}
/* The meaning of a status word; null for any other word. */
VARNELMM_LOOKUP const char *VarnelMmStatusWordName(uint64_t Word) {
  return VarnelMmStatusWordNameOr(Word, 0);
}

/* ---- UEFI statuses ------------------------------------------------------------------------------
 * The statuses the driver answers, and those the MM core answers around it. An error is a status
 * that is negative as a signed 64-bit value. VARNELMM_<name> is the value of each name. */
#define VARNELMM_EFI_ERROR_BIT UINT64_C(0x8000000000000000)
#define VARNELMM_EFI_SUCCESS UINT64_C(0)
#define VARNELMM_EFI_INVALID_PARAMETER (VARNELMM_EFI_ERROR_BIT | 2)
#define VARNELMM_EFI_BAD_BUFFER_SIZE (VARNELMM_EFI_ERROR_BIT | 4)
#define VARNELMM_EFI_NOT_READY (VARNELMM_EFI_ERROR_BIT | 6)
#define VARNELMM_EFI_DEVICE_ERROR (VARNELMM_EFI_ERROR_BIT | 7)
#define VARNELMM_EFI_OUT_OF_RESOURCES (VARNELMM_EFI_ERROR_BIT | 9)
#define VARNELMM_EFI_NOT_FOUND (VARNELMM_EFI_ERROR_BIT | 14)
#define VARNELMM_EFI_ACCESS_DENIED (VARNELMM_EFI_ERROR_BIT | 15)
#define VARNELMM_EFI_INCOMPATIBLE_VERSION (VARNELMM_EFI_ERROR_BIT | 25)

/* X(Name): the symbolic name; VARNELMM_##Name is its value and #Name its text. */
#define VARNELMM_EFI_STATUS_LIST(X) \
  X(EFI_SUCCESS)                    \
  X(EFI_INVALID_PARAMETER)          \
  X(EFI_BAD_BUFFER_SIZE)            \
  X(EFI_NOT_READY)                  \
  X(EFI_DEVICE_ERROR)               \
  X(EFI_OUT_OF_RESOURCES)           \
  X(EFI_NOT_FOUND)                  \
  X(EFI_ACCESS_DENIED)              \
  X(EFI_INCOMPATIBLE_VERSION)

/* The symbolic name of one of the statuses above ("EFI_DEVICE_ERROR"); null for any other. */
VARNELMM_LOOKUP const char *VarnelMmEfiStatusName(uint64_t Status) {
#define VARNELMM_EFI_STATUS_NAME_TEST(Name) \
  if (Status == VARNELMM_##Name) {          \
    return #Name;                           \
  }
  VARNELMM_EFI_STATUS_LIST(VARNELMM_EFI_STATUS_NAME_TEST)
#undef VARNELMM_EFI_STATUS_NAME_TEST
  return 0;
}

/* ---- Handler GUID -------------------------------------------------------------------------------
 * VarnelMmGuid, C8D76438-4D3C-4BEA-BF86-926B8307A239, in the EFI_GUID layout: an initializer for
 * EFI_GUID or for the layout-identical VARNELMM_GUID. */
typedef struct {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} VARNELMM_GUID;
VARNELMM_STATIC_ASSERT(sizeof(VARNELMM_GUID) == 16, GuidBytes);
VARNELMM_STATIC_ASSERT(offsetof(VARNELMM_GUID, Data2) == 4, GuidData2);
VARNELMM_STATIC_ASSERT(offsetof(VARNELMM_GUID, Data3) == 6, GuidData3);
VARNELMM_STATIC_ASSERT(offsetof(VARNELMM_GUID, Data4) == 8, GuidData4);

#define VARNELMM_GUID_INITIALIZER                    \
  {                                                  \
    0xC8D76438, 0x4D3C, 0x4BEA, {                    \
      0xBF, 0x86, 0x92, 0x6B, 0x83, 0x07, 0xA2, 0x39 \
    }                                                \
  }

/* ---- Flash window -------------------------------------------------------------------------------
 * Offset is an address in the normal world's flash window; flash offset 0 lies at its base. */
#define VARNELMM_FLASH_WINDOW_BASE UINT64_C(0x91A00000)

/* ---- Secure firmware ----------------------------------------------------------------------------
 * SMC64 fast-call identifiers the driver issues with `svc #0`, arguments in x0-x7, results in
 * x0-x3, and the flash service's sub-commands (x1). X(Number, Id). */
#define VARNELMM_FLASH_SERVICE_ID UINT64_C(0xC4000070)
#define VARNELMM_TRANSLATE_ADDRESS_ID UINT64_C(0xC200FFF1)

#define VARNELMM_SUB_COMMAND_LIST(X) \
  X(0, GetInfo)                      \
  X(1, Read)                         \
  X(2, Write)                        \
  X(3, Erase)                        \
  X(4, GetNvInfo)                    \
  X(5, GetNv2Info)                   \
  X(6, GetFailSafeInfo)              \
  X(7, Authenticate)                 \
  X(8, SeedDeploy)                   \
  X(9, SecureRead)                   \
  X(10, SecureWrite)                 \
  X(11, SecureErase)                 \
  X(12, RegionLock)                  \
  X(13, SecureRegionLock)            \
  X(14, LockRegionLock)

enum VarnelMmSubCommand {
#define VARNELMM_SUB_COMMAND_ENUMERATOR(Number, Id) VarnelMmSub##Id = Number,
  VARNELMM_SUB_COMMAND_LIST(VARNELMM_SUB_COMMAND_ENUMERATOR)
#undef VARNELMM_SUB_COMMAND_ENUMERATOR
      VarnelMmHighestSubCommand = VarnelMmSubLockRegionLock
};

#endif /* VARNELMM_PROTOCOL_H */
