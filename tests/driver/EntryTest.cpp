// SPDX-License-Identifier: BSD-3-Clause
// Driver start-up through the image entry point, the fit of the boot table to the flash size, and
// the write-permission decision on both tables.
#include "driver/DriverState.h"
#include "driver/RegionAccess.h"
#include "driver/VarnelMmInternal.h"
#include "tests/driver/DriverFixture.h"

namespace drivertest {
namespace {

using models::FaultMode;

class Entry : public ::testing::Test {
 protected:
  Entry() : Platform(FixtureOptions()) {}
  models::HostPlatform Platform;
};

TEST_F(Entry, OldRevision_IsRefusedTouchingNothing) {
  // Leave traces of an earlier start, then offer a table one revision too old.
  ASSERT_EQ(Platform.StartDriver(), EFI_SUCCESS);
  Platform.Request({kFunctionRunTimeLockDown});
  Platform.Uart().ClearTrace();
  Platform.Firmware().ClearLog();
  const uint64_t Registrations = Platform.Core().RegisterCallCount();

  Platform.Core().SetRevision(0x10031);
  EXPECT_EQ(Platform.StartDriver(), EFI_INCOMPATIBLE_VERSION);
  EXPECT_EQ(Platform.Uart().TraceCount(), 0u);
  EXPECT_EQ(Platform.Firmware().CallCount(), 0u);
  EXPECT_EQ(Platform.Core().RegisterCallCount(), Registrations);
  EXPECT_TRUE(RunTimeLocked());  // not cleared
  EXPECT_EQ(Platform.StrayMmioCount(), 0u);
}

TEST_F(Entry, CurrentRevision_StartsQuietlyAndRegistersUnderTheGuid) {
  Platform.Core().SetRevision(0x10032);
  EXPECT_EQ(Platform.StartDriver(), EFI_SUCCESS);
  EXPECT_EQ(Platform.ConsoleText(), "");
  EXPECT_GT(Platform.Uart().TraceCount(), 0u);  // the console was brought up
  ASSERT_EQ(Platform.Core().HandlerCount(), 1u);
  EXPECT_EQ(Platform.Core().Handler(0).Handler, &VarnelMmiHandler);
  EXPECT_EQ(memcmp(&Platform.Core().Handler(0).HandlerType, &kVarnelMmGuid, sizeof(EFI_GUID)), 0);
  ASSERT_EQ(Platform.Firmware().CallCount(), 1u);
  EXPECT_EQ(Platform.Firmware().FindCall(0)->In[1], kSubGetInfo);
  EXPECT_EQ(Platform.BreakpointCount(), 0u);
}

TEST_F(Entry, StartClearsBothFlags) {
  ASSERT_EQ(Platform.StartDriver(), EFI_SUCCESS);
  Platform.Request({kFunctionRunTimeLockDown});
  Platform.Request({kFunctionSeedDeploy, 7});
  EXPECT_TRUE(RunTimeLocked());
  EXPECT_TRUE(SeedDeployed());
  ASSERT_EQ(Platform.StartDriver(), EFI_SUCCESS);
  EXPECT_FALSE(RunTimeLocked());
  EXPECT_FALSE(SeedDeployed());
}

TEST_F(Entry, RegistrationStatus_WarningsSucceedErrorsAreReturned) {
  struct Case {
    EFI_STATUS Answer;
    EFI_STATUS Expected;
    const char *Console;
  };
  for (const Case &Each :
       {Case{EFI_SUCCESS, EFI_SUCCESS, ""}, Case{1, EFI_SUCCESS, ""},
        Case{0x7FFFFFFFFFFFFFFF, EFI_SUCCESS, ""},
        Case{EFI_OUT_OF_RESOURCES, EFI_OUT_OF_RESOURCES, "Can't register VarnelMmiHandler\r\n"},
        Case{EFI_INVALID_PARAMETER, EFI_INVALID_PARAMETER,
             "Can't register VarnelMmiHandler\r\n"}}) {
    SCOPED_TRACE(Each.Answer);
    Platform.ClearConsole();
    Platform.Core().SetRegisterAnswer(Each.Answer);
    EXPECT_EQ(Platform.StartDriver(), Each.Expected);
    EXPECT_EQ(Platform.ConsoleText(), Each.Console);
  }
}

// Boot row 1 after start, for the flash sizes the firmware may report.
struct PatchCase {
  uint64_t ReportedSize;
  bool InfoFails;
  uint32_t ExpectedLast;
};

constexpr PatchCase kPatchCases[] = {
    {0x2000000, false, 0x1FFFFFF},
    {0x4000000, false, 0x3FFFFFF},
    {0, false, 0x3FFFFFF},
    {0x2000000, true, 0x3FFFFFF},
    {0x1700001, false, 0x1700000},
    {0x1000000, false, 0xFFFFFF},
    {0x100000000, false, 0xFFFFFFFF},
    {0x300000000 + 0x1800000, false, 0x17FFFFF},
};

TEST_F(Entry, AclPatch_FitsBootRowOneToTheReportedSize) {
  for (const PatchCase &Case : kPatchCases) {
    SCOPED_TRACE(testing::Message() << std::hex << Case.ReportedSize << " " << Case.InfoFails);
    Platform.ClearConsole();
    Platform.Firmware().SetReportedFlashSize(Case.ReportedSize);
    if (Case.InfoFails) {
      Platform.Firmware().InjectFault(kSubGetInfo, models::kFwNotSupported, FaultMode::kOnce);
    }
    // Each start begins again from the built-in table.
    ASSERT_EQ(Platform.StartDriver(), EFI_SUCCESS);
    EXPECT_EQ(BootRegionRow(1).First, 0x1700000u);
    EXPECT_EQ(BootRegionRow(1).Last, Case.ExpectedLast);
    EXPECT_EQ(Platform.ConsoleText(),
              Case.InfoFails ? "SpiNorAclPatch Can't get Varnel Info\r\n" : "");
    for (uint64_t Row = 0; Row < kBootRegionRows; ++Row) {
      if (Row != 1) {
        EXPECT_EQ(BootRegionRow(Row).Last, config::kBootRegionTable[Row].Last);
      }
    }
  }
}

TEST_F(Entry, AclPatch_EdgeSizesChangeWhatTheTableAdmits) {
  Platform.Firmware().SetReportedFlashSize(0x1700001);  // row 1 now ends the table
  ASSERT_EQ(Platform.StartDriver(), EFI_SUCCESS);
  EXPECT_TRUE(SpiNorIsWriteAllowed(kWindow, 0x1000, false));
  EXPECT_FALSE(SpiNorIsWriteAllowed(kWindow + 0x120000, 0x1000, false));
  EXPECT_FALSE(SpiNorIsWriteAllowed(kWindow + 0x2F0000, 0x1000, false));

  Platform.Firmware().SetReportedFlashSize(0x1000000);  // Last below First: the walk goes on
  ASSERT_EQ(Platform.StartDriver(), EFI_SUCCESS);
  EXPECT_FALSE(SpiNorIsWriteAllowed(kWindow + 0x1700000, 0, false));
  EXPECT_TRUE(SpiNorIsWriteAllowed(kWindow + 0x120000, 0x1000, false));

  Platform.Firmware().SetReportedFlashSize(0x100000000);  // Last 0xFFFFFFFF: Limit wraps to 0
  ASSERT_EQ(Platform.StartDriver(), EFI_SUCCESS);
  EXPECT_FALSE(SpiNorIsWriteAllowed(kWindow + 0x1700000, 1, false));
  EXPECT_FALSE(SpiNorIsWriteAllowed(kWindow + 0x1700000, 0, false));
  EXPECT_TRUE(SpiNorIsWriteAllowed(kWindow + 0x2F0000, 0x1000, false));

  // A failed information call leaves row 1 ending at 0x3FFFFFF, and requests are served by it.
  Platform.Firmware().InjectFault(kSubGetInfo, models::kFwNotSupported, FaultMode::kOnce);
  ASSERT_EQ(Platform.StartDriver(), EFI_SUCCESS);
  EXPECT_TRUE(SpiNorIsWriteAllowed(kWindow + 0x3FFF000, 0x1000, false));
  EXPECT_FALSE(SpiNorIsWriteAllowed(kWindow + 0x3FFF000, 0x1001, false));
}

// The decision on the built-in tables.
struct PermissionCase {
  uint64_t WindowOffset;
  uint32_t Length;
  bool Boot;
  bool RunTime;
};

constexpr PermissionCase kPermissionCases[] = {
    {0x0, 0x1000, true, true},
    {0x11F000, 0x1000, true, false},   // ends exactly at row 0's Last + 1
    {0x11F000, 0x2000, false, false},  // crosses from row 0 into row 2
    {0xFF000, 0x1000, true, true},     // run-time row 0 ends at 0xFFFFF
    {0xFF000, 0x1001, true, false},
    {0x100000, 1, true, false},
    {0x120000, 0, true, false},   // zero length inside a row
    {0x180000, 1, false, false},  // in no row
    {0x2F0000, 0x100000, true, true},
    {0x2F0000, 0x100001, false, false},
    {0x3EFFFF, 1, true, true},
    {0x3F0000, 0, false, false},
    {0x1700000, 0x2900000, true, false},  // the whole of boot row 1
    {0x1700000, 0x2900001, false, false},
    {0x0, 0xFFFFFFFF, false, false},
    {0x4000000, 0, false, false},
};

TEST(RegionAccess, BuiltInTables_JudgeRangesWhole) {
  SpiNorAclRestore();
  for (const PermissionCase &Case : kPermissionCases) {
    SCOPED_TRACE(testing::Message() << std::hex << Case.WindowOffset << " " << Case.Length);
    EXPECT_EQ(SpiNorIsWriteAllowed(kWindow + Case.WindowOffset, Case.Length, false), Case.Boot);
    EXPECT_EQ(SpiNorIsWriteAllowed(kWindow + Case.WindowOffset, Case.Length, true), Case.RunTime);
  }
}

TEST(RegionAccess, OffsetsBelowTheWindow_AreRefused) {
  SpiNorAclRestore();
  for (uint64_t Offset : {uint64_t{0}, kWindow - 1, kWindow - 0x1000, uint64_t{0x1000}}) {
    EXPECT_FALSE(SpiNorIsWriteAllowed(Offset, 0x1000, false));
    EXPECT_FALSE(SpiNorIsWriteAllowed(Offset, 0xFFFFFFFF, false));
  }
}

// The driver offers the table read-only; this test disturbs the (non-const) rows to see how a
// row ends the table, and restores them.
config::RegionAccessEntry &Row(uint64_t Index) {
  return const_cast<config::RegionAccessEntry &>(BootRegionRow(Index));
}

TEST(RegionAccess, PermissionBits_DecideAndEndTheTable) {
  SpiNorAclRestore();
  Row(0).Permission = 1;  // the row matches but may not be changed: no later row
  EXPECT_FALSE(SpiNorIsWriteAllowed(kWindow, 0x1000, false));
  EXPECT_TRUE(SpiNorIsWriteAllowed(kWindow + 0x120000, 0x1000, false));
  Row(0).Permission = 0;  // a row without permission ends the table
  EXPECT_FALSE(SpiNorIsWriteAllowed(kWindow + 0x120000, 0x1000, false));
  SpiNorAclRestore();
  Row(2).First = Row(2).Last;  // First equal to Last ends it too
  EXPECT_FALSE(SpiNorIsWriteAllowed(kWindow + 0x130000, 0x1000, false));
  EXPECT_TRUE(SpiNorIsWriteAllowed(kWindow, 0x1000, false));
  SpiNorAclRestore();
  EXPECT_TRUE(SpiNorIsWriteAllowed(kWindow + 0x130000, 0x1000, false));
}

}  // namespace
}  // namespace drivertest
