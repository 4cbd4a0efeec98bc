// The managers of an attached function: created in the attach's order, and
// a failure at each creation unwinds exactly what was made, leaving the
// other function's managers as they were.
#include "proxy/core/adapter_managers.h"
#include "proxy/core/fault_injection.h"
#include "tests/proxy/rdma/rm/rm_fixture.h"

namespace {

const ZpxManagerTables kTables = {&g_ZekGimTable, &g_ZekGlmiTable, &g_ZekGromitTable, &g_ZekLarmitTable,
                                  &g_ZekMrteTable};

using AdapterManagers = RmTest;

TEST_F(AdapterManagers, AFailureAtEachCreationUnwindsExactly) {
  ZpxAdapterManagers other{};
  ASSERT_EQ(ZpxCreateAdapterManagers(&kTables, device(1), 1, &other), ZEK_STATUS_PASS);
  const std::uint64_t owner = scratchpad_value();
  const std::uint64_t blocks = kernel().pool().blocks_in_use();
  struct Case {
    ZpxFaultStep step;
    const char* logged;
  };
  const Case cases[] = {
      {ZpxFaultStep::CreateGim, "Create_GIM() returned error"},
      {ZpxFaultStep::CreateGlmi, "Create_Glmi() returned error"},
      {ZpxFaultStep::CreateGromit, "Create_Gromit() returned error"},
      {ZpxFaultStep::CreateLarmit, "Create_Larmit() returned error"},
      {ZpxFaultStep::CreateMrte, "Create_Mrte() returned error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    OSPrimLogRingClear();
    g_ZpxInjectedFault = c.step;
    ZpxAdapterManagers m{};
    EXPECT_EQ(ZpxCreateAdapterManagers(&kTables, device(0), 0, &m), ZEK_STATUS_FAIL);
    g_ZpxInjectedFault = ZpxFaultStep::None;
    EXPECT_TRUE(logged(c.logged));
    EXPECT_EQ(m.Gim, nullptr);
    EXPECT_EQ(m.Mrte, nullptr);
    EXPECT_EQ(scratchpad_value(), owner) << "the other function still owns";
    EXPECT_EQ(other.Gim->Head.FollowerCount, 1u);
    EXPECT_EQ(kernel().pool().blocks_in_use(), blocks) << kernel().pool().leak_report();
  }
  // And then it works: both functions number from one adapter.
  ZpxAdapterManagers m{};
  ASSERT_EQ(ZpxCreateAdapterManagers(&kTables, device(0), 0, &m), ZEK_STATUS_PASS);
  std::uint32_t a = 0, b = 0;
  ASSERT_EQ(L_GetResource(m.Larmit, ZEK_RES_QP, &a), ZEK_STATUS_PASS);
  ASSERT_EQ(L_GetResource(other.Larmit, ZEK_RES_QP, &b), ZEK_STATUS_PASS);
  EXPECT_NE(a / 8, b / 8) << "each function borrows its own block";
  L_FreeResource(m.Larmit, ZEK_RES_QP, a);
  L_FreeResource(other.Larmit, ZEK_RES_QP, b);
  EXPECT_EQ(ZpxCleanupAdapterManagers(&kTables, &m), ZEK_STATUS_PASS);
  EXPECT_EQ(ZpxCleanupAdapterManagers(&kTables, &other), ZEK_STATUS_PASS);
  EXPECT_EQ(scratchpad_value(), 0u);
}

}  // namespace
