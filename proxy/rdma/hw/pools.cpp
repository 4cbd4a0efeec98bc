// Slabs, carving and the generic pool operations over the pool table.
#include "proxy/rdma/hw/pools.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "proxy/rdma/hw/pool_table.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr std::uint32_t kDescriptorSlab = 0x8000;
constexpr std::uint32_t kDescriptorSlabSmaller = 4000;
constexpr std::uint32_t kFirstSlab = 0x801000;  // 8 MB and one page
constexpr std::uint32_t kSecondObjectSlab = 0x400800;
constexpr std::uint32_t kSmallSlab = 0x81000;
constexpr std::uint32_t kStartDescriptors = 1000;

struct MifhPool {
  OSPrimSpinlockObject Lock;
  ZekListHead Free[MIFH_MAX_CLASSES];
  std::uint32_t Available[MIFH_MAX_CLASSES];
  ZekListHead Blocks;  // own-block pools: a slab descriptor per block
};

// The driver-wide pools. The locks carry their signature from the first
// start-up on; everything else is rebuilt by each start-up.
struct MifhMemResources {
  bool Created;
  std::uint32_t GrowthSize;  // G
  OSPrimSpinlockObject SlabLock;
  OSPrimSpinlockObject CreationLock;
  OSPrimSpinlockObject DescriptorLock;  // the element-descriptor pool's own lock
  OSPrimSpinlockObject DescriptorGrowthLock;
  MifhSlabList DescriptorSlabs;
  MifhSlabList ObjectSlabs;
  MifhSlabList DmaSlabs;
  MifhPool Pools[MIFH_POOL_COUNT];
};

MifhMemResources g_mem;

const MifhPoolSpec& spec_of(MifhPoolId id) { return g_mifh_pool_table[id]; }
MifhPool& pool_of(MifhPoolId id) { return g_mem.Pools[id]; }

bool take_lock(OSPrimSpinlockObject* lock, const char* operation) {
  const ZekStatus status = OSPrimSyncAcquireSpinlockObject(lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n", operation, status);
    return false;
  }
  return true;
}

void give_lock(OSPrimSpinlockObject* lock, const char* operation) {
  const ZekStatus status = OSPrimSyncReleaseSpinlockObject(lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: OSPrimSyncReleaseSpinlockObject() returned (0x%x)\n", operation, status);
  }
}

// The pool's lock: the descriptor pool is guarded by the descriptor lock.
OSPrimSpinlockObject* lock_of(MifhPoolId id) {
  return id == MIFH_POOL_MBUF ? &g_mem.DescriptorLock : &pool_of(id).Lock;
}

int class_index(const MifhPoolSpec& spec, std::uint32_t size_class) {
  if (spec.ClassCount == 0) return size_class == 0 ? 0 : -1;
  for (std::uint32_t i = 0; i < spec.ClassCount; ++i) {
    if (spec.Classes[i] == size_class) return static_cast<int>(i);
  }
  return -1;
}

std::uint32_t element_bytes(const MifhPoolSpec& spec, std::uint32_t size_class) {
  return (size_class + spec.Addend) * spec.Multiplier;
}

std::uint32_t resolve_slab(std::uint32_t slab) { return slab == MIFH_SLAB_G ? g_mem.GrowthSize : slab; }

// The slab that a creation grows by. The two large page-list classes do not
// fit the ordinary growth slab and get one of their own size plus a page.
// So does an iWARP CQ class whose page-aligned element cannot lie inside a
// growth slab: the 16384-entry class is exactly 0x81000 bytes, which no
// slab of 0x81000 holds once the element is aligned, so without a slab of
// its own the class could only ever be served from space left over. (The
// 65536-entry class, larger than any growth slab, still comes only from
// space left in the current slab.)
std::uint32_t slab_for(const MifhPoolSpec& spec, std::uint32_t size_class, bool at_start) {
  const std::uint32_t slab = resolve_slab(at_start ? spec.StartSlab : spec.GrowthSlab);
  const std::uint32_t bytes = element_bytes(spec, size_class);
  if (&spec == &g_mifh_pool_table[MIFH_POOL_PBL] && bytes > kSmallSlab) {
    return size_class + 4096;
  }
  if (&spec == &g_mifh_pool_table[MIFH_POOL_IWARP_CQ] && bytes <= slab &&
      std::uint64_t{bytes} + spec.Align - 1 > slab) {
    return bytes + spec.Align;
  }
  return slab;
}

