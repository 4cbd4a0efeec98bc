// The memory-region translation manager: the adapter-wide budgets of
// page-list chunks (4 KB chunks of 512 addresses, 256-byte chunks of 32) and
// the page-list layout of each region.
//
// Page-list addresses handed to the register request are physical: the
// address list (one level), the root (two levels) or, for a contiguous
// region, its first page.
#include <algorithm>
#include <cstring>

#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/rm/rm_internal.h"

using namespace zekrm;

namespace {

constexpr std::uint32_t kEntriesPer4k = ZEK_PBL_4K / 8;    // 512
constexpr std::uint32_t kEntriesPer256 = ZEK_PBL_256 / 8;  // 32

std::uint32_t ceil_div(std::uint32_t a, std::uint32_t b) { return (a + b - 1) / b; }

bool physical(const void* address, std::uint64_t* pa) {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  if (OSPrimGetPaFromVa(address, &low, &high) != ZEK_STATUS_PASS) return false;
  *pa = (static_cast<std::uint64_t>(high) << 32) | low;
  return true;
}

}  // namespace

ZekStatus MRTE_ChoosePbl(std::uint32_t entries, bool contiguous, std::int32_t free256, std::int32_t free4k,
                         std::int32_t initial4k, ZekPblChoice* choice) {
  *choice = ZekPblChoice{};
  if (contiguous) return ZEK_STATUS_PASS;
  const std::uint32_t f256 = static_cast<std::uint32_t>(std::max(free256, 0));
  const std::uint32_t f4k = static_cast<std::uint32_t>(std::max(free4k, 0));
  const std::uint32_t u = ceil_div(entries, kEntriesPer4k);
  const std::uint32_t g = ceil_div(entries, kEntriesPer256);
  const bool two_levels = u > 1;
  const std::uint32_t need4k = u + (two_levels ? 1 : 0);
  auto use_4k = [&] {
    *choice = ZekPblChoice{two_levels ? 2u : 1u, ZEK_PBL_4K, u, need4k, two_levels ? 2 * ZEK_PBL_4K : 0};
    return ZEK_STATUS_PASS;
  };
  auto use_256 = [&] {
    // More than 32 entries: g leaves and one 256-byte root.
    *choice = g > 1 ? ZekPblChoice{2, ZEK_PBL_256, g, g + 1, 2 * ZEK_PBL_256} : ZekPblChoice{1, ZEK_PBL_256, 1, 1, 0};
    return ZEK_STATUS_PASS;
  };
  if (entries <= kEntriesPer256) {
    if (f256 >= 1) return use_256();
    if (f4k >= 1) return use_4k();
  } else if (entries <= 2048) {
    const bool enough4k = f4k >= need4k;
    if (enough4k && static_cast<std::int64_t>(f4k) * 2 > initial4k) return use_4k();
    if (f256 >= g + 1) return use_256();
    if (enough4k) return use_4k();
  } else if (f4k >= u + 1) {
    return use_4k();
  }
  ZEK_LOG_FAILURE("mrte: low pbl count, 4KByte 0x%x 256 byte 0x%x\n", free4k, free256);
  return ZEK_STATUS_FAIL;
}

