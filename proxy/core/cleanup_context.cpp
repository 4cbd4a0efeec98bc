// The pool of per-process clean-up contexts.
//
// Contexts live in elements carved from chunks of tracked memory; a free
// element waits on the free list through a link inside it, so returning a
// context never allocates and can never lose it. The pool grows by one chunk
// when the free list is empty and gives its chunks back at unload.
#include <cstring>

#include "proxy/core/zpx.h"

namespace {

constexpr std::uint32_t kElementsPerChunk = 16;
constexpr std::uint32_t kInUse = 0x43545843;  // "CXTC"
constexpr std::uint32_t kFree = 0x45455246;   // "FREE"

struct Element {
  ZekListNode node;  // on the free list while free
  std::uint32_t state;
  ZpxResourceCleanupContext context;
};

struct Chunk {
  ZekListNode node;  // on the chunk list
  Element elements[kElementsPerChunk];
};

struct Pool {
  OSPrimSpinlockObject lock;
  bool created;
  ZekListHead free;
  ZekListHead chunks;
};

// The lock is valid from load (a free kernel spin lock is zero).
constinit Pool g_pool{{ZEK_SIG_SPINLOCK, {0}, 0}, false, {}, {}};

// The functions below run holding g_pool.lock.
bool grow() {
  if (!g_pool.created) {
    ZekInitializeListHead(&g_pool.free);
    ZekInitializeListHead(&g_pool.chunks);
    g_pool.created = true;
  }
  void* memory = nullptr;
  if (OSPrimMemAllocate(&memory, sizeof(Chunk)) != ZEK_STATUS_PASS) return false;
  auto* chunk = static_cast<Chunk*>(memory);
  ZekInsertTailList(&g_pool.chunks, &chunk->node);
  for (Element& element : chunk->elements) {
    element.state = kFree;
    ZekInsertTailList(&g_pool.free, &element.node);
  }
  return true;
}

// The element whose context `candidate` is, found by address among the
// pool's chunks; nothing is read at `candidate` before it is found.
Element* element_of(const void* candidate) {
  if (!g_pool.created) return nullptr;
  const auto address = reinterpret_cast<std::uintptr_t>(candidate);
  for (ZekListNode* node = g_pool.chunks.Head; node != nullptr; node = node->Next) {
    auto* chunk = reinterpret_cast<Chunk*>(node);
    const auto first = reinterpret_cast<std::uintptr_t>(&chunk->elements[0].context);
    if (address < first || address >= first + sizeof(chunk->elements)) continue;
    if ((address - first) % sizeof(Element) != 0) return nullptr;
    return &chunk->elements[(address - first) / sizeof(Element)];
  }
  return nullptr;
}

}  // namespace

ZpxResourceCleanupContext* mifh_allocate_rsrc_cleanup_context_buffer() {
  ZekStatus status = OSPrimSyncAcquireSpinlockObject(&g_pool.lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_allocate_rsrc_cleanup_context_buffer: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n",
                    status);
    return nullptr;
  }
  if ((!g_pool.created || ZekIsListEmpty(&g_pool.free)) && !grow()) {
    OSPrimSyncReleaseSpinlockObject(&g_pool.lock);
    ZEK_LOG_FAILURE("mifh_allocate_rsrc_cleanup_context_buffer: mifh_create_pool returnd error (0x%x)\n",
                    ZEK_STATUS_RES_INSUFFICIENT_SW);
    return nullptr;
  }
  // The most recently freed element first.
  auto* element = reinterpret_cast<Element*>(ZekRemoveTailList(&g_pool.free));
  element->state = kInUse;
  std::memset(&element->context, 0, sizeof element->context);
  OSPrimSyncReleaseSpinlockObject(&g_pool.lock);
  return &element->context;
}

void mifh_free_rsrc_cleanup_context_buffer(ZpxResourceCleanupContext* Context) {
  if (ZekIsBadPointer(Context)) return;
  OSPrimSyncAcquireSpinlockObject(&g_pool.lock);
  Element* element = element_of(Context);
  if (element == nullptr || element->state != kInUse) {
    OSPrimSyncReleaseSpinlockObject(&g_pool.lock);
    ZEK_LOG_FAILURE("mifh_free_rsrc_cleanup_context_buffer: x%p is not a context in use\n",
                    static_cast<void*>(Context));
    return;
  }
  std::memset(&element->context, 0, sizeof element->context);
  element->state = kFree;
  ZekInsertTailList(&g_pool.free, &element->node);
  OSPrimSyncReleaseSpinlockObject(&g_pool.lock);
}

ZpxResourceCleanupContext* ZpxCleanupContextOf(PFILE_OBJECT FileObject) {
  if (FileObject == nullptr || FileObject->FsContext == nullptr || FileObject->FsContext == &FileObject->FsContext) {
    return nullptr;
  }
  OSPrimSyncAcquireSpinlockObject(&g_pool.lock);
  Element* element = element_of(FileObject->FsContext);
  const bool ours = element != nullptr && element->state == kInUse && element->context.FileObject == FileObject;
  OSPrimSyncReleaseSpinlockObject(&g_pool.lock);
  return ours ? &element->context : nullptr;
}

// A second request on the same handle keeps the context it has: a new one
// would orphan the first.
NTSTATUS ZpxAllocCleanupContext(PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (file == nullptr) return STATUS_INVALID_PARAMETER;
  if (ZpxCleanupContextOf(file) != nullptr) return STATUS_SUCCESS;
  ZpxResourceCleanupContext* context = mifh_allocate_rsrc_cleanup_context_buffer();
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  context->FileObject = file;
  context->ProcessId = reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId());
  file->FsContext = context;
  return STATUS_SUCCESS;
}

void ZpxDestroyCleanupContextPool() {
  OSPrimSyncAcquireSpinlockObject(&g_pool.lock);
  ZekListNode* chunks = g_pool.created ? g_pool.chunks.Head : nullptr;
  g_pool.created = false;
  std::memset(&g_pool.free, 0, sizeof g_pool.free);
  std::memset(&g_pool.chunks, 0, sizeof g_pool.chunks);
  OSPrimSyncReleaseSpinlockObject(&g_pool.lock);
  while (chunks != nullptr) {
    ZekListNode* next = chunks->Next;
    OSPrimMemFree(chunks);
    chunks = next;
  }
}