MifhSlabList* slabs_of(const MifhPoolSpec& spec) {
  switch (spec.Source) {
    case MifhSlabSource::Descriptor:
      return &g_mem.DescriptorSlabs;
    case MifhSlabSource::Dma:
      return &g_mem.DmaSlabs;
    default:
      return &g_mem.ObjectSlabs;
  }
}

std::uint64_t slack_of(std::uint64_t cursor, std::uint32_t align) {
  if (align <= 1) return 0;
  return (align - cursor % align) % align;
}

enum class Carve { Done, NoSlab, NoCursor };

// Carves n bytes aligned to `align` from the list's current slab, making a
// new slab when they do not fit. The bytes skipped for the alignment count
// against what the slab has left, and a new slab is asked for with room for
// the largest skip, so an aligned element always lies wholly inside its slab.
// An element that cannot fit a slab of the given size at all fails without
// making a slab, so the space left in the current slab stays usable.
Carve carve(MifhSlabList* list, std::uint32_t n, std::uint32_t align, std::uint32_t slab_size, std::uint32_t smaller,
            std::uint64_t* out) {
  std::uint64_t slack = slack_of(list->Cursor, align);
  if (list->Cursor == 0 || list->Remaining < n + slack) {
    const std::uint64_t need = std::uint64_t{n} + (align > 1 ? align - 1 : 0);
    if (need > slab_size) return Carve::NoSlab;
    const auto fallback = static_cast<std::uint32_t>(std::max<std::uint64_t>(smaller, need));
    if (mifh_allocate_slab(list, slab_size, fallback) == nullptr) return Carve::NoSlab;
    slack = slack_of(list->Cursor, align);
    if (list->Remaining < n + slack) return Carve::NoSlab;
  }
  if (list->Cursor == 0) return Carve::NoCursor;
  *out = list->Cursor + slack;
  list->Cursor += slack + n;
  list->Remaining -= static_cast<std::uint32_t>(slack + n);
  return Carve::Done;
}

// Adds count descriptors to the descriptor pool. Runs holding the descriptor
// lock; takes the descriptor-growth lock.
ZekStatus add_descriptors(std::uint32_t count) {
  const char* creator = spec_of(MIFH_POOL_MBUF).Creator;
  if (!take_lock(&g_mem.DescriptorGrowthLock, creator)) return ZEK_STATUS_FAIL;
  ZekStatus status = ZEK_STATUS_PASS;
  MifhPool& pool = pool_of(MIFH_POOL_MBUF);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t address = 0;
    const Carve result =
        carve(&g_mem.DescriptorSlabs, sizeof(MifhMbuf), 1, kDescriptorSlab, kDescriptorSlabSmaller, &address);
    if (result != Carve::Done) {
      ZEK_LOG_FAILURE(result == Carve::NoSlab ? "%s: Couldn't allocate mem for a slab \n" : "%s: alignment failed\n",
                      creator);
      status = ZEK_STATUS_FAIL;
      break;
    }
    auto* mbuf = reinterpret_cast<MifhMbuf*>(address);
    mbuf->Address = address;
    mbuf->SizeClass = MIFH_MBUF_FREE_CLASS;
    ZekInsertTailList(&pool.Free[0], &mbuf->Links);
    ++pool.Available[0];
  }
  give_lock(&g_mem.DescriptorGrowthLock, creator);
  return status;
}

MifhMbuf* take_descriptor(const char* operation) {
  if (!take_lock(&g_mem.DescriptorLock, operation)) return nullptr;
  MifhPool& pool = pool_of(MIFH_POOL_MBUF);
  if (pool.Available[0] == 0) add_descriptors(spec_of(MIFH_POOL_MBUF).GrowthCount);
  auto* mbuf = reinterpret_cast<MifhMbuf*>(ZekRemoveTailList(&pool.Free[0]));
  if (mbuf != nullptr) --pool.Available[0];
  give_lock(&g_mem.DescriptorLock, operation);
  return mbuf;
}