namespace {

// Takes the chosen chunks from the budgets (owner's lock held by the caller).
void take(ZekMrte* owner, const ZekPblChoice& choice, ZekMrChunks* chunks) {
  if (choice.ChunkSize == ZEK_PBL_256) {
    owner->Free256 -= static_cast<std::int32_t>(choice.Taken);
    chunks->Chunks256 += choice.Taken;
  } else if (choice.ChunkSize == ZEK_PBL_4K) {
    owner->Free4k -= static_cast<std::int32_t>(choice.Taken);
    chunks->Chunks4k += choice.Taken;
  }
}

void free_made(ZekMrAllocInfo* info) {
  if (info->Root != nullptr) mifh_free_pbl_buffer(info->Root, info->RootBytes);
  if (info->AddressList != nullptr) mifh_free_pbl_buffer(info->AddressList, info->AddressListBytes);
  info->Root = nullptr;
  info->AddressList = nullptr;
}

ZekStatus king_setup(ZekMrte* owner, ZekMrDescription* mr, ZekMrChunks* chunks, ZekMrAllocInfo* info) {
  if (ZekIsBadPointer(info)) {
    ZEK_LOG_FAILURE("MRTE_King_Setup_MR_From_Verbs: Bad AllocInfo pointer\n");
    return ZEK_STATUS_BAD_PTR;
  }
  *info = ZekMrAllocInfo{};
  if (ZekIsBadPointer(mr) || ZekIsBadPointer(chunks)) return ZEK_STATUS_BAD_PTR;
  const std::uint64_t* list = mr->PageList;
  std::uint32_t count = mr->PageCount;
  std::uint32_t page_size = mr->PageSize;
  if (list == nullptr) {
    if (mr->VirtualAddress == 0 || mr->TotalLength == 0) {
      ZEK_LOG_FAILURE("MRTE_King_Setup_MR_From_Verbs: pVA and Total Len are zero\n");
      return ZEK_STATUS_FAIL;
    }
    if (count != 1) {
      // A region known only by its virtual address is described by the
      // verbs, which map it into a physical page list first.
      ZEK_LOG_FAILURE("MRTE_King_Setup_MR_From_Verbs: Unable to map pages to a valid size\n");
      return ZEK_STATUS_FAIL;
    }
  }
  bool contiguous = count <= 1;
  std::uint32_t used_size = ZEK_PAGE_4K;
  if (list != nullptr && count > 0) {
    if (page_size == 0 || page_size % ZEK_PAGE_4K != 0) {
      ZEK_LOG_FAILURE("MRTE_King_Setup_MR_From_Verbs: Page size smaller than 4K\n");
      return ZEK_STATUS_FAIL;
    }
    contiguous = true;
    for (std::uint32_t i = 1; i < count && contiguous; ++i) contiguous = list[i] == list[i - 1] + page_size;
    used_size = page_size;
    if (!contiguous && page_size != ZEK_PAGE_4K && page_size != ZEK_PAGE_2M) {
      // Re-expressed in 4 KB pages, or 2 MB pages for sizes that are a
      // multiple of 2 MB above it.
      used_size = page_size > ZEK_PAGE_2M && page_size % ZEK_PAGE_2M == 0 ? ZEK_PAGE_2M : ZEK_PAGE_4K;
      const std::uint64_t per_page = page_size / used_size;
      const std::uint64_t total = ((static_cast<std::uint64_t>(count) * per_page) + 3) & ~std::uint64_t{3};
      if (total > ZEK_MRTE_MAX_ENTRIES) {
        ZEK_LOG_FAILURE(
            "MRTE_King_Setup_MR_From_Verbs: AddressListLength32Align (%xh) is more than max supported 512 k entries\n",
            static_cast<unsigned>(total));
        return ZEK_STATUS_FAIL;
      }
      const std::uint32_t bytes = static_cast<std::uint32_t>(total * 8);
      void* made = nullptr;
      if (mifh_allocate_pbl_buffer(bytes, &made) == nullptr || made == nullptr) {
        ZEK_LOG_FAILURE("Error: Unable to allocate %d bytes for Create_MRTEM\n", static_cast<int>(bytes));
        return ZEK_STATUS_RES_INSUFFICIENT_SW;
      }
      std::memset(made, 0, bytes);
      auto* out = static_cast<std::uint64_t*>(made);
      for (std::uint32_t i = 0; i < count; ++i) {
        for (std::uint64_t j = 0; j < per_page; ++j) out[i * per_page + j] = list[i] + j * used_size;
      }
      info->AddressList = made;
      info->AddressListBytes = bytes;
      list = out;
      count = static_cast<std::uint32_t>(count * per_page);
    }
  }
  const std::uint32_t entries = (count + 3) & ~3u;
  if (!contiguous && entries > ZEK_MRTE_MAX_ENTRIES) {
    ZEK_LOG_FAILURE(
        "MRTE_King_Setup_MR_From_Verbs: AddressListLength32Align (%xh) is more than max supported 512 k entries\n",
        entries);
    free_made(info);
    return ZEK_STATUS_FAIL;
  }
  if (acquire(&owner->Lock) != ZEK_STATUS_PASS) {
    free_made(info);
    return ZEK_STATUS_FAIL;
  }
  ZekPblChoice choice{};
  ZekStatus status = MRTE_ChoosePbl(entries, contiguous, owner->Free256, owner->Free4k, owner->Initial4k, &choice);
  if (status == ZEK_STATUS_PASS) take(owner, choice, chunks);
  release(&owner->Lock);
  if (status != ZEK_STATUS_PASS) {
    free_made(info);  // the address list goes back with the refusal
    return status;
  }
  std::uint64_t address = 0;
  if (choice.Levels == 2) {
    void* root = nullptr;
    if (mifh_allocate_pbl_buffer(choice.RootBytes, &root) == nullptr || root == nullptr) {
      status = ZEK_STATUS_RES_INSUFFICIENT_SW;
    } else {
      info->Root = root;
      info->RootBytes = choice.RootBytes;
      std::memset(root, 0, choice.RootBytes);
      auto* pieces = static_cast<std::uint64_t*>(root);
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(list);
      for (std::uint32_t i = 0; i < choice.ChunkCount && status == ZEK_STATUS_PASS; ++i) {
        if (!physical(bytes + static_cast<std::size_t>(i) * choice.ChunkSize, &pieces[i])) status = ZEK_STATUS_FAIL;
      }
      if (status == ZEK_STATUS_PASS && !physical(root, &address)) status = ZEK_STATUS_FAIL;
    }
  } else if (choice.Levels == 1) {
    if (!physical(list, &address)) status = ZEK_STATUS_FAIL;
  } else if (list != nullptr) {
    address = list[0];
  }
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("MRTE_King_Setup_MR_From_Verbs: Unable to retrieve physical addresses\n");
    acquire(&owner->Lock);
    owner->Free256 += static_cast<std::int32_t>(chunks->Chunks256);
    owner->Free4k += static_cast<std::int32_t>(chunks->Chunks4k);
    release(&owner->Lock);
    *chunks = ZekMrChunks{};
    free_made(info);
    return status;
  }
  info->Levels = choice.Levels;
  mr->PageListAddress = address;
  mr->FirstByteOffset = mr->VirtualAddress % used_size;
  mr->PageCount = contiguous ? 0 : entries * 8;
  mr->PageSize = used_size;
  mr->PageSizeUsed = used_size;
  mr->ChunkSize = choice.ChunkSize;
  mr->ChunkCount = choice.ChunkCount;
  return ZEK_STATUS_PASS;
}

