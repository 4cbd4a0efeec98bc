// The chained hash table. Every change and lookup runs under the table's
// own spin-lock object; nodes come from the library's heap.
#include "lib/base/base_internal.h"

namespace {

bool valid(OSPrimHashTable* table) {
  return !ZekIsBadPointer(table) && ZekBaseHasSignature(&table->Lock.Signature, ZEK_SIG_SPINLOCK);
}

// Takes the table's lock. False when that fails, or when the table has no
// buckets (any more: a caller that waited for the lock while the table was
// destroyed finds it emptied).
bool lock(OSPrimHashTable* table) {
  if (!valid(table) || OSPrimSyncAcquireSpinlockObject(&table->Lock) != ZEK_STATUS_PASS) return false;
  if (table->Buckets != nullptr && table->BucketCount != 0) return true;
  OSPrimSyncReleaseSpinlockObject(&table->Lock);
  return false;
}

// Holding the table's lock: the link that points at the newest node with
// `key` (or at the end of its bucket's chain).
OSPrimHashNode** link_to(OSPrimHashTable* table, std::uint32_t key) {
  OSPrimHashNode** link = &table->Buckets[key % table->BucketCount];
  while (*link != nullptr && (*link)->Key != key) link = &(*link)->Next;
  return link;
}

}  // namespace

ZekStatus OSPrimHashInit(OSPrimHashTable* table, std::uint32_t buckets) {
  if (ZekIsBadPointer(table)) return ZEK_OSPRIM_FAILURE;
  // No buckets would leave every key without a place (and divide by zero);
  // an array larger than one allocation can hold is refused too.
  if (buckets == 0 || buckets > UINT32_MAX / sizeof(OSPrimHashNode*)) {
    ZEK_LOG_FAILURE("OSPrimHashInit: bad bucket count %u (0x%x)\n", buckets, ZEK_OSPRIM_FAILURE);
    return ZEK_OSPRIM_FAILURE;
  }
  table->Buckets = nullptr;
  table->BucketCount = 0;
  table->Lock = OSPrimSpinlockObject{};
  ZekStatus status = OSPrimSyncInitSpinlockObject(&table->Lock);
  if (status != ZEK_STATUS_PASS) return status;
  void* array = nullptr;
  // Zeroed: every bucket starts empty.
  status = OSPrimMemDMAAllocate(&array, buckets * static_cast<std::uint32_t>(sizeof(OSPrimHashNode*)));
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("OSPrimHashInit: OSPrimMemDMAAllocate() returned error (0x%x)\n", status);
    OSPrimSyncDestroySpinlockObject(&table->Lock);
    return ZEK_OSPRIM_FAILURE;
  }
  table->Buckets = static_cast<OSPrimHashNode**>(array);
  table->BucketCount = buckets;
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimHashInsert(OSPrimHashTable* table, void* data, std::uint32_t key) {
  if (!valid(table)) return ZEK_OSPRIM_FAILURE;
  // The node is allocated before the lock is taken: an allocation failure
  // then needs no release, and the lock is held only for the linking.
  void* memory = nullptr;
  if (OSPrimMemAllocate(&memory, sizeof(OSPrimHashNode)) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("OSPrimHashInsert: OSPrimMemAllocate() returned error (0x%x)\n", ZEK_OSPRIM_FAILURE);
    return ZEK_OSPRIM_FAILURE;
  }
  auto* node = static_cast<OSPrimHashNode*>(memory);
  node->Data = data;
  node->Key = key;
  if (!lock(table)) {
    OSPrimMemFree(node);
    return ZEK_OSPRIM_FAILURE;
  }
  OSPrimHashNode** bucket = &table->Buckets[key % table->BucketCount];
  node->Next = *bucket;
  *bucket = node;
  return OSPrimSyncReleaseSpinlockObject(&table->Lock);
}

void* OSPrimHashFind(OSPrimHashTable* table, std::uint32_t key) {
  if (!lock(table)) return nullptr;
  OSPrimHashNode* node = *link_to(table, key);
  void* data = node != nullptr ? node->Data : nullptr;
  OSPrimSyncReleaseSpinlockObject(&table->Lock);
  return data;
}

void* OSPrimHashRemove(OSPrimHashTable* table, std::uint32_t key) {
  if (!lock(table)) return nullptr;
  OSPrimHashNode** link = link_to(table, key);
  OSPrimHashNode* node = *link;
  if (node != nullptr) *link = node->Next;
  OSPrimSyncReleaseSpinlockObject(&table->Lock);
  if (node == nullptr) return nullptr;
  void* data = node->Data;
  OSPrimMemFree(node);
  return data;
}

ZekStatus OSPrimHashDestroy(OSPrimHashTable* table) {
  if (!lock(table)) return ZEK_OSPRIM_FAILURE;
  // The table is emptied under its lock, so that an operation that waited
  // for the lock meanwhile finds no buckets instead of freed ones.
  OSPrimHashNode** buckets = table->Buckets;
  const std::uint32_t count = table->BucketCount;
  table->Buckets = nullptr;
  table->BucketCount = 0;
  OSPrimSyncReleaseSpinlockObject(&table->Lock);
  OSPrimSyncDestroySpinlockObject(&table->Lock);
  for (std::uint32_t i = 0; i < count; ++i) {
    for (OSPrimHashNode* node = buckets[i]; node != nullptr;) {
      OSPrimHashNode* next = node->Next;
      OSPrimMemFree(node);
      node = next;
    }
  }
  OSPrimMemDMAFree(buckets);
  return ZEK_STATUS_PASS;
}