void return_descriptor(MifhMbuf* mbuf, const char* operation) {
  std::memset(mbuf, 0, sizeof(*mbuf));
  mbuf->Address = reinterpret_cast<std::uint64_t>(mbuf);
  mbuf->SizeClass = MIFH_MBUF_FREE_CLASS;
  if (!take_lock(&g_mem.DescriptorLock, operation)) return;
  MifhPool& pool = pool_of(MIFH_POOL_MBUF);
  ZekInsertTailList(&pool.Free[0], &mbuf->Links);
  ++pool.Available[0];
  give_lock(&g_mem.DescriptorLock, operation);
}

// Own-block pools: one non-paged block per creation, kept for clean-up.
ZekStatus create_block(MifhPoolId id, std::uint32_t count) {
  const MifhPoolSpec& spec = spec_of(id);
  MifhPool& pool = pool_of(id);
  const std::uint32_t bytes = count * spec.BlockBytesPerObject + spec.BlockExtraBytes;
  void* block = nullptr;
  if (OSPrimMemAllocate(&block, bytes) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: Couldn't allocate mem for a block of (0x%x) bytes\n", spec.Creator, bytes);
    return ZEK_STATUS_FAIL;
  }
  MifhSlabDescriptor* record = nullptr;
  if (OSPrimMemAllocate(reinterpret_cast<void**>(&record), sizeof(*record)) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: Couldn't allocate mem for the block record\n", spec.Creator);
    OSPrimMemFree(block);
    return ZEK_STATUS_FAIL;
  }
  record->Address = reinterpret_cast<std::uint64_t>(block);
  ZekInsertTailList(&pool.Blocks, &record->Links);
  const std::uint64_t start = reinterpret_cast<std::uint64_t>(block);
  const std::uint64_t first = start + slack_of(start, spec.Align);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t address = first + std::uint64_t{i} * spec.Stride;
    if (address + spec.Addend > start + bytes) break;
    MifhMbuf* mbuf = take_descriptor(spec.Creator);
    if (mbuf == nullptr) {
      ZEK_LOG_FAILURE("%s: Couldn't allocate mbuf\n", spec.Creator);
      return ZEK_STATUS_FAIL;
    }
    mbuf->Address = address;
    mbuf->SizeClass = 0;
    ZekInsertTailList(&pool.Free[0], &mbuf->Links);
    ++pool.Available[0];
  }
  return ZEK_STATUS_PASS;
}

// Adds count elements of one class. Runs holding the pool's lock; takes the
// creation lock (and, through the descriptors, the locks after it).
ZekStatus create_elements(MifhPoolId id, int index, std::uint32_t size_class, std::uint32_t count,
                          std::uint32_t slab_size) {
  const MifhPoolSpec& spec = spec_of(id);
  if (spec.Source == MifhSlabSource::OwnBlock) return create_block(id, count);
  MifhSlabList* list = slabs_of(spec);
  if (list->Kind == 0) {
    // No slabs yet: the pools are not built.
    OSPrimMemoryLogging("Func[%s] line[%d] \n", spec.Creator, __LINE__);
    return ZEK_STATUS_FAIL;
  }
  const std::uint32_t bytes = element_bytes(spec, size_class);
  if (!take_lock(&g_mem.CreationLock, spec.Creator)) return ZEK_STATUS_FAIL;
  ZekStatus status = ZEK_STATUS_PASS;
  MifhPool& pool = pool_of(id);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t address = 0;
    const Carve result = carve(list, bytes, spec.Align, slab_size, 0, &address);
    if (result == Carve::NoSlab) {
      ZEK_LOG_FAILURE("%s: Couldn't allocate mem for a slab \n", spec.Creator);
      status = ZEK_STATUS_FAIL;
      break;
    }
    if (result == Carve::NoCursor) {
      ZEK_LOG_FAILURE("%s: alignment failed\n", spec.Creator);
      status = ZEK_STATUS_FAIL;
      break;
    }
    MifhMbuf* mbuf = take_descriptor(spec.Creator);
    if (mbuf == nullptr) {
      ZEK_LOG_FAILURE("%s: Couldn't allocate mbuf\n", spec.Creator);
      status = ZEK_STATUS_FAIL;
      break;
    }
    mbuf->Address = address;
    mbuf->SizeClass = size_class;
    ZekInsertTailList(&pool.Free[index], &mbuf->Links);
    ++pool.Available[index];
  }
  give_lock(&g_mem.CreationLock, spec.Creator);
  return status;
}