ZekStatus king_create_complete(ZekMrte*, ZekMrAllocInfo* info) {
  if (ZekIsBadPointer(info)) return ZEK_STATUS_BAD_PTR;
  free_made(info);
  return ZEK_STATUS_PASS;
}

ZekStatus king_teardown(ZekMrte* owner, ZekMrChunks* chunks) {
  if (ZekIsBadPointer(chunks)) return ZEK_STATUS_BAD_PTR;
  if (acquire(&owner->Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  owner->Free256 += static_cast<std::int32_t>(chunks->Chunks256);
  owner->Free4k += static_cast<std::int32_t>(chunks->Chunks4k);
  *chunks = ZekMrChunks{};
  release(&owner->Lock);
  return ZEK_STATUS_PASS;
}

ZekStatus king_query(ZekMrte* owner, ZekMrteQuery* query) {
  if (ZekIsBadPointer(query)) return ZEK_STATUS_BAD_PTR;
  if (acquire(&owner->Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  query->Initial256 = static_cast<std::uint32_t>(owner->Initial256);
  query->Initial4k = static_cast<std::uint32_t>(owner->Initial4k);
  query->Used256 = static_cast<std::uint32_t>(owner->Initial256 - owner->Free256);
  query->Used4k = static_cast<std::uint32_t>(owner->Initial4k - owner->Free4k);
  release(&owner->Lock);
  return ZEK_STATUS_PASS;
}

std::int32_t* budget_of(ZekMrte* owner, std::uint32_t size) {
  if (size == ZEK_PBL_256) return &owner->Free256;
  if (size == ZEK_PBL_4K) return &owner->Free4k;
  return nullptr;
}

ZekStatus king_allocate_chunk(ZekMrte* owner, std::uint32_t size) {
  std::int32_t* budget = budget_of(owner, size);
  if (budget == nullptr) return ZEK_STATUS_FAIL;
  if (acquire(&owner->Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  const ZekStatus status = *budget > 0 ? ZEK_STATUS_PASS : ZEK_STATUS_FAIL;
  if (status == ZEK_STATUS_PASS) --*budget;
  release(&owner->Lock);
  return status;
}

ZekStatus king_free_chunk(ZekMrte* owner, std::uint32_t size) {
  std::int32_t* budget = budget_of(owner, size);
  if (budget == nullptr) return ZEK_STATUS_FAIL;
  if (acquire(&owner->Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  ++*budget;
  release(&owner->Lock);
  return ZEK_STATUS_PASS;
}

ZekStatus mrte_handoff(ZekExclusionObject* new_head, ZekExclusionObject* old_head) {
  const ZekStatus status = ExclusionIF_Handoff(new_head, old_head);
  if (status != ZEK_STATUS_PASS || old_head == nullptr) return status;
  auto* to = reinterpret_cast<ZekMrte*>(new_head);
  const auto* from = reinterpret_cast<const ZekMrte*>(old_head);
  to->Free256 = from->Free256;
  to->Free4k = from->Free4k;
  to->Initial256 = from->Initial256;
  to->Initial4k = from->Initial4k;
  return ZEK_STATUS_PASS;
}

// The follower's failure text: "<routine>: <operation> returned <status text>".
ZekStatus report(const char* routine, const char* operation, ZekStatus status) {
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: %s returned %s", routine, operation, ZEK_GetErrorMessage(status));
  }
  return status;
}

}  // namespace

ZekStatus Create_MRTEM(ZekMrte** out, const ZekGimTable* gim, void* gim_handle, MifhDeviceObj* device) {
  if (ZekIsBadPointer(device)) {
    ZEK_LOG_FAILURE("Create_MRTEM: Bad pDevObject pointer passed to Create_GIM\n");
    return ZEK_STATUS_BAD_PTR;
  }
  if (ZekIsBadPointer(out)) {
    ZEK_LOG_FAILURE("Create_MRTEM: Bad pMRTEIF_Handle pointer passed to Create_GIM\n");
    return ZEK_STATUS_BAD_PTR;
  }
  *out = nullptr;
  ZekRmHardwareInfo hw{};
  if (GetHardwareInfo(device, &hw) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  auto* mrte = allocate_zeroed<ZekMrte>();
  if (mrte == nullptr) {
    ZEK_LOG_FAILURE("Create_MRTEM: Unable to allocate %d bytes for Create_MRTEM\n", static_cast<int>(sizeof(ZekMrte)));
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  if (OSPrimSyncInitSpinlockObject(&mrte->Lock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Create_MRTEM: Failed to create spinlock object\n");
    OSPrimMemFree(mrte);
    return ZEK_STATUS_FAIL;
  }
  mrte->Device = device;
  mrte->Initial256 = mrte->Free256 = static_cast<std::int32_t>(hw.Pbl256Chunks) - ZEK_MRTE_RESERVED_CHUNKS;
  mrte->Initial4k = mrte->Free4k = static_cast<std::int32_t>(hw.Pbl4kChunks) - ZEK_MRTE_RESERVED_CHUNKS;
  mrte->Head.Handoff = &mrte_handoff;
  if (GIMUser_Init(&mrte->Head, gim, gim_handle, MRTE_MNGR_INTERFACE) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Create_MRTEM: GIMUser_Init Failed\n");
    OSPrimSyncDestroySpinlockObject(&mrte->Lock);
    OSPrimMemFree(mrte);
    return ZEK_STATUS_FAIL;
  }
  *out = mrte;
  return ZEK_STATUS_PASS;
}

ZekStatus Cleanup_MRTEM(ZekMrte* mrte) {
  if (ZekIsBadPointer(mrte) || !ZekExclusionValid(&mrte->Head)) return ZEK_STATUS_BAD_PTR;
  if (GIMUser_Cleanup(&mrte->Head) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Cleanup_MRTEM: GIMUser_Cleanup Failed\n");
    return ZEK_STATUS_FAIL;
  }
  if (OSPrimSyncDestroySpinlockObject(&mrte->Lock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Cleanup_MRTEM: Could not Destroy Spinlock\n");
  }
  OSPrimMemFree(mrte);
  return ZEK_STATUS_PASS;
}

ZekStatus MRTE_Serf_Setup_MR_From_Verbs(ZekMrte* mrte, ZekMrDescription* mr, ZekMrChunks* chunks,
                                        ZekMrAllocInfo* info) {
  return report("MRTE_Serf_Setup_MR_From_Verbs", "Setup_MR_From_Verbs",
                forward(mrte, "MRTE_Serf_Setup_MR_From_Verbs: Acquire Spinlock Failed\n",
                        "MRTE_Serf_Setup_MR_From_Verbs: Release Spinlock Failed\n",
                        [&](ZekMrte* owner) { return king_setup(owner, mr, chunks, info); }));
}

ZekStatus MRTE_Serf_Create_Complete(ZekMrte* mrte, ZekMrAllocInfo* info) {
  return report("MRTE_Serf_Create_Complete", "Create_Complete",
                forward(mrte, "MRTE_Serf_Create_Complete: Acquire Spinlock Failed\n",
                        "MRTE_Serf_Create_Complete: Release Spinlock Failed\n",
                        [&](ZekMrte* owner) { return king_create_complete(owner, info); }));
}

ZekStatus MRTE_Serf_Teardown_MR(ZekMrte* mrte, ZekMrChunks* chunks) {
  return report("MRTE_Serf_Teardown_MR", "Teardown_MR",
                forward(mrte, "MRTE_Serf_Teardown_MR: Acquire Spinlock Failed\n",
                        "MRTE_Serf_Teardown_MR: Release Spinlock Failed\n",
                        [&](ZekMrte* owner) { return king_teardown(owner, chunks); }));
}

ZekStatus MRTE_Serf_QueryResourceAllocation(ZekMrte* mrte, ZekMrteQuery* query) {
  return report("MRTE_Serf_QueryResourceAllocation", "QueryResourceAllocation",
                forward(mrte, "MRTE_Serf_QueryResourceAllocation: Acquire Spinlock Failed\n",
                        "MRTE_Serf_QueryResourceAllocation: Release Spinlock Failed\n",
                        [&](ZekMrte* owner) { return king_query(owner, query); }));
}

ZekStatus MRTE_Serf_AllocatePBLChunk(ZekMrte* mrte, std::uint32_t size) {
  return report("MRTE_Serf_AllocatePBLChunk", "AllocatePBLChunk",
                forward(mrte, "MRTE_Serf_AllocatePBLChunk: Acquire Spinlock Failed\n",
                        "MRTE_Serf_AllocatePBLChunk: Release Spinlock Failed\n",
                        [&](ZekMrte* owner) { return king_allocate_chunk(owner, size); }));
}

ZekStatus MRTE_Serf_FreePBLChunk(ZekMrte* mrte, std::uint32_t size) {
  return report("MRTE_Serf_FreePBLChunk", "FreePBLChunk",
                forward(mrte, "MRTE_Serf_FreePBLChunk: Acquire Spinlock Failed\n",
                        "MRTE_Serf_FreePBLChunk: Release Spinlock Failed\n",
                        [&](ZekMrte* owner) { return king_free_chunk(owner, size); }));
}

const ZekMrteTable g_ZekMrteTable = {
    table_header<ZekMrteTable>(),
    &Create_MRTEM,
    &Cleanup_MRTEM,
    &MRTE_Serf_Setup_MR_From_Verbs,
    &MRTE_Serf_Create_Complete,
    &MRTE_Serf_Teardown_MR,
    &MRTE_Serf_QueryResourceAllocation,
    &MRTE_Serf_AllocatePBLChunk,
    &MRTE_Serf_FreePBLChunk,
};
