// The resource counts of an attached adapter (the management review request).
#include "proxy/rdma/verbs/resource_counts.h"

#include <cstring>

#include "include/zek/mgmt.h"
#include "proxy/core/attach_internal.h"
#include "proxy/core/zpx.h"

namespace {

// The counts of the adapter whose managers `hw` holds, while its detach is
// kept out.
ZekStatus query(const ProxyHwAdapterInfo* hw, std::uint32_t* first, std::uint32_t* second) {
  ZekAllocationRecord local{}, global{};
  const ZekLarmitTable* larmit = g_ZpxLrmTable;
  const ZekMrteTable* mrte = g_ZpxMrteTable;
  if (larmit == nullptr || mrte == nullptr) return ZEK_STATUS_FAIL;
  ZekStatus status = larmit->QueryResourceAllocation(hw->Managers.Larmit, &local, &global);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_get_resource_counts():Failed to Query larmit \n");
    return status;
  }
  ZekMrteQuery chunks{};
  status = mrte->QueryResourceAllocation(hw->Managers.Mrte, &chunks);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_get_resource_counts():Failed to Query mrte \n");
    return status;
  }
  // The chunk counts go into the words the numbering leaves free.
  global.Words[ZEK_REVIEW_MRTE_INITIAL_256] = chunks.Initial256;
  global.Words[ZEK_REVIEW_MRTE_INITIAL_4K] = chunks.Initial4k;
  global.Words[ZEK_REVIEW_MRTE_USED_256] = chunks.Used256;
  global.Words[ZEK_REVIEW_MRTE_USED_4K] = chunks.Used4k;
  static_assert(sizeof(ZekAllocationRecord) == ZEK_REVIEW_WORDS * sizeof(std::uint32_t));
  std::memcpy(first, local.Words, sizeof local.Words);
  std::memcpy(second, global.Words, sizeof global.Words);
  return ZEK_STATUS_PASS;
}

}  // namespace

extern "C" ZekStatus zek_get_resource_counts(void* adapterKey, std::uint32_t* first, std::uint32_t* second) {
  if (ZekIsBadPointer(first) || ZekIsBadPointer(second)) return ZEK_STATUS_BAD_PTR;
  if (!ZekIsBadPointer(adapterKey)) {
    for (ZpxAdapterSlot& slot : g_ZpxAdapterSlots) {
      if (slot.Record.load() == nullptr || !ZpxDetachGuardEnter(&slot.Guard)) continue;
      const ProxyAdapterInfo* info = slot.Record.load() != nullptr ? slot.Info : nullptr;
      if (info != nullptr && info->Hw != nullptr && info->Hw->Managers.Larmit == adapterKey) {
        const ZekStatus status = query(info->Hw, first, second);
        ZpxDetachGuardLeave(&slot.Guard);
        return status;
      }
      ZpxDetachGuardLeave(&slot.Guard);
    }
  }
  ZEK_LOG_FAILURE("zek_get_resource_counts():Failed to get adapter base object\n");
  return ZEK_STATUS_FAIL;
}