void log_wrong_class(const MifhPoolSpec& spec, const char* own_form, const char* operation, std::uint32_t size_class) {
  if (own_form != nullptr) {
    ZEK_LOG_FAILURE(own_form, size_class);
  } else {
    ZEK_LOG_FAILURE(spec.WrongClassFormat, operation, size_class);
  }
}

ZekStatus create_at_start(MifhPoolId id, std::uint32_t size_class, std::uint32_t count, bool at_start) {
  const MifhPoolSpec& spec = spec_of(id);
  const int index = class_index(spec, size_class);
  if (index < 0) {
    log_wrong_class(spec, nullptr, spec.Creator, size_class);
    return ZEK_STATUS_FAIL;
  }
  if (id == MIFH_POOL_MBUF) {
    if (!take_lock(&g_mem.DescriptorLock, spec.Creator)) return ZEK_STATUS_FAIL;
    const ZekStatus status = add_descriptors(count);
    give_lock(&g_mem.DescriptorLock, spec.Creator);
    return status;
  }
  if (!take_lock(lock_of(id), spec.Creator)) return ZEK_STATUS_FAIL;
  const ZekStatus status = create_elements(id, index, size_class, count, slab_for(spec, size_class, at_start));
  give_lock(lock_of(id), spec.Creator);
  return status;
}

ZekStatus allocate_kind(std::uint32_t kind, void** out, std::uint32_t size) {
  return kind == MIFH_SLAB_CONTIGUOUS ? OSPrimMemDMAAllocate(out, size) : OSPrimMemAllocate(out, size);
}

void free_kind(std::uint32_t kind, void* memory) {
  if (kind == MIFH_SLAB_CONTIGUOUS) {
    OSPrimMemDMAFree(memory);
  } else {
    OSPrimMemFree(memory);
  }
}

void free_blocks(MifhPoolId id) {
  MifhPool& pool = pool_of(id);
  while (auto* record = reinterpret_cast<MifhSlabDescriptor*>(ZekRemoveHeadList(&pool.Blocks))) {
    OSPrimMemFree(reinterpret_cast<void*>(record->Address));
    OSPrimMemFree(record);
  }
}

void init_lists() {
  for (MifhPool& pool : g_mem.Pools) {
    for (auto& list : pool.Free) ZekInitializeListHead(&list);
    std::fill(std::begin(pool.Available), std::end(pool.Available), 0u);
    ZekInitializeListHead(&pool.Blocks);
  }
}

// Start-up steps 2-4: the first slab of a list, with its fall-backs.
ZekStatus first_slabs() {
  if (mifh_allocate_slab(&g_mem.DescriptorSlabs, kDescriptorSlab, 0) == nullptr) {
    ZEK_LOG_FAILURE("mifh_create_mem_resources: Could allocate a slab of size (0x%x)\n", kDescriptorSlab);
    return ZEK_STATUS_FAIL;
  }
  g_mem.GrowthSize = kFirstSlab;
  if (mifh_allocate_slab(&g_mem.ObjectSlabs, kFirstSlab, 0) == nullptr) {
    OSPrimMemoryLogging("Failed to allocate size[x%x] trying again with size[x%x] \n", kFirstSlab, kSecondObjectSlab);
    if (mifh_allocate_slab(&g_mem.ObjectSlabs, kSecondObjectSlab, 0) == nullptr) {
      OSPrimMemoryLogging("Failed to allocate size[x%x] trying again with size[x%x] \n", kFirstSlab, kSmallSlab);
      if (mifh_allocate_slab(&g_mem.ObjectSlabs, kSmallSlab, 0) == nullptr) {
        ZEK_LOG_FAILURE("mifh_create_mem_resources: Could allocate a slab of size (0x%x)\n", kSmallSlab);
        return ZEK_STATUS_FAIL;
      }
      g_mem.GrowthSize = kSmallSlab;
    }
  }
  const std::uint32_t g = g_mem.GrowthSize;
  if (mifh_allocate_slab(&g_mem.DmaSlabs, g, 0) == nullptr) {
    OSPrimMemoryLogging("Failed to allocate size[x%x] trying again with size[x%x] \n", g, g / 2);
    if (mifh_allocate_slab(&g_mem.DmaSlabs, g / 2, 0) == nullptr) {
      OSPrimMemoryLogging("Failed to allocate size[x%x] trying again with size[x%x] \n", g, kSmallSlab);
      if (mifh_allocate_slab(&g_mem.DmaSlabs, kSmallSlab, 0) == nullptr) {
        ZEK_LOG_FAILURE("mifh_create_mem_resources: Could allocate a slab of size (0x%x)\n", kSmallSlab);
        return ZEK_STATUS_FAIL;
      }
      g_mem.GrowthSize = kSmallSlab;
    }
  }
  return ZEK_STATUS_PASS;
}

