// Resource numbering. The owner GRoMiT lends whole blocks of each number
// range to PCI functions; each function's LaRMiT hands out single numbers
// from the blocks it borrowed.
//
// A pool's free ring holds block indexes from A (next to lend) up to F + n
// (next place a freed block goes), so A - F blocks are lent. Every block on
// the ring has the free tag; a block is never lent twice.
#include <cstring>

#include "proxy/rdma/rm/rm_internal.h"

using namespace zekrm;

namespace {

ZekGromitPool* pool_of(ZekGromit* gromit, std::uint32_t type) {
  return type < ZEK_RES_TYPES ? &gromit->Pools[type] : nullptr;
}

// Puts a block back on the ring (pool lock held).
void ring_push(ZekGromitPool* pool, std::uint32_t block) {
  pool->Ring[pool->Free++] = block;
  if (pool->Free == pool->Blocks) {
    pool->Free -= pool->Blocks;
    pool->Alloc -= pool->Blocks;
  }
}

ZekStatus king_alloc(ZekGromit* owner, std::uint32_t tag, std::uint32_t type, std::uint32_t* first,
                     std::uint32_t* block_size) {
  if (tag > ZEK_GROMIT_MAX_TAG) return ZEK_GROMIT_BAD_TAG;
  ZekGromitPool* pool = pool_of(owner, type);
  if (pool == nullptr) return ZEK_GROMIT_BAD_TYPE;
  if (ZekIsBadPointer(first) || ZekIsBadPointer(block_size)) return ZEK_STATUS_BAD_PTR;
  if (acquire(&owner->PoolLock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  ZekStatus status = ZEK_GROMIT_NO_BLOCK;
  if (pool->Blocks > 0 && pool->Alloc - pool->Free < pool->Blocks) {
    const std::uint32_t block = pool->Ring[pool->Alloc % pool->Blocks];
    if (block >= pool->Blocks || pool->Tags[block] != ZEK_GROMIT_FREE_TAG) {
      ZEK_LOG_FAILURE("Global Resource Manager in an inconsistant state\n");
      status = ZEK_STATUS_FAIL;
    } else {
      ++pool->Alloc;
      pool->Tags[block] = static_cast<std::uint8_t>(tag);
      *first = pool->Base + block * pool->BlockSize;
      *block_size = pool->BlockSize;
      status = ZEK_STATUS_PASS;
    }
  }
  release(&owner->PoolLock);
  return status;
}

ZekStatus king_free(ZekGromit* owner, std::uint32_t type, std::uint32_t first, std::uint32_t block_size) {
  ZekGromitPool* pool = pool_of(owner, type);
  if (pool == nullptr) return ZEK_GROMIT_BAD_TYPE;
  if (block_size != pool->BlockSize || first < pool->Base || (first - pool->Base) % block_size != 0 ||
      (first - pool->Base) / block_size >= pool->Blocks) {
    ZEK_LOG_FAILURE("GRomit_King_FreeBlock: block %x of %s is not one of the pool's (size %u)\n", first,
                    ZekResourceTypeName(type), block_size);
    return ZEK_STATUS_FAIL;
  }
  const std::uint32_t block = (first - pool->Base) / block_size;
  if (acquire(&owner->PoolLock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  ZekStatus status = ZEK_STATUS_PASS;
  if (pool->Tags[block] == ZEK_GROMIT_FREE_TAG) {
    ZEK_LOG_FAILURE("GRomit_King_FreeBlock: block %x of %s was not lent\n", first, ZekResourceTypeName(type));
    status = ZEK_STATUS_FAIL;
  } else if (pool->Alloc == pool->Free) {
    ZEK_LOG_FAILURE("Global Resource Manager in an inconsistant state\n");
    status = ZEK_STATUS_FAIL;
  } else {
    pool->Tags[block] = ZEK_GROMIT_FREE_TAG;
    ring_push(pool, block);
  }
  release(&owner->PoolLock);
  return status;
}

ZekStatus king_query_block(ZekGromit* owner, std::uint32_t type, std::uint32_t index, std::uint32_t* tag) {
  ZekGromitPool* pool = pool_of(owner, type);
  if (pool == nullptr) return ZEK_GROMIT_BAD_TYPE;
  if (index >= pool->Blocks) return ZEK_GROMIT_BAD_INDEX;
  if (ZekIsBadPointer(tag)) return ZEK_STATUS_BAD_PTR;
  *tag = pool->Tags[index];
  return ZEK_STATUS_PASS;
}

ZekStatus king_query_info(ZekGromit* owner, std::uint32_t type, std::uint32_t* block_size, std::uint32_t* blocks,
                          std::uint32_t* base) {
  ZekGromitPool* pool = pool_of(owner, type);
  if (pool == nullptr) return ZEK_GROMIT_BAD_TYPE;
  if (ZekIsBadPointer(block_size) || ZekIsBadPointer(blocks) || ZekIsBadPointer(base)) return ZEK_STATUS_BAD_PTR;
  *block_size = pool->BlockSize;
  *blocks = pool->Blocks;
  *base = pool->Base;
  return ZEK_STATUS_PASS;
}

ZekStatus king_query_allocation(ZekGromit* owner, ZekAllocationRecord* record) {
  if (ZekIsBadPointer(record)) return ZEK_STATUS_BAD_PTR;
  if (acquire(&owner->PoolLock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  std::memset(record, 0, sizeof *record);
  for (std::uint32_t t = 0; t < ZEK_RES_TYPES; ++t) {
    const ZekGromitPool& pool = owner->Pools[t];
    record->Words[t] = pool.Blocks * pool.BlockSize;
    record->Words[8 + t] = (pool.Alloc - pool.Free) * pool.BlockSize;
  }
  release(&owner->PoolLock);
  return ZEK_STATUS_PASS;
}

// A function that leaves gives back every block it still holds.
ZekStatus gromit_deregister(ZekExclusionObject* owner_head, ZekExclusionObject* follower_head) {
  const ZekStatus status = ExclusionIF_Deregister(owner_head, follower_head);
  if (status != ZEK_STATUS_PASS) return status;
  auto* owner = reinterpret_cast<ZekGromit*>(owner_head);
  const std::uint8_t tag = reinterpret_cast<ZekGromit*>(follower_head)->Tag;
  if (acquire(&owner->PoolLock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  for (ZekGromitPool& pool : owner->Pools) {
    for (std::uint32_t block = 0; block < pool.Blocks; ++block) {
      if (pool.Tags[block] != tag) continue;
      ZEK_LOG_FAILURE("A Block of Resources was never freed\n");
      pool.Tags[block] = ZEK_GROMIT_FREE_TAG;
      ring_push(&pool, block);
    }
  }
  release(&owner->PoolLock);
  return ZEK_STATUS_PASS;
}

// The new owner takes the followers and every block's tag; its ring holds
// the lent blocks below A and the free ones from A on, so only free blocks
// are lent.
ZekStatus gromit_handoff(ZekExclusionObject* new_head, ZekExclusionObject* old_head) {
  ZekStatus status = ExclusionIF_Handoff(new_head, old_head);
  if (status != ZEK_STATUS_PASS || old_head == nullptr) return status;
  auto* to = reinterpret_cast<ZekGromit*>(new_head);
  auto* from = reinterpret_cast<ZekGromit*>(old_head);
  for (std::uint32_t t = 0; t < ZEK_RES_TYPES; ++t) {
    ZekGromitPool& dst = to->Pools[t];
    const ZekGromitPool& src = from->Pools[t];
    if (dst.BlockSize != src.BlockSize || dst.Blocks != src.Blocks || dst.Base != src.Base) {
      ZEK_LOG_FAILURE("GRomit_Handoff: Block Size mismatch\n");
      return ZEK_STATUS_FAIL;
    }
    std::memcpy(dst.Tags, src.Tags, src.Blocks);
    std::uint32_t lent = 0;
    for (std::uint32_t b = 0; b < dst.Blocks; ++b) {
      if (dst.Tags[b] != ZEK_GROMIT_FREE_TAG) dst.Ring[lent++] = b;
    }
    std::uint32_t at = lent;
    for (std::uint32_t b = 0; b < dst.Blocks; ++b) {
      if (dst.Tags[b] == ZEK_GROMIT_FREE_TAG) dst.Ring[at++] = b;
    }
    dst.Alloc = lent;
    dst.Free = 0;
  }
  return ZEK_STATUS_PASS;
}

void free_gromit(ZekGromit* gromit) {
  for (ZekGromitPool& pool : gromit->Pools) {
    if (pool.Ring != nullptr) OSPrimMemFree(pool.Ring);
  }
  OSPrimSyncDestroySpinlockObject(&gromit->PoolLock);
  OSPrimMemFree(gromit);
}

constexpr const char* kPoolFailures[ZEK_RES_TYPES] = {
    "CreateGromit: GRMT_RESOURCE_POOL_Initialize(QPS) Failed\n",
    "CreateGromit: GRMT_RESOURCE_POOL_Initialize(CQS) Failed\n",
    "CreateGromit: GRMT_RESOURCE_POOL_Initialize(MRS) Failed\n",
    "CreateGromit: GRMT_RESOURCE_POOL_Initialize(PDS) Failed\n",
    "CreateGromit: GRMT_RESOURCE_POOL_Initialize(User PDS) Failed\n",
    "CreateGromit: GRMT_RESOURCE_POOL_Initialize(IRDS) Failed\n",
};

}  // namespace

ZekStatus CreateGromit(ZekGromit** out, const ZekGimTable* gim, void* gim_handle, MifhDeviceObj* device,
                       std::uint32_t tag) {
  if (ZekIsBadPointer(out)) return ZEK_STATUS_BAD_PTR;
  *out = nullptr;
  if (ZekIsBadPointer(device)) {
    ZEK_LOG_FAILURE("CreateGromit::pDevObject was invalid\n");
    return ZEK_STATUS_FAIL;
  }
  ZekRmHardwareInfo info{};
  if (GetHardwareInfo(device, &info) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("CreateGromit: GetHardwareInfo Failed\n");
    return ZEK_STATUS_FAIL;
  }
  if (tag >= info.PciFunctions || info.PciFunctions > ZEK_GROMIT_MAX_FUNCTIONS) return ZEK_STATUS_A_INVALID_HANDLE;
  std::uint32_t size[ZEK_RES_TYPES];
  std::uint32_t blocks[ZEK_RES_TYPES];
  for (std::uint32_t t = 0; t < ZEK_RES_TYPES; ++t) {
    size[t] = GromitBlockSize(info.Count[t == ZEK_RES_USERPD ? ZEK_RES_PD : t]);
    const std::uint32_t range =
        t == ZEK_RES_USERPD ? info.Count[t] : (info.Count[t] > info.First[t] ? info.Count[t] - info.First[t] : 0);
    blocks[t] = range / size[t];
    if (blocks[t] > ZEK_GROMIT_MAX_BLOCKS) {
      ZEK_LOG_FAILURE("CreateGromit: Too many blocks for a resource\n");
      return ZEK_STATUS_FAIL;
    }
  }
  auto* gromit = allocate_zeroed<ZekGromit>();
  if (gromit == nullptr) {
    ZEK_LOG_FAILURE("CreateGromit: Unable to allocate %d bytes for CreateGromit\n",
                    static_cast<int>(sizeof(ZekGromit)));
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  OSPrimSyncInitSpinlockObject(&gromit->PoolLock);
  gromit->Tag = static_cast<std::uint8_t>(tag);
  for (std::uint32_t t = 0; t < ZEK_RES_TYPES; ++t) {
    ZekGromitPool& pool = gromit->Pools[t];
    pool.Blocks = blocks[t];
    pool.BlockSize = static_cast<std::uint16_t>(size[t]);
    pool.Base = info.First[t];
    const std::uint32_t bytes = blocks[t] * (sizeof(std::uint32_t) + 1) + 1;
    pool.Ring = allocate_zeroed<std::uint32_t>(bytes);
    if (pool.Ring == nullptr) {
      ZEK_LOG_FAILURE("Error: Unable to allocate %d bytes for ResourceBlockList::BlocksWithFreeResources\n",
                      static_cast<int>(bytes));
      ZEK_LOG_FAILURE("%s", kPoolFailures[t]);
      free_gromit(gromit);
      return ZEK_STATUS_RES_INSUFFICIENT_SW;
    }
    pool.Tags = reinterpret_cast<std::uint8_t*>(pool.Ring + blocks[t]);
    for (std::uint32_t b = 0; b < blocks[t]; ++b) pool.Ring[b] = b;
    std::memset(pool.Tags, ZEK_GROMIT_FREE_TAG, blocks[t]);
  }
  gromit->Head.Handoff = &gromit_handoff;
  gromit->Head.Deregister = &gromit_deregister;
  if (GIMUser_Init(&gromit->Head, gim, gim_handle, GRM_INTERFACE) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("CreateGromit: GIMUser_Init Failed\n");
    free_gromit(gromit);
    return ZEK_STATUS_FAIL;
  }
  *out = gromit;
  return ZEK_STATUS_PASS;
}

ZekStatus Cleanup_Gromit(ZekGromit* gromit) {
  if (ZekIsBadPointer(gromit) || !ZekExclusionValid(&gromit->Head)) return ZEK_STATUS_BAD_PTR;
  if (GIMUser_Cleanup(&gromit->Head) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Cleanup_Gromit: GIMUser_Cleanup Failed\n");
    return ZEK_STATUS_FAIL;
  }
  free_gromit(gromit);
  return ZEK_STATUS_PASS;
}

ZekStatus GRomit_Serf_AllocBlock(ZekGromit* gromit, std::uint32_t type, std::uint32_t* first,
                                 std::uint32_t* block_size) {
  return forward(gromit, "GRomit_Serf_AllocBlock: Acquire Spinlock Failed\n",
                 "GRomit_Serf_AllocBlock: Release Spinlock Failed\n",
                 [&](ZekGromit* owner) { return king_alloc(owner, gromit->Tag, type, first, block_size); });
}

ZekStatus GRomit_Serf_FreeBlock(ZekGromit* gromit, std::uint32_t type, std::uint32_t first, std::uint32_t block_size) {
  return forward(gromit, "GRomit_Serf_FreeBlock: Acquire Spinlock Failed\n",
                 "GRomit_Serf_FreeBlock: Release Spinlock Failed\n",
                 [&](ZekGromit* owner) { return king_free(owner, type, first, block_size); });
}

ZekStatus GRomit_Serf_QueryResourceBlock(ZekGromit* gromit, std::uint32_t type, std::uint32_t index,
                                         std::uint32_t* tag) {
  return forward(gromit, "GRomit_Serf_QueryResourceBlock: Acquire Spinlock Failed\n",
                 "GRomit_Serf_QueryResourceBlock: Release Spinlock Failed\n",
                 [&](ZekGromit* owner) { return king_query_block(owner, type, index, tag); });
}

ZekStatus GRomit_Serf_QueryResourceBlockInfo(ZekGromit* gromit, std::uint32_t type, std::uint32_t* block_size,
                                             std::uint32_t* blocks, std::uint32_t* base) {
  return forward(gromit, "GRomit_Serf_QueryResourceBlockInfo: Acquire Spinlock Failed\n",
                 "GRomit_Serf_QueryResourceBlockInfo: Release Spinlock Failed\n",
                 [&](ZekGromit* owner) { return king_query_info(owner, type, block_size, blocks, base); });
}

ZekStatus GRomit_Serf_QueryResourceAllocation(ZekGromit* gromit, ZekAllocationRecord* record) {
  return forward(gromit, "GRomit_Serf_QueryResourceAllocation: Acquire Spinlock Failed\n",
                 "GRomit_Serf_QueryResourceAllocation: Release Spinlock Failed\n",
                 [&](ZekGromit* owner) { return king_query_allocation(owner, record); });
}

const ZekGromitTable g_ZekGromitTable = {
    table_header<ZekGromitTable>(),
    &CreateGromit,
    &Cleanup_Gromit,
    &GRomit_Serf_AllocBlock,
    &GRomit_Serf_FreeBlock,
    &GRomit_Serf_QueryResourceBlock,
    &GRomit_Serf_QueryResourceBlockInfo,
    &GRomit_Serf_QueryResourceAllocation,
};

// ---- LaRMiT -------------------------------------------------------------------------------------------------
namespace {

constexpr const char* kGetNames[ZEK_RES_TYPES] = {"L_GetQueuePair",        "L_GetCompletionQueue",
                                                  "L_GetMemoryRegion",     "L_GetProtectionDomain",
                                                  "L_GetProtectionDomain", "L_GetProtectionDomain"};
constexpr const char* kFreeNames[ZEK_RES_TYPES] = {"L_FreeQueuePair",        "L_FreeCompletionQueue",
                                                   "L_FreeMemoryRegion",     "L_FreeProtectionDomain",
                                                   "L_FreeProtectionDomain", "L_FreeProtectionDomain"};

void delete_block(ZekLocalBlock* block) {
  if (block->Used != nullptr) OSPrimMemFree(block->Used);
  OSPrimMemFree(block);
}

// Borrows a block and puts it in its slot (list lock held).
ZekLocalBlock* create_block(ZekLarmit* larmit, ZekLocalBlockList* list) {
  std::uint32_t first = 0;
  std::uint32_t size = 0;
  const ZekStatus status = larmit->GromitTable->AllocBlock(larmit->Gromit, list->Type, &first, &size);
  if (status != ZEK_STATUS_PASS || size == 0) {
    ZEK_LOG_FAILURE("CreateBlock: Out of %ss\n", ZekResourceTypeName(list->Type));
    return nullptr;
  }
  const std::uint32_t slot = (first - list->Base) / size;
  auto* block = allocate_zeroed<ZekLocalBlock>();
  if (block == nullptr) {
    ZEK_LOG_FAILURE("CreateBlock: Unable to allocate %d bytes for local_rsrc_mngr::CreateBlock\n",
                    static_cast<int>(sizeof(ZekLocalBlock)));
  } else if ((block->Used = allocate_zeroed<std::uint8_t>(size)) == nullptr) {
    ZEK_LOG_FAILURE("Error: Unable to allocate %d bytes for ResourceBlock::FreeResources\n", static_cast<int>(size));
  }
  if (block == nullptr || block->Used == nullptr || first < list->Base || slot >= list->Slots ||
      list->Blocks[slot] != nullptr) {
    if (block != nullptr) delete_block(block);
    larmit->GromitTable->FreeBlock(larmit->Gromit, list->Type, first, size);
    return nullptr;
  }
  block->Size = static_cast<std::uint16_t>(size);
  block->FreeCount = static_cast<std::uint16_t>(size);
  block->First = first;
  list->Blocks[slot] = block;
  if (slot + 1 > list->Searched) list->Searched = slot + 1;
  return block;
}

}  // namespace

ZekStatus L_Initialize(ZekLarmit** out, const ZekGromitTable* table, ZekGromit* gromit) {
  if (ZekIsBadPointer(out) || ZekIsBadPointer(table) || ZekIsBadPointer(gromit)) return ZEK_STATUS_BAD_PTR;
  *out = nullptr;
  auto* larmit = allocate_zeroed<ZekLarmit>();
  if (larmit == nullptr) {
    ZEK_LOG_FAILURE("L_Initialize: Unable to allocate %d bytes for L_Initialize\n",
                    static_cast<int>(sizeof(ZekLarmit)));
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  larmit->Gromit = gromit;
  larmit->GromitTable = table;
  for (std::uint32_t t = 0; t < ZEK_RES_TYPES; ++t) {
    ZekLocalBlockList& list = larmit->Lists[t];
    list.Type = t;
    std::uint32_t size = 0;
    ZekStatus status = table->QueryResourceBlockInfo(gromit, t, &size, &list.Slots, &list.Base);
    list.BlockSize = static_cast<std::uint16_t>(size);
    if (status == ZEK_STATUS_PASS) {
      const std::uint32_t bytes = (list.Slots + 1) * static_cast<std::uint32_t>(sizeof(ZekLocalBlock*));
      list.Blocks = allocate_zeroed<ZekLocalBlock*>(bytes);
      if (list.Blocks == nullptr) {
        ZEK_LOG_FAILURE("Error: Unable to allocate %d bytes for ResourceBlockList::BlockLocs\n",
                        static_cast<int>(bytes));
        status = ZEK_STATUS_RES_INSUFFICIENT_SW;
      } else if (OSPrimSyncInitSpinlockObject(&list.Lock) != ZEK_STATUS_PASS) {
        ZEK_LOG_FAILURE("RESOURCE_BLOCK_LIST_Initialize: OSPrimSyncInitSpinlockObject failed\n");
        status = ZEK_STATUS_FAIL;
      }
    }
    if (status != ZEK_STATUS_PASS) {
      L_Free(larmit);
      return status;
    }
  }
  *out = larmit;
  return ZEK_STATUS_PASS;
}

ZekStatus L_Free(ZekLarmit* larmit) {
  if (ZekIsBadPointer(larmit)) {
    ZEK_LOG_FAILURE("L_Free: Free Performed on Local Resource Manager that wasn't initialized correctly\n");
    return ZEK_STATUS_PASS;
  }
  bool failed = false;
  for (ZekLocalBlockList& list : larmit->Lists) {
    if (list.Lock.Signature != 0 && OSPrimSyncDestroySpinlockObject(&list.Lock) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("RESOURCE_BLOCK_LIST_Cleanup: OSPrimSyncDestroySpinlockObject failed\n");
    }
    if (list.Blocks == nullptr) continue;
    for (std::uint32_t slot = 0; slot < list.Slots; ++slot) {
      ZekLocalBlock* block = list.Blocks[slot];
      if (block == nullptr) continue;
      for (std::uint32_t i = 0; i < block->Size; ++i) {
        if (block->Used[i] != 0) {
          ZEK_LOG_FAILURE("%s Number %d was not freed\n", ZekResourceTypeName(list.Type),
                          static_cast<int>(block->First + i));
        }
      }
      // A block the owner refuses stays tagged with this function; the
      // GRoMiT gives it back when the function leaves.
      if (larmit->GromitTable->FreeBlock(larmit->Gromit, list.Type, block->First, block->Size) != ZEK_STATUS_PASS) {
        ZEK_LOG_FAILURE("RESOURCE_BLOCK_LIST_Cleanup: DeleteBlock failed\n");
        failed = true;
      }
      delete_block(block);
    }
    OSPrimMemFree(list.Blocks);
  }
  OSPrimMemFree(larmit);
  if (failed) {
    ZEK_LOG_FAILURE("L_Free: RESOURCE_BLOCK_LIST_Cleanup Failed\n");
    return ZEK_STATUS_FAIL;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus L_GetResource(ZekLarmit* larmit, std::uint32_t type, std::uint32_t* number) {
  if (type >= ZEK_RES_TYPES) return ZEK_STATUS_FAIL;
  if (ZekIsBadPointer(larmit)) {
    ZEK_LOG_FAILURE("%s::pLaRMiT was NULL\n", kGetNames[type]);
    return ZEK_STATUS_FAIL;
  }
  if (ZekIsBadPointer(number)) return ZEK_STATUS_BAD_PTR;
  ZekLocalBlockList& list = larmit->Lists[type];
  if (acquire(&list.Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  ZekLocalBlock* block = nullptr;
  for (std::uint32_t slot = 0; slot < list.Searched && block == nullptr; ++slot) {
    if (list.Blocks[slot] != nullptr && list.Blocks[slot]->FreeCount > 0) block = list.Blocks[slot];
  }
  if (block == nullptr && (block = create_block(larmit, &list)) == nullptr) {
    ZEK_LOG_FAILURE("GetResourceFromBlockList: AddNewBlockToBlockList failed\n");
    release(&list.Lock);
    return ZEK_STATUS_FAIL;
  }
  std::uint32_t i = 0;
  while (block->Used[i] != 0) ++i;
  block->Used[i] = 1;
  --block->FreeCount;
  *number = block->First + i;
  release(&list.Lock);
  return ZEK_STATUS_PASS;
}

ZekStatus L_FreeResource(ZekLarmit* larmit, std::uint32_t type, std::uint32_t number) {
  if (type >= ZEK_RES_TYPES) return ZEK_STATUS_FAIL;
  if (ZekIsBadPointer(larmit)) {
    ZEK_LOG_FAILURE("%s::pLaRMiT was NULL\n", kFreeNames[type]);
    return ZEK_STATUS_FAIL;
  }
  ZekLocalBlockList& list = larmit->Lists[type];
  const char* name = ZekResourceTypeName(type);
  if (number < list.Base) {
    ZEK_LOG_FAILURE(
        "ReleaseResourceToBlockList: Resource Number freed (%x) of type %x was less than the Base offset (%x)\n",
        number, type, list.Base);
    return ZEK_STATUS_FAIL;
  }
  const std::uint32_t slot = list.BlockSize == 0 ? list.Slots : (number - list.Base) / list.BlockSize;
  if (slot >= list.Slots) {
    ZEK_LOG_FAILURE("Invalid Resource Number (%s %x)\n", name, number);
    return ZEK_STATUS_FAIL;
  }
  if (acquire(&list.Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  ZekStatus status = ZEK_STATUS_FAIL;
  ZekLocalBlock* block = list.Blocks[slot];
  if (block == nullptr) {
    ZEK_LOG_FAILURE("ReleaseResourceToBlockList: Resource of type %s Freed which was not allocated (%d)", name,
                    static_cast<int>(number));
  } else if (number < block->First || number - block->First >= block->Size) {
    ZEK_LOG_FAILURE("Error: Resource %d was freed to the wrong block\n", static_cast<int>(number));
    ZEK_LOG_FAILURE("ReleaseResourceToBlockList: ReleaseResourceToBlock Failed\n");
  } else if (block->Used[number - block->First] == 0) {
    ZEK_LOG_FAILURE("Error: Resource %d was freed twice\n", static_cast<int>(number));
    ZEK_LOG_FAILURE("ReleaseResourceToBlockList: ReleaseResourceToBlock Failed\n");
  } else {
    block->Used[number - block->First] = 0;
    ++block->FreeCount;
    status = ZEK_STATUS_PASS;
  }
  release(&list.Lock);
  return status;
}

ZekStatus L_QueryResourceAllocation(ZekLarmit* larmit, ZekAllocationRecord* local, ZekAllocationRecord* global) {
  if (ZekIsBadPointer(larmit) || ZekIsBadPointer(local) || ZekIsBadPointer(global)) return ZEK_STATUS_BAD_PTR;
  std::memset(local, 0, sizeof *local);
  for (std::uint32_t t = 0; t < ZEK_RES_TYPES; ++t) {
    ZekLocalBlockList& list = larmit->Lists[t];
    if (acquire(&list.Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
    for (std::uint32_t slot = 0; slot < list.Searched; ++slot) {
      const ZekLocalBlock* block = list.Blocks[slot];
      if (block == nullptr) continue;
      local->Words[t] += block->Size;
      local->Words[8 + t] += static_cast<std::uint32_t>(block->Size - block->FreeCount);
    }
    release(&list.Lock);
  }
  return larmit->GromitTable->QueryResourceAllocation(larmit->Gromit, global);
}

namespace {
template <std::uint32_t Type>
ZekStatus get_of(ZekLarmit* larmit, std::uint32_t* number) {
  return L_GetResource(larmit, Type, number);
}
template <std::uint32_t Type>
ZekStatus free_of(ZekLarmit* larmit, std::uint32_t number) {
  return L_FreeResource(larmit, Type, number);
}
}  // namespace

const ZekLarmitTable g_ZekLarmitTable = {
    table_header<ZekLarmitTable>(),
    &L_Initialize,
    &L_Free,
    &get_of<ZEK_RES_QP>,
    &free_of<ZEK_RES_QP>,
    &get_of<ZEK_RES_CQ>,
    &free_of<ZEK_RES_CQ>,
    &get_of<ZEK_RES_MR>,
    &free_of<ZEK_RES_MR>,
    &get_of<ZEK_RES_PD>,
    &free_of<ZEK_RES_PD>,
    &get_of<ZEK_RES_USERPD>,
    &free_of<ZEK_RES_USERPD>,
    &get_of<ZEK_RES_IRD>,
    &free_of<ZEK_RES_IRD>,
    &L_QueryResourceAllocation,
};
