// zekbase entering and leaving a process that loads it at run time: every
// load starts with fresh use counts, and the library's memory goes with it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "include/zek/status.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr std::uint32_t kCookie = 0x3DEC008A;

// The library as a loading component sees it.
class Loaded {
 public:
  Loaded() : handle_(dlopen(ZEKBASE_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~Loaded() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  Loaded(const Loaded&) = delete;
  Loaded& operator=(const Loaded&) = delete;

  bool ok() const { return handle_ != nullptr; }
  template <typename F>
  F symbol(const char* name) const {
    return reinterpret_cast<F>(dlsym(handle_, name));
  }
  void unload() {
    dlclose(handle_);
    handle_ = nullptr;
  }

 private:
  void* handle_;
};

using InitLib = ZekStatus (*)(std::uint32_t, std::uint32_t);
using CleanupLib = ZekStatus (*)();
using Allocate = ZekStatus (*)(void**, std::uint32_t);
using Free = ZekStatus (*)(void*);
constexpr const char* kAllocate = "OSPrimMemAllocate";
constexpr const char* kFree = "OSPrimMemFree";

std::string init_output(const Loaded& library, ZekStatus* status) {
  testing::internal::CaptureStdout();
  *status = library.symbol<InitLib>("ZEK_InitLib_Base")(0, kCookie);
  return testing::internal::GetCapturedStdout();
}

TEST(BaseLoad, EachLoadStartsAfreshAndUnloadingTakesTheLibrarysMemory) {
  void* left_behind = nullptr;
  {
    Loaded library;
    ASSERT_TRUE(library.ok()) << dlerror();
    ASSERT_NE(library.symbol<InitLib>("ZEK_InitLib_Base"), nullptr);
    ASSERT_NE(library.symbol<Allocate>(kAllocate), nullptr);
    ZekStatus status = ZEK_OSPRIM_FAILURE;
    EXPECT_EQ(init_output(library, &status), "WasCalled was 0\n");
    EXPECT_EQ(status, ZEK_STATUS_PASS);
    EXPECT_EQ(init_output(library, &status), "WasCalled was 1\n");
    // A block left allocated at unload goes with the library's heap.
    EXPECT_EQ(library.symbol<Allocate>(kAllocate)(&left_behind, 256), ZEK_STATUS_PASS);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_FALSE(__asan_address_is_poisoned(left_behind));
#endif
    void* freed = nullptr;
    EXPECT_EQ(library.symbol<Allocate>(kAllocate)(&freed, 64), ZEK_STATUS_PASS);
    EXPECT_EQ(library.symbol<Free>(kFree)(freed), ZEK_STATUS_PASS);
    EXPECT_EQ(library.symbol<CleanupLib>("ZEK_CleanupLib_Base")(), ZEK_STATUS_PASS);
    // One use is left on purpose: unloading does not depend on the counts.
    library.unload();
  }
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer knows freed memory: the block went with the heap.
  EXPECT_TRUE(__asan_address_is_poisoned(left_behind));
#endif
  Loaded again;
  ASSERT_TRUE(again.ok()) << dlerror();
  ZekStatus status = ZEK_OSPRIM_FAILURE;
  EXPECT_EQ(init_output(again, &status), "WasCalled was 0\n");
  EXPECT_EQ(status, ZEK_STATUS_PASS);
  EXPECT_EQ(again.symbol<CleanupLib>("ZEK_CleanupLib_Base")(), ZEK_STATUS_PASS);
  EXPECT_NE(again.symbol<CleanupLib>("ZEK_CleanupLib_Base")(), ZEK_STATUS_PASS);  // no use left
}

}  // namespace