struct StartStep {
  MifhPoolId Pool;
  std::uint32_t Class;
  std::uint32_t Count;
};

// Start-up steps 5-13 in their order (the queue-pair objects, step 9, are
// made apart for their fall-back).
constexpr StartStep kStartBefore[] = {
    {MIFH_POOL_MBUF, 0, kStartDescriptors}, {MIFH_POOL_PD_OBJECT, 0, 32},
    {MIFH_POOL_CQ_OBJECT, 0, 32},           {MIFH_POOL_NIC_CQ, 512, 16},
    {MIFH_POOL_NIC_CQ, 1024, 16},
};
constexpr StartStep kStartAfter[] = {
    {MIFH_POOL_IWARPTOE_QP_CONTEXT, 0, 32},
    {MIFH_POOL_NIC_QP_CONTEXT, 0, 16},
    {MIFH_POOL_NIC_SQ, 512, 16},
    {MIFH_POOL_NIC_SQ, 128, 16},
    {MIFH_POOL_NIC_SQ, 32, 16},
    {MIFH_POOL_NIC_SQ, 4, 16},
    {MIFH_POOL_NIC_RQ, 512, 16},
    {MIFH_POOL_NIC_RQ, 128, 16},
    {MIFH_POOL_NIC_RQ, 32, 16},
    {MIFH_POOL_NIC_RQ, 4, 16},
    {MIFH_POOL_TOE_SQ, 512, 1},
    {MIFH_POOL_TOE_SQ, 128, 1},
    {MIFH_POOL_TOE_SQ, 32, 1},
    {MIFH_POOL_TOE_SQ, 4, 1},
    {MIFH_POOL_TOE_RQ, 512, 1},
    {MIFH_POOL_TOE_RQ, 128, 1},
    {MIFH_POOL_TOE_RQ, 32, 1},
    {MIFH_POOL_TOE_RQ, 4, 1},
};

ZekStatus run_step(const StartStep& step) {
  const ZekStatus status = create_at_start(step.Pool, step.Class, step.Count, true);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_create_mem_resources: %s returnd error (0x%x)\n", spec_of(step.Pool).Creator, status);
  }
  return status;
}

}  // namespace

// ---- Slabs ---------------------------------------------------------------------------------------

ZekStatus mifh_init_slab_list(MifhSlabList* list, std::uint32_t kind) {
  if (ZekIsBadPointer(list)) return ZEK_STATUS_FAIL;
  ZekInitializeListHead(&list->List);
  list->Remaining = 0;
  list->Cursor = 0;
  list->Kind = kind;
  return ZEK_STATUS_PASS;
}

