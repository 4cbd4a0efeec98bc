// A kernel with the status-message registry and the interface manager
// initialised, as the driver's library start-up leaves them; the test must
// leave them as it found them, so that the cleanups at the end succeed.
#pragma once

#include "include/zek/interfaces.h"
#include "include/zek/registry.h"
#include "tests/proxy/core/osprim_fixture.h"

class RegistryTest : public OsprimTest {
 protected:
  void SetUp() override {
    OsprimTest::SetUp();
    ASSERT_EQ(ZEK_Init_c_err_msgs(), ZEK_STATUS_PASS);
    ASSERT_EQ(ZEK_Init_c_if_mngr(), ZEK_STATUS_PASS);
  }

  void TearDown() override {
    EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_PASS);
    EXPECT_EQ(ZEK_Cleanup_c_err_msgs(), ZEK_STATUS_PASS);
    OsprimTest::TearDown();
  }
};
