// The debugger output of the user runtime.
#include <gtest/gtest.h>

#include "platform/user/win32.h"

namespace {

TEST(UserDebugOutput, WritesTheTextAsItIsToStandardError) {
  testing::internal::CaptureStderr();
  OutputDebugStringA("first line\n");
  OutputDebugStringA("no newline");
  OutputDebugStringA(nullptr);
  OutputDebugStringA("");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "first line\nno newline");
}

}  // namespace