void* mifh_allocate_slab(MifhSlabList* list, std::uint32_t size, std::uint32_t smaller) {
  if (ZekIsBadPointer(list)) return nullptr;
  void* memory = nullptr;
  std::uint32_t obtained = size;
  if (allocate_kind(list->Kind, &memory, size) != ZEK_STATUS_PASS) {
    if (list->Kind == MIFH_SLAB_CONTIGUOUS) {
      OSPrimMemoryLogging(
          "mifh_allocate_slab: Couldn't allocate continious memory for a slab size (%xh)Func[%s] line[%d]\n", size,
          __func__, __LINE__);
    } else {
      OSPrimMemoryLogging("mifh_allocate_slab: Couldn't allocate DMA memory for a slab size (%xh)Func[%s] line[%d]\n",
                          size, __func__, __LINE__);
    }
    if (smaller == 0) return nullptr;
    if (allocate_kind(list->Kind, &memory, smaller) != ZEK_STATUS_PASS) {
      if (list->Kind == MIFH_SLAB_CONTIGUOUS) {
        OSPrimMemoryLogging(
            "mifh_allocate_slab: Couldn't allocate continious memory for a smaller size (%xh)Func[%s] line[%d]\n",
            smaller, __func__, __LINE__);
      } else {
        OSPrimMemoryLogging(
            "mifh_allocate_slab: Couldn't allocate DMA memory for a smaller size (%xh) Func[%s] line[%d]\n", smaller,
            __func__, __LINE__);
      }
      return nullptr;
    }
    obtained = smaller;
  }
  MifhSlabDescriptor* descriptor = nullptr;
  if (OSPrimMemAllocate(reinterpret_cast<void**>(&descriptor), sizeof(*descriptor)) != ZEK_STATUS_PASS) {
    OSPrimMemoryLogging("mifh_allocate_slab:Coudln't allocate mem for OSPROM_LIST_ELEMENTFunc[%s] line[%d]\n", __func__,
                        __LINE__);
    free_kind(list->Kind, memory);
    return nullptr;
  }
  descriptor->Address = reinterpret_cast<std::uint64_t>(memory);
  if (!take_lock(&g_mem.SlabLock, __func__)) {
    OSPrimMemFree(descriptor);
    free_kind(list->Kind, memory);
    return nullptr;
  }
  // The unused tail of the previous current slab is abandoned.
  list->Cursor = reinterpret_cast<std::uint64_t>(memory);
  list->Remaining = obtained;
  ZekInsertTailList(&list->List, &descriptor->Links);
  give_lock(&g_mem.SlabLock, __func__);
  return memory;
}

ZekStatus mifh_free_slab_list(MifhSlabList* list) {
  if (ZekIsBadPointer(list)) return ZEK_STATUS_FAIL;
  while (auto* descriptor = reinterpret_cast<MifhSlabDescriptor*>(ZekRemoveHeadList(&list->List))) {
    free_kind(list->Kind, reinterpret_cast<void*>(descriptor->Address));
    OSPrimMemFree(descriptor);
  }
  list->Cursor = 0;
  list->Remaining = 0;
  return ZEK_STATUS_PASS;
}

// ---- Start-up and clean-up -----------------------------------------------------------------------

