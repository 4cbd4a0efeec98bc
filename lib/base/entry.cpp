// The library entry of zekbase: what happens when the library enters and
// leaves a process, ZEK_InitLib_Base / ZEK_CleanupLib_Base, and the
// use-counted module c_osprims.
#include <atomic>
#include <cstdio>

#include "lib/base/base_internal.h"

std::int32_t zek_errno = 0;

namespace {

std::atomic<std::uint32_t> g_init_lib_calls{0};  // calls of ZEK_InitLib_Base, refused ones too
std::atomic<std::uint32_t> g_osprims_uses{0};    // module c_osprims

// Leaving the process (the library's detach): the private heap goes, with
// every block still allocated from it. Nothing is needed on entering: the
// heap comes with the first allocation.
__attribute__((destructor)) void zekbase_detach() { ZekBaseDestroyHeap(); }

}  // namespace

// The user-mode build tracks no allocation (each block goes straight to the
// private heap, which the detach destroys whole), so the module has only its
// use count; the hint sizes nothing here.
ZekStatus ZEK_Init_c_osprims(std::uint32_t) {
  g_osprims_uses.fetch_add(1, std::memory_order_acq_rel);
  return ZEK_STATUS_PASS;
}

ZekStatus ZEK_Cleanup_c_osprims() {
  std::uint32_t uses = g_osprims_uses.load(std::memory_order_acquire);
  do {
    if (uses == 0) {
      ZEK_LOG_FAILURE("OSPrims uninitialized too many times\n");
      return ZEK_OSPRIM_FAILURE;
    }
  } while (!g_osprims_uses.compare_exchange_weak(uses, uses - 1, std::memory_order_acq_rel));
  return ZEK_STATUS_PASS;
}

extern "C" ZekStatus ZEK_InitLib_Base(std::uint32_t hint, std::uint32_t cookie) {
  const std::uint32_t earlier = g_init_lib_calls.fetch_add(1, std::memory_order_acq_rel);
  std::printf("WasCalled was %d\n", static_cast<int>(earlier));
  std::fflush(stdout);
  if (cookie != ZEK_ABI_COOKIE) return ZEK_STATUS_FAIL;

  ZekStatus status = ZEK_Init_c_osprims(hint != 0 ? hint : ZEK_BASE_DEFAULT_HINT);
  if (status != ZEK_STATUS_PASS) {
    OSPrimDebugPrint("ZEK_Init_c_osprims failed withe the error '%s'\n", ZEK_GetErrorMessage(status));
    return status;
  }
  status = ZEK_Init_c_err_msgs();
  if (status != ZEK_STATUS_PASS) {
    OSPrimDebugPrint("ZEK_Init_c_err_msgs failed withe the error '%s'\n", ZEK_GetErrorMessage(status));
    return status;
  }
  status = ZEK_Init_c_if_mngr();
  if (status != ZEK_STATUS_PASS) {
    OSPrimDebugPrint("ZEK_Init_c_if_mngr failed withe the error '%s'\n", ZEK_GetErrorMessage(status));
    return status;
  }
  return ZEK_STATUS_PASS;
}

extern "C" ZekStatus ZEK_CleanupLib_Base() {
  ZekStatus status = ZEK_Cleanup_c_if_mngr();
  if (status != ZEK_STATUS_PASS) return status;
  status = ZEK_Cleanup_c_err_msgs();
  if (status != ZEK_STATUS_PASS) return status;
  return ZEK_Cleanup_c_osprims();
}