ZekStatus mifh_create_mem_resources() {
  if (g_mem.Created) {
    ZEK_LOG_FAILURE("mifh_create_mem_resources: the pools exist already\n");
    return ZEK_STATUS_FAIL;
  }
  // Step 1: every lock, then every list.
  for (OSPrimSpinlockObject* lock :
       {&g_mem.SlabLock, &g_mem.CreationLock, &g_mem.DescriptorLock, &g_mem.DescriptorGrowthLock}) {
    OSPrimSyncInitSpinlockObject(lock);
  }
  for (MifhPool& pool : g_mem.Pools) OSPrimSyncInitSpinlockObject(&pool.Lock);
  init_lists();
  mifh_init_slab_list(&g_mem.DescriptorSlabs, MIFH_SLAB_NONPAGED);
  mifh_init_slab_list(&g_mem.ObjectSlabs, MIFH_SLAB_NONPAGED);
  mifh_init_slab_list(&g_mem.DmaSlabs, MIFH_SLAB_CONTIGUOUS);
  g_mem.GrowthSize = 0;
  g_mem.Created = true;  // from here on, clean-up frees whatever was built

  ZekStatus status = first_slabs();
  if (status != ZEK_STATUS_PASS) return status;
  for (const StartStep& step : kStartBefore) {
    if ((status = run_step(step)) != ZEK_STATUS_PASS) return status;
  }
  // Step 9: 128 queue-pair objects, or 64 when 128 cannot be had.
  status = create_at_start(MIFH_POOL_QP_OBJECT, 0, 128, true);
  if (status != ZEK_STATUS_PASS) status = create_at_start(MIFH_POOL_QP_OBJECT, 0, 64, true);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_create_mem_resources: %s returnd error (0x%x)\n", spec_of(MIFH_POOL_QP_OBJECT).Creator,
                    status);
    return status;
  }
  for (const StartStep& step : kStartAfter) {
    if ((status = run_step(step)) != ZEK_STATUS_PASS) return status;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus mifh_destroy_mem_resources() {
  if (!g_mem.Created) return ZEK_STATUS_PASS;
  mifh_free_slab_list(&g_mem.ObjectSlabs);
  mifh_free_slab_list(&g_mem.DmaSlabs);
  mifh_free_slab_list(&g_mem.DescriptorSlabs);
  free_blocks(MIFH_POOL_PD_OBJECT);
  free_blocks(MIFH_POOL_QP_OBJECT);
  init_lists();
  g_mem.GrowthSize = 0;
  g_mem.Created = false;
  return ZEK_STATUS_PASS;
}

// ---- Generic pool operations ---------------------------------------------------------------------

ZekStatus mifh_pool_create(MifhPoolId pool, std::uint32_t size_class, std::uint32_t count) {
  if (pool >= MIFH_POOL_COUNT) return ZEK_STATUS_FAIL;
  if (!g_mem.Created) {
    OSPrimMemoryLogging("Func[%s] line[%d] \n", __func__, __LINE__);
    return ZEK_STATUS_FAIL;
  }
  return create_at_start(pool, size_class, count, false);
}

void* mifh_pool_allocate(MifhPoolId id, std::uint32_t size_class) {
  if (id >= MIFH_POOL_COUNT || !g_mem.Created) return nullptr;
  const MifhPoolSpec& spec = spec_of(id);
  if (id == MIFH_POOL_MBUF) return take_descriptor(spec.Allocator);
  const int index = class_index(spec, size_class);
  if (index < 0) {
    log_wrong_class(spec, spec.AllocWrongFormat, spec.Allocator, size_class);
    return nullptr;
  }
  MifhPool& pool = pool_of(id);
  if (!take_lock(&pool.Lock, spec.Allocator)) return nullptr;
  if (pool.Available[index] == 0) {
    if (spec.GrowthCount == 0) {
      if (spec.EmptyFormat != nullptr) {
        ZEK_LOG_FAILURE(spec.EmptyFormat, size_class);
      } else {
        ZEK_LOG_FAILURE("%s: pool is empty\n", spec.Allocator);
      }
      give_lock(&pool.Lock, spec.Allocator);
      return nullptr;
    }
    const ZekStatus status =
        create_elements(id, index, size_class, spec.GrowthCount, slab_for(spec, size_class, false));
    if (status != ZEK_STATUS_PASS) {
      // Elements added before the growth stopped stay, and serve this call.
      ZEK_LOG_FAILURE("%s: %s returnd error (0x%x)\n", spec.Allocator, spec.Creator, status);
    }
  }
  auto* mbuf = reinterpret_cast<MifhMbuf*>(ZekRemoveTailList(&pool.Free[index]));
  if (mbuf == nullptr) {
    ZEK_LOG_FAILURE("%s: line %d pMBufElem is NULL  \n", spec.Allocator, __LINE__);
    give_lock(&pool.Lock, spec.Allocator);
    return nullptr;
  }
  --pool.Available[index];
  void* element = reinterpret_cast<void*>(mbuf->Address);
  return_descriptor(mbuf, spec.Allocator);
  if (spec.ClearOnTake != 0) std::memset(element, 0, spec.ClearOnTake);
  give_lock(&pool.Lock, spec.Allocator);
  return element;
}

void mifh_pool_free(MifhPoolId id, void* element, std::uint32_t size_class) {
  if (id >= MIFH_POOL_COUNT || !g_mem.Created) return;
  const MifhPoolSpec& spec = spec_of(id);
  if (ZekIsBadPointer(element)) {
    ZEK_LOG_FAILURE("%s: bad element (0x%p)\n", spec.Freer, element);
    return;
  }
  if (id == MIFH_POOL_MBUF) {
    return_descriptor(static_cast<MifhMbuf*>(element), spec.Freer);
    return;
  }
  const int index = class_index(spec, size_class);
  if (index < 0) {
    log_wrong_class(spec, spec.FreeWrongFormat, spec.Freer, size_class);
    return;
  }
  MifhMbuf* mbuf = take_descriptor(spec.Freer);
  if (mbuf == nullptr) {
    ZEK_LOG_FAILURE("%s: Couldn't allocate mbuf\n", spec.Freer);
    return;
  }
  if (spec.ClearOnReturn != 0) std::memset(element, 0, spec.ClearOnReturn);
  mbuf->Address = reinterpret_cast<std::uint64_t>(element);
  mbuf->SizeClass = size_class;
  MifhPool& pool = pool_of(id);
  if (!take_lock(&pool.Lock, spec.Freer)) {
    return_descriptor(mbuf, spec.Freer);
    return;
  }
  ZekInsertTailList(&pool.Free[index], &mbuf->Links);
  ++pool.Available[index];
  give_lock(&pool.Lock, spec.Freer);
}

std::uint32_t mifh_pool_available(MifhPoolId id, std::uint32_t size_class) {
  if (id >= MIFH_POOL_COUNT) return 0;
  const int index = class_index(spec_of(id), size_class);
  if (index < 0) return 0;
  if (!take_lock(lock_of(id), __func__)) return 0;
  const std::uint32_t count = pool_of(id).Available[index];
  give_lock(lock_of(id), __func__);
  return count;
}

std::uint32_t mifh_pool_element_bytes(MifhPoolId id, std::uint32_t size_class) {
  if (id >= MIFH_POOL_COUNT) return 0;
  const MifhPoolSpec& spec = spec_of(id);
  if (class_index(spec, size_class) < 0) return 0;
  return element_bytes(spec, size_class);
}

std::uint32_t mifh_pool_growth_size() { return g_mem.GrowthSize; }

bool mifh_slab_holds(const void* address, std::uint32_t bytes) {
  const auto first = reinterpret_cast<std::uint64_t>(address);
  const std::uint64_t end = first + bytes;
  bool held = false;
  // Slab lists change only under the slab lock.
  if (!take_lock(&g_mem.SlabLock, __func__)) return false;
  for (MifhSlabList* list : {&g_mem.DescriptorSlabs, &g_mem.ObjectSlabs, &g_mem.DmaSlabs}) {
    for (ZekListNode* node = list->List.Head; node != nullptr && !held; node = node->Next) {
      const auto* descriptor = reinterpret_cast<const MifhSlabDescriptor*>(node);
      // A slab's size is in the tracking header in front of it.
      const auto* header = reinterpret_cast<const OSPrimMemHeader*>(descriptor->Address) - 1;
      const std::uint64_t start = descriptor->Address;
      held = first >= start && end <= start + (header->Size - sizeof(OSPrimMemHeader));
    }
  }
  give_lock(&g_mem.SlabLock, __func__);
  return held;
}

bool mifh_pool_block_holds(MifhPoolId id, const void* address, std::uint32_t bytes) {
  const auto first = reinterpret_cast<std::uint64_t>(address);
  const std::uint64_t end = first + bytes;
  bool held = false;
  if (!take_lock(lock_of(id), __func__)) return false;
  for (ZekListNode* node = pool_of(id).Blocks.Head; node != nullptr && !held; node = node->Next) {
    const auto* descriptor = reinterpret_cast<const MifhSlabDescriptor*>(node);
    const auto* header = reinterpret_cast<const OSPrimMemHeader*>(descriptor->Address) - 1;
    const std::uint64_t start = descriptor->Address;
    held = first >= start && end <= start + (header->Size - sizeof(OSPrimMemHeader));
  }
  give_lock(lock_of(id), __func__);
  return held;
}

std::uint32_t mifh_iwarp_cq_class(std::uint32_t entries) {
  if (entries >= 16385) return 65536;
  if (entries >= 8193) return 16384;
  if (entries >= 4097) return 8192;
  if (entries >= 1025) return 4096;
  if (entries >= 513) return 1024;
  if (entries >= 65) return 512;
  if (entries >= 33) return 64;
  return 32;
}

std::uint32_t mifh_pbl_class(std::uint32_t bytes) {
  if (bytes <= 1024) return 1024;
  if (bytes <= 4096) return 4096;
  if (bytes <= 8192) return 8192;
  if (bytes <= 65536) return 65536;
  if (bytes <= 0x100000) return 0x100000;
  return 0x400000;
}
